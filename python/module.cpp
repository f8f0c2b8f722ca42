// The module vorn_native: initialised once per process, it lists the class
// RustEngine in __all__; the shared-memory zone names sit beside it, unlisted.
#include <string>

#include "call_boundary.h"
#include "engine_counts.h"
#include "engine_object.h"
#include "engine_sync.h"
#include "messages.h"
#include "py_ref.h"
#include "python_api.h"
#include "zone_functions.h"

namespace vorn::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vorn_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's one initialisation is kept for the process: the class holds
// process-wide state, so a second module object (a re-import, another
// interpreter) is refused rather than built beside it. Protected by the GIL.
PyObject* module_cache = nullptr;

InternedName all_attribute("__all__");
InternedName class_attribute("RustEngine");

// The module's __all__ list (a new reference), created when it has none.
PyRef obtain_all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attribute.get()));
  if (!all) {
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_AttributeError)) throw std::move(error);
    all = PyRef::steal(PyList_New(0));
    if (!all) throw PyError::fetch();
    if (PyObject_SetAttr(module, all_attribute.get(), all.get()) != 0) throw PyError::fetch();
  }
  if (!PyList_Check(all.get())) {
    const std::string type_name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(all.get())));
    throw PyError::with_message(
        PyExc_TypeError,
        messages::fill_template(messages::kCannotConvert, {type_name, messages::kListTarget}));
  }
  return all;
}

// Appending a str to a fresh list fails only when the interpreter is out of
// resources; that is no error a caller could act on.
void append_class_name(PyObject* all) {
  if (PyList_Append(all, class_attribute.get()) == 0) return;
  PyError error = PyError::fetch();
  std::string description = "unknown error";
  try {
    error.normalize();
    PyRef text = error.value_str();
    description = extract_text(text.get()).str();
  } catch (PyError&) {
    // Keeps the generic description; the failure itself is what gets reported.
  }
  throw InternalFailure(messages::fill_template(messages::kAllAppendFailed, {description}));
}

PyRef initialise_module() {
  if (module_cache != nullptr) {
    throw PyError::with_message(PyExc_ImportError, messages::kInitialisedTwice);
  }
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
  if (!module) throw PyError::fetch();
  PyObject* engine_class = engine_type();  // borrowed; lives for the process
  PyRef all = obtain_all_list(module.get());
  append_class_name(all.get());
  if (PyObject_SetAttr(module.get(), class_attribute.get(), engine_class) != 0) {
    throw PyError::fetch();
  }
  add_zone_names(module.get());
  add_sync_names(module.get());
  add_count_names(module.get());
  module_cache = PyRef::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace vorn::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorn_native() {
  return vorn::python::guard_entry("PyInit_vorn_native()",
                                   [] { return vorn::python::initialise_module(); });
}
