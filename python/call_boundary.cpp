#include "call_boundary.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "messages.h"
#include "zone/zone_error.h"

namespace vorn::python {
namespace {

using messages::fill_template;

InternedName qualname_attribute("__qualname__");

// The type object is never released: CPython keeps raising instances of it
// for the rest of the process. Protected by the GIL.
PyObject* panic_type = nullptr;
PyObject* zone_type = nullptr;

[[noreturn]] void terminate_process(std::string_view message) {
  std::fprintf(stderr, "vorn_native: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

void report_failure(const char* entry_name, const SourceSite* site, std::string_view message) {
  if (site != nullptr) {
    std::fprintf(stderr, "vorn_native: internal failure in %s at %s:%d: %.*s\n", entry_name,
                 site->file, site->line, static_cast<int>(message.size()), message.data());
  } else {
    std::fprintf(stderr, "vorn_native: internal failure in %s: %.*s\n", entry_name,
                 static_cast<int>(message.size()), message.data());
  }
  std::fflush(stderr);
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();  // borrowed, kept for the process
  PyRef argument = new_text(message);
  PyErr_SetObject(type, argument.get());
}

bool is_str(PyObject* object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

PyError cannot_convert(PyObject* object, std::string_view target) {
  std::string type_name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return PyError::with_message(PyExc_TypeError,
                               fill_template(messages::kCannotConvert, {type_name, target}));
}

// Lists quoted names the way the interpreter does: 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string list;
  for (size_t at = 0; at < names.size(); ++at) {
    if (at > 0) {
      if (names.size() > 2) list += ',';
      list += at + 1 == names.size() ? " and " : " ";
    }
    list += '\'';
    list += names[at];
    list += '\'';
  }
  return list;
}

// A keyword's text for a message. Encodable keys appear as given; a key that is
// not valid UTF-8 (lone surrogates) appears with backslash escapes.
std::string keyword_text(PyObject* key) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "backslashreplace"));
  if (!bytes) throw PyError::fetch();
  return OwnedText(std::move(bytes)).str();
}

}  // namespace

// --- PyError ---------------------------------------------------------------

PyError PyError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return with_message(PyExc_SystemError, messages::kNoExceptionSet);
  }
  return PyError(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

PyError PyError::with_message(PyObject* type, std::string_view message) {
  // An unnormalised (type, str) pair: the interpreter builds the instance when
  // it first needs one.
  return PyError(PyRef::borrow(type), new_text(message), PyRef());
}

void PyError::normalize() {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = PyRef::steal(type);
  value_ = PyRef::steal(value);
  traceback_ = PyRef::steal(traceback);
}

PyRef PyError::value_str() const {
  PyRef text = PyRef::steal(PyObject_Str(value_.get()));
  if (!text) throw PyError::fetch();
  return text;
}

void PyError::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

// --- Interned names ------------------------------------------------------------

PyObject* InternedName::get() {
  if (object_ == nullptr) {
    object_ = PyUnicode_InternFromString(text_.data());
    if (object_ == nullptr) throw PyError::fetch();
  }
  return object_;
}

// --- Binding -------------------------------------------------------------------

void bind_into(const char* class_name, const char* function_name,
               std::span<const char* const> parameter_names, size_t positional_only_count,
               size_t required_count, size_t keyword_only_count, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> slots) {
  const size_t parameter_count = parameter_names.size();
  const size_t positional_count = parameter_count - keyword_only_count;
  const auto full_name = [&] {
    std::string name;
    if (class_name != nullptr) (name += class_name) += '.';
    return (name += function_name) += "()";
  };
  const auto type_error = [](const std::string& message) {
    return PyError::with_message(PyExc_TypeError, message);
  };

  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) throw PyError::fetch();
  const size_t positional = static_cast<size_t>(given);
  for (size_t at = 0; at < positional && at < positional_count; ++at) {
    slots[at] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(at));  // borrowed
  }
  if (positional > positional_count) {
    const std::string verb = positional == 1 ? "was" : "were";
    if (required_count != positional_count) {
      throw type_error(
          fill_template(messages::kTakesFromTo,
                        {full_name(), std::to_string(required_count),
                         std::to_string(positional_count), std::to_string(positional), verb}));
    }
    throw type_error(fill_template(
        messages::kTakesExactly,
        {full_name(), std::to_string(positional_count), std::to_string(positional), verb}));
  }

  if (kwargs != nullptr) {
    std::vector<const char*> positional_only_by_keyword;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;    // borrowed
    PyObject* value = nullptr;  // borrowed
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!is_str(key)) throw cannot_convert(key, messages::kStringTarget);
      // Comparing code points with an ASCII name equals comparing UTF-8 bytes,
      // and a key that has no UTF-8 form never matches.
      size_t match = parameter_count;
      for (size_t at = 0; at < parameter_count; ++at) {
        if (PyUnicode_CompareWithASCIIString(key, parameter_names[at]) == 0) {
          match = at;
          break;
        }
      }
      if (match == parameter_count) {
        throw type_error(
            fill_template(messages::kUnexpectedKeyword, {full_name(), keyword_text(key)}));
      }
      if (match < positional_only_count) {
        positional_only_by_keyword.push_back(parameter_names[match]);
        continue;
      }
      if (slots[match] != nullptr) {
        throw type_error(
            fill_template(messages::kMultipleValues, {full_name(), parameter_names[match]}));
      }
      slots[match] = value;
    }
    if (!positional_only_by_keyword.empty()) {
      throw type_error(fill_template(messages::kPositionalOnlyByKeyword,
                                     {full_name(), quoted_name_list(positional_only_by_keyword)}));
    }
  }

  if (positional < required_count) {
    std::vector<const char*> missing;
    for (size_t at = positional; at < required_count; ++at) {
      if (slots[at] == nullptr) missing.push_back(parameter_names[at]);
    }
    if (!missing.empty()) {
      const std::string count = std::to_string(missing.size());
      throw type_error(fill_template(messages::kMissingRequired,
                                     {full_name(), count, "positional",
                                      missing.size() == 1 ? "argument" : "arguments"}) +
                       quoted_name_list(missing));
    }
  }
}

void bind_vector_into(const char* class_name, const char* function_name,
                      std::span<const char* const> parameter_names, size_t positional_only_count,
                      size_t required_count, size_t keyword_only_count, PyObject* const* args,
                      Py_ssize_t count, PyObject* keyword_names, std::span<PyObject*> slots) {
  const size_t parameter_count = parameter_names.size();
  const size_t given = static_cast<size_t>(count);
  const Py_ssize_t keyword_count = keyword_names == nullptr ? 0 : PyTuple_Size(keyword_names);
  // In place when every required argument came by position and each keyword
  // names a later parameter once: check_limits(ip, route, cost=2), say.
  bool in_place = given >= required_count && given <= parameter_count - keyword_only_count;
  for (size_t at = 0; in_place && at < given; ++at) slots[at] = args[at];
  for (Py_ssize_t at = 0; in_place && at < keyword_count; ++at) {
    PyObject* key = PyTuple_GetItem(keyword_names, at);  // borrowed
    in_place = false;
    if (!is_str(key)) break;
    for (size_t parameter = std::max(given, positional_only_count); parameter < parameter_count;
         ++parameter) {
      if (PyUnicode_CompareWithASCIIString(key, parameter_names[parameter]) == 0) {
        in_place = slots[parameter] == nullptr;
        slots[parameter] = args[count + at];
        break;
      }
    }
  }
  if (in_place) return;
  std::fill(slots.begin(), slots.end(), nullptr);

  PyRef positional = PyRef::steal(PyTuple_New(count));
  if (!positional) throw PyError::fetch();
  for (Py_ssize_t at = 0; at < count; ++at) {
    Py_INCREF(args[at]);
    PyTuple_SetItem(positional.get(), at, args[at]);  // steals the new reference
  }
  PyRef keywords;
  if (keyword_names != nullptr) {
    keywords = new_dict();
    for (Py_ssize_t at = 0; at < keyword_count; ++at) {
      set_item(keywords.get(), PyTuple_GetItem(keyword_names, at), args[count + at]);
    }
  }
  // The slots borrow the very objects of `args`, which the caller keeps alive
  // for the whole call.
  bind_into(class_name, function_name, parameter_names, positional_only_count, required_count,
            keyword_only_count, positional.get(), keywords.get(), slots);
}

// --- Conversions -----------------------------------------------------------

OwnedText::OwnedText(PyRef bytes) : bytes_(std::move(bytes)) {
  char* data = PyBytes_AsString(bytes_.get());
  if (data == nullptr) throw PyError::fetch();
  const Py_ssize_t size = PyBytes_Size(bytes_.get());
  if (size < 0) throw PyError::fetch();
  view_ = std::string_view(data, static_cast<size_t>(size));
}

OwnedText extract_text(PyObject* object) {
  if (!is_str(object)) throw cannot_convert(object, messages::kStringTarget);
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(object));
  if (!bytes) throw PyError::fetch();
  return OwnedText(std::move(bytes));
}

std::optional<OwnedText> extract_optional_text(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return extract_text(object);
}

double extract_f64(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw PyError::fetch();
  return value;
}

PyError argument_error(std::string_view parameter, PyError error) {
  if (!error.type_is_exactly(PyExc_TypeError)) return error;
  error.normalize();
  // The conversion's text is joined as a str, so that any text the interpreter
  // produced survives, encodable or not.
  PyRef prefix = new_text(fill_template(messages::kArgumentPrefixed, {parameter, ""}));
  PyRef text = error.value_str();
  PyRef message = PyRef::steal(PyUnicode_Concat(prefix.get(), text.get()));
  if (!message) throw PyError::fetch();
  PyRef instance =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!instance) throw PyError::fetch();
  PyRef cause = PyRef::steal(PyException_GetCause(error.value_.get()));
  if (cause) PyException_SetCause(instance.get(), cause.release());  // steals the reference
  return PyError(PyRef::borrow(PyExc_TypeError), std::move(instance), PyRef());
}

std::string type_qualname(PyObject* type) {
  try {
    PyRef name = PyRef::steal(PyObject_GetAttr(type, qualname_attribute.get()));
    if (name) return extract_text(name.get()).str();
    PyErr_Clear();
  } catch (PyError&) {
    // Leaves the placeholder below; the failure that led here is what matters.
  }
  return std::string(messages::kUnknownTypeName);
}

// --- Results -------------------------------------------------------------------

namespace {
[[noreturn]] void creation_failed(SourceSite site = {}) {
  PyErr_Print();
  throw InternalFailure(std::string(messages::kApiCallFailed), site);
}
}  // namespace

PyRef new_text(std::string_view text) {
  PyRef object =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) creation_failed();
  return object;
}

PyRef new_optional_u64(const std::optional<uint64_t>& value) {
  if (!value) return PyRef::borrow(Py_None);
  PyRef object = PyRef::steal(PyLong_FromUnsignedLongLong(*value));
  if (!object) creation_failed();
  return object;
}

PyRef new_dict() {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) creation_failed();
  return dict;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) != 0) throw PyError::fetch();
}

// --- Guards --------------------------------------------------------------------

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "vorn_native.PanicException",
        "Raised when native code called from Python fails fatally.\n\n"
        "Like SystemExit it derives from BaseException, not Exception, so that it\n"
        "normally propagates all the way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) terminate_process(messages::kPanicTypeFailed);
  }
  return panic_type;
}

PyObject* zone_error_type() {
  if (zone_type == nullptr) {
    zone_type = PyErr_NewExceptionWithDoc(
        "vorn_native.ZoneError",
        "Raised when a shared-memory zone cannot be created, attached or trusted,\n"
        "or is found damaged during a check. The message names the zone.",
        PyExc_OSError, nullptr);
    if (zone_type == nullptr) throw PyError::fetch();
  }
  return zone_type;
}

void translate_current_failure(const char* entry_name) noexcept {
  try {
    try {
      throw;
    } catch (PyError& error) {
      std::move(error).restore();
    } catch (const ZoneError& failure) {
      PyObject* type = zone_error_type();  // borrowed, kept for the process
      PyRef argument = new_text(failure.what());
      PyErr_SetObject(type, argument.get());
    } catch (const InvalidZoneName& failure) {
      PyRef argument = new_text(failure.what());
      PyErr_SetObject(PyExc_ValueError, argument.get());
    } catch (const InternalFailure& failure) {
      report_failure(entry_name, &failure.site(), failure.what());
      raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
      // Out of memory: Python's own error for it, which callers may catch,
      // rather than a panic; it poisons no engine.
      PyErr_NoMemory();
    } catch (const std::exception& failure) {
      std::string_view message = failure.what();
      if (message.empty()) message = messages::kUnknownFailure;
      report_failure(entry_name, nullptr, message);
      raise_panic(message);
    } catch (...) {
      report_failure(entry_name, nullptr, messages::kUnknownFailure);
      raise_panic(messages::kUnknownFailure);
    }
  } catch (...) {
    terminate_process(messages::kEscapedBoundary);
  }
}

void report_unraisable(PyObject* object, const char* entry_name) noexcept {
  // The deallocator may run while another exception is pending; keep it.
  PyObject* raw[3] = {nullptr, nullptr, nullptr};
  PyErr_Fetch(&raw[0], &raw[1], &raw[2]);
  PyRef type = PyRef::steal(raw[0]);
  PyRef value = PyRef::steal(raw[1]);
  PyRef traceback = PyRef::steal(raw[2]);
  translate_current_failure(entry_name);
  PyErr_WriteUnraisable(object);
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

}  // namespace vorn::python
