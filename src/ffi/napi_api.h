// The Node-API surface of the addon. Every binding source of the Node host
// includes this header instead of <node_api.h>.
//
// The library is also loaded by CPython, where no napi_* symbol exists. Each
// Node-API function the addon calls is therefore declared weak: the dynamic
// loader binds it when Node loads the file and leaves it null, unbound and
// harmless, when Python does (no Node-API function is ever called there). A
// function used without a pragma here would be a strong undefined symbol and
// stop the Python import; the symbol test in tests/node guards this list.
#pragma once

#define NAPI_VERSION 8
#include <node_api.h>

#pragma weak napi_call_function
#pragma weak napi_coerce_to_string
#pragma weak napi_create_arraybuffer
#pragma weak napi_create_double
#pragma weak napi_create_error
#pragma weak napi_create_array_with_length
#pragma weak napi_create_object
#pragma weak napi_create_range_error
#pragma weak napi_create_bigint_uint64
#pragma weak napi_create_function
#pragma weak napi_create_reference
#pragma weak napi_create_string_latin1
#pragma weak napi_create_string_utf8
#pragma weak napi_create_symbol
#pragma weak napi_create_type_error
#pragma weak napi_define_class
#pragma weak napi_define_properties
#pragma weak napi_delete_reference
#pragma weak napi_get_and_clear_last_exception
#pragma weak napi_get_array_length
#pragma weak napi_get_boolean
#pragma weak napi_get_cb_info
#pragma weak napi_get_element
#pragma weak napi_get_global
#pragma weak napi_get_instance_data
#pragma weak napi_get_named_property
#pragma weak napi_get_new_target
#pragma weak napi_get_null
#pragma weak napi_set_element
#pragma weak napi_strict_equals
#pragma weak napi_get_reference_value
#pragma weak napi_get_undefined
#pragma weak napi_get_value_double
#pragma weak napi_get_value_bigint_uint64
#pragma weak napi_get_value_string_utf8
#pragma weak napi_is_array
#pragma weak napi_is_error
#pragma weak napi_is_exception_pending
#pragma weak napi_run_script
#pragma weak napi_set_instance_data
#pragma weak napi_set_named_property
#pragma weak napi_throw
#pragma weak napi_type_tag_object
#pragma weak napi_check_object_type_tag
#pragma weak napi_typeof
#pragma weak napi_unwrap
#pragma weak napi_wrap
