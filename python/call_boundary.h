// The call boundary between CPython and native code: binding positional and
// keyword arguments to named parameters, converting arguments, reporting
// failures as Python exceptions, and the entry guards that every function the
// interpreter calls runs its body in.
//
// Inside a guarded body, failures travel as C++ exceptions: a PyError is a
// Python exception on its way to the interpreter, anything else (InternalFailure,
// the engine's FatalError, std::bad_alloc, ...) is an internal failure that the
// guard reports on standard error and raises as PanicException, a BaseException
// subclass. Nothing unwinds past a guard. Knows nothing of the engine.
//
// Thread-safety: every function here requires the GIL.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "py_ref.h"
#include "python_api.h"

namespace vorn::python {

// Where an internal failure was raised, for the standard-error report.
struct SourceSite {
  const char* file = __builtin_FILE();
  int line = __builtin_LINE();
};

// A failure that is not a Python error: a broken invariant of the boundary or
// an interpreter call that must not fail. Always becomes PanicException.
class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message, SourceSite site = {})
      : std::runtime_error(message), site_(site) {}
  const SourceSite& site() const { return site_; }

 private:
  SourceSite site_;
};

// One Python exception (type, value, traceback) owned outside the interpreter's
// error indicator. The value may be unnormalised until normalize() is called.
class PyError {
 public:
  // Takes the interpreter's pending exception; a SystemError when none is set.
  static PyError fetch();
  // A new exception of `type` (borrowed) whose argument is `message`.
  static PyError with_message(PyObject* type, std::string_view message);

  bool type_is_exactly(PyObject* type) const { return type_.get() == type; }
  // Whether the exception is a `type` or one of its subclasses.
  bool matches(PyObject* type) const { return PyErr_GivenExceptionMatches(type_.get(), type) != 0; }
  // Makes the value an instance of the type, as the interpreter would.
  void normalize();
  // The value's str(); requires a normalised value.
  PyRef value_str() const;
  // Hands the exception back to the interpreter as its pending exception.
  void restore() &&;

 private:
  PyError(PyRef type, PyRef value, PyRef traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
  friend PyError argument_error(std::string_view parameter, PyError error);

  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// A process-wide interned str created on first use and never released.
// Constant-initialised, so nothing runs when the library is loaded.
class InternedName {
 public:
  explicit constexpr InternedName(const char* text) : text_(text) {}  // text: a literal
  PyObject* get();  // borrowed; throws PyError when the interpreter cannot create it
  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
  PyObject* object_ = nullptr;
};

// How one callable entry point takes its parameters. Static and immutable.
// The last keyword_only_count parameters may be given by keyword only; they
// are never required.
template <size_t N>
struct CallSignature {
  const char* class_name;  // null for a plain function
  const char* function_name;
  std::array<const char*, N> parameter_names;
  size_t positional_only_count;
  size_t required_count;
  size_t keyword_only_count = 0;
};

// One slot per parameter: the argument, or null when not given. Each slot holds
// a strong reference until the call is done, so an argument stays alive even
// when converting an earlier one runs Python code (a __float__, say) that
// empties the container the caller passed it in: before 3.9 a `**` dict reaches
// the binding as the caller's own dict. The references are taken and dropped
// through the interpreter's own functions rather than the limited API's inline
// count, which would change the count of an immortal object (3.12 on).
//
// Arguments that the caller itself keeps referenced until the call returns
// need no references of their own: a vectorcall's positional arguments, which
// sit on the caller's stack or in its tuple (held_by_caller).
template <size_t N>
class BoundArguments {
 public:
  // Takes a reference of its own to each of `objects` (borrowed, may be null).
  explicit BoundArguments(const std::array<PyObject*, N>& objects) : objects_(objects) {
    for (PyObject* object : objects_) {
      if (object != nullptr) Py_IncRef(object);
    }
  }
  // Holds `objects` (borrowed, may be null) as they are.
  static BoundArguments held_by_caller(const std::array<PyObject*, N>& objects) {
    return BoundArguments(objects, false);
  }
  BoundArguments(BoundArguments&& other) noexcept
      : objects_(std::exchange(other.objects_, {})), owned_(other.owned_) {}
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  BoundArguments& operator=(BoundArguments&&) = delete;
  ~BoundArguments() {
    if (!owned_) return;
    for (PyObject* object : objects_) {
      if (object != nullptr) Py_DecRef(object);
    }
  }

  // Borrowed from this object: valid while it lives.
  PyObject* operator[](size_t at) const { return objects_[at]; }
  PyObject* const* data() const { return objects_.data(); }

 private:
  BoundArguments(const std::array<PyObject*, N>& objects, bool owned)
      : objects_(objects), owned_(owned) {}

  std::array<PyObject*, N> objects_;
  bool owned_ = true;
};

// Untemplated cores of bind_arguments and bind_vector_arguments; throw
// PyError (TypeError).
void bind_into(const char* class_name, const char* function_name,
               std::span<const char* const> parameter_names, size_t positional_only_count,
               size_t required_count, size_t keyword_only_count, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> slots);
void bind_vector_into(const char* class_name, const char* function_name,
                      std::span<const char* const> parameter_names, size_t positional_only_count,
                      size_t required_count, size_t keyword_only_count, PyObject* const* args,
                      Py_ssize_t count, PyObject* keyword_names, std::span<PyObject*> slots);

template <size_t N>
BoundArguments<N> bind_arguments(const CallSignature<N>& signature, PyObject* args,
                                 PyObject* kwargs) {
  // Filled with borrowed references: nothing in bind_into runs Python code, so
  // they stay valid until BoundArguments takes its own.
  std::array<PyObject*, N> slots{};
  bind_into(signature.class_name, signature.function_name, signature.parameter_names,
            signature.positional_only_count, signature.required_count, signature.keyword_only_count,
            args, kwargs, slots);
  return BoundArguments<N>(slots);
}

// The same from the vectorcall form: `count` positional arguments in `args`,
// followed by one per name of `keyword_names` (a tuple, or null). A call that
// gives every required argument by position and names only later parameters
// is bound in place; any other goes through bind_arguments, which gives every
// misuse its exact message. Keyword arguments get references of their own
// (before 3.9 they may be the values of the caller's own dict); a call by
// position only takes none, and is inlined: checks are called so.
template <size_t N>
[[gnu::always_inline]] inline BoundArguments<N> bind_vector_arguments(
    const CallSignature<N>& signature, PyObject* const* args, Py_ssize_t count,
    PyObject* keyword_names) {
  std::array<PyObject*, N> slots{};
  const size_t given = static_cast<size_t>(count);
  if (keyword_names == nullptr && given >= signature.required_count &&
      given <= N - signature.keyword_only_count) {
    // A fixed number of steps, which the compiler unrolls.
    for (size_t at = 0; at < N; ++at) slots[at] = at < given ? args[at] : nullptr;
    return BoundArguments<N>::held_by_caller(slots);
  }
  bind_vector_into(signature.class_name, signature.function_name, signature.parameter_names,
                   signature.positional_only_count, signature.required_count,
                   signature.keyword_only_count, args, count, keyword_names, slots);
  return BoundArguments<N>(slots);
}

// UTF-8 text owned through the bytes object it was encoded into: no copy, and
// embedded zero bytes are kept.
class OwnedText {
 public:
  explicit OwnedText(PyRef bytes);
  std::string_view view() const { return view_; }
  std::string str() const { return std::string(view_); }

 private:
  PyRef bytes_;
  std::string_view view_;
};

// `str` and its subclasses only; throws PyError.
OwnedText extract_text(PyObject* object);
// Null and None give nothing; anything else as extract_text.
std::optional<OwnedText> extract_optional_text(PyObject* object);
// Anything the interpreter converts to float; -1.0 is an ordinary value.
double extract_f64(PyObject* object);

// The error raised when converting parameter `parameter` failed with `error`:
// an exact TypeError is re-raised as "argument '<parameter>': <text>" keeping its
// __cause__; any other error unchanged.
PyError argument_error(std::string_view parameter, PyError error);

// Runs `convert(object)`, passing a failure through argument_error.
template <typename Convert>
auto convert_argument(const char* parameter, PyObject* object, Convert convert) {
  try {
    return convert(object);
  } catch (PyError& error) {
    throw argument_error(parameter, std::move(error));
  }
}

// The __qualname__ of `type`, or a fixed placeholder when it cannot be read.
std::string type_qualname(PyObject* type);

// New objects for results. A null from the interpreter here is an internal
// failure: the pending error is printed and InternalFailure thrown.
PyRef new_text(std::string_view text);
PyRef new_optional_u64(const std::optional<uint64_t>& value);
PyRef new_dict();
// Stores `value` (borrowed) under `key` (borrowed); throws PyError.
void set_item(PyObject* dict, PyObject* key, PyObject* value);

// The process-wide PanicException type (borrowed), created on first use.
PyObject* panic_exception_type();

// The process-wide ZoneError type, an OSError (borrowed), created on first use;
// throws PyError when the interpreter cannot create it. A ZoneError of the
// core becomes one, an InvalidZoneName a ValueError.
PyObject* zone_error_type();

// Turns the exception in flight into the interpreter's pending exception, or
// ends the process if even that fails. Call only from a catch block.
void translate_current_failure(const char* entry_name) noexcept;

// Runs an entry point's body. Returns its new reference, or null with the
// failure set as the interpreter's pending exception.
template <typename Body>
PyObject* guard_entry(const char* entry_name, Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_failure(entry_name);
    return nullptr;
  }
}

// Runs a deallocator's body. A failure is reported with PyErr_WriteUnraisable
// on `object`; an exception that was pending before is kept pending.
void report_unraisable(PyObject* object, const char* entry_name) noexcept;
template <typename Body>
void guard_dealloc(PyObject* object, const char* entry_name, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    report_unraisable(object, entry_name);
  }
}

}  // namespace vorn::python
