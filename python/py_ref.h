// A PyRef owns one strong reference to a Python object, or nothing. Moving it
// hands the reference on; destroying it releases the reference. release() gives
// the reference back to CPython (for instance as an entry point's return value).
// Borrowed references are never wrapped: they stay plain PyObject* with a
// "borrowed" note where they are taken.
//
// Thread-safety: like every PyObject*, usable only while holding the GIL.
#pragma once

#include <utility>

#include "python_api.h"

namespace vorn::python {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef moved(std::move(other));
    std::swap(object_, moved.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object (which may be null).
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership without releasing: the caller now holds the reference.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace vorn::python
