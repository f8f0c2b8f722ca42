#include "limit_arguments.h"

#include <cmath>

#include "algorithms/cost.h"
#include "call_boundary.h"
#include "messages.h"

namespace vorn::python {
namespace {

using messages::fill_template;

bool has_flag(PyObject* object, unsigned long flag) {
  return (PyType_GetFlags(Py_TYPE(object)) & flag) != 0;
}

// An int, but not a bool: True requests or True milliseconds are a mistake.
bool is_int(PyObject* object) {
  return has_flag(object, Py_TPFLAGS_LONG_SUBCLASS) && object != Py_True && object != Py_False;
}

bool is_number(PyObject* object) { return is_int(object) || PyFloat_Check(object); }

// The value of an int or a float. An int beyond every double is infinite,
// which every check here refuses as not finite.
double number_value(PyObject* object) {
  const double value = is_int(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
  if (value != -1.0 || PyErr_Occurred() == nullptr) return value;
  PyError error = PyError::fetch();
  if (!error.matches(PyExc_OverflowError)) throw std::move(error);
  return HUGE_VAL;
}

PyError error_naming(PyObject* type, std::string_view text, PyObject* object) {
  return PyError::with_message(type, fill_template(text, {repr_text(object)}));
}

// A pair is any sequence of two but a text, whose two characters are no rate.
bool is_pair(PyObject* object) {
  if (has_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS) ||
      PySequence_Check(object) == 0) {
    return false;
  }
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) throw PyError::fetch();
  return size == 2;
}

PyRef item_of(PyObject* sequence, Py_ssize_t at) {
  PyRef item = PyRef::steal(PySequence_GetItem(sequence, at));
  if (!item) throw PyError::fetch();
  return item;
}

Rate rate_of(PyObject* pair) {
  if (!is_pair(pair)) throw error_naming(PyExc_TypeError, messages::kRateNotPair, pair);
  const PyRef count = item_of(pair, 0);
  const PyRef window = item_of(pair, 1);
  if (!is_number(count.get())) {
    throw error_naming(PyExc_TypeError, messages::kRateCountNotNumber, count.get());
  }
  if (!is_int(window.get())) {
    throw error_naming(PyExc_TypeError, messages::kRateWindowNotWhole, window.get());
  }
  Rate rate{.count = number_value(count.get())};
  const unsigned long long window_ms = PyLong_AsUnsignedLongLong(window.get());
  if (window_ms == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_OverflowError)) throw std::move(error);
    // Below 0 or beyond 2^64-1: out of range, named as given.
    throw error_naming(PyExc_ValueError, messages::kRateWindowOutOfRange, window.get());
  }
  rate.window_ms = window_ms;
  return rate;
}

}  // namespace

std::string repr_text(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Repr(object));
  if (!text) throw PyError::fetch();
  return extract_text(text.get()).str();
}

std::vector<Rate> extract_rates(PyObject* object) {
  if (has_flag(object, Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS) ||
      PySequence_Check(object) == 0) {
    throw error_naming(PyExc_TypeError, messages::kRatesNotSequence, object);
  }
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) throw PyError::fetch();
  std::vector<Rate> rates;
  // Too few or too many is told before any rate is read: rates_problem reads
  // no rate then.
  if (size >= 1 && static_cast<size_t>(size) <= kMaxRates) {
    for (Py_ssize_t at = 0; at < size; ++at) rates.push_back(rate_of(item_of(object, at).get()));
  }
  if (const std::optional<std::string> problem =
          rates_problem(rates.data(), static_cast<size_t>(size))) {
    throw PyError::with_message(PyExc_ValueError, *problem);
  }
  return rates;
}

double extract_cost(PyObject* object, bool whole_only, std::string_view algorithm) {
  if (!is_number(object)) throw error_naming(PyExc_TypeError, messages::kCostNotNumber, object);
  const double cost = number_value(object);
  switch (cost_problem(cost, whole_only)) {
    case CostProblem::None:
      return cost;
    case CostProblem::NotFiniteOrNegative:
      throw error_naming(PyExc_ValueError, messages::kCostNotFinite, object);
    case CostProblem::NotWhole:
      throw PyError::with_message(
          PyExc_ValueError, fill_template(messages::kCostNotWhole, {algorithm, repr_text(object)}));
  }
  throw InternalFailure("an unknown cost problem");
}

}  // namespace vorn::python
