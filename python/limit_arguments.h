// The arguments that shape a limit and weigh a request: a limit's rates, a
// sequence of (count, window_ms) pairs, and a request's cost. Both are checked
// whole before anything is built or counted, and their messages name the
// argument and the value as it was given: TypeError for a value of the wrong
// type (a bool is no number here), ValueError for a number out of range.
//
// Thread-safety: every function here requires the GIL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "algorithms/rate.h"
#include "python_api.h"

namespace vorn::python {

// The repr() of `object`, to name a value in a message as it was given.
// Throws PyError.
std::string repr_text(PyObject* object);

// The rates `object` holds: 1 to kMaxRates of them, each valid as
// rates_problem says (whose text a ValueError then carries). Throws PyError.
std::vector<Rate> extract_rates(PyObject* object);

// The cost `object` gives: an int or a float, finite and >= 0, and whole
// when `whole_only` (the window algorithms, named `algorithm` in the
// message). Throws PyError.
double extract_cost(PyObject* object, bool whole_only, std::string_view algorithm);

}  // namespace vorn::python
