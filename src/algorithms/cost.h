// A Cost is how much of a key's allowance one request weighs: `need`, what must
// fit for it to be admitted, and `take`, what an admitted request then spends.
// They differ only for a cost of 0, a look before committing: it asks whether a
// request of cost 1 would pass now and spends nothing. Plain value.
//
// The buckets take fractional costs; the window limiters count whole requests,
// so a cost given to them must be whole (cost_problem says so).
#pragma once

#include <cmath>
#include <cstdint>

namespace vorn {

struct Cost {
  double need = 1.0;
  double take = 1.0;

  // The cost of a request the caller weighs `cost` (validated by cost_problem).
  static constexpr Cost of(double cost) { return cost == 0.0 ? Cost{1.0, 0.0} : Cost{cost, cost}; }
};

// Why a cost cannot be used, for the host to word with the value it was given.
enum class CostProblem : uint8_t { None, NotFiniteOrNegative, NotWhole };

inline CostProblem cost_problem(double cost, bool whole_only) {
  if (!std::isfinite(cost) || cost < 0.0) return CostProblem::NotFiniteOrNegative;
  if (whole_only && cost != std::trunc(cost)) return CostProblem::NotWhole;
  return CostProblem::None;
}

}  // namespace vorn
