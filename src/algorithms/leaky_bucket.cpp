#include "algorithms/leaky_bucket.h"

#include <algorithm>
#include <cmath>

#include "algorithms/numeric.h"

namespace vorn {

LeakyBucket::LeakyBucket(double capacity, double leak_rate, Clock clock, Reclaiming reclaiming)
    : store_(std::make_shared<ShardedMap<leaky_bucket::Bucket>>(reclaiming)),
      capacity_(capacity),
      leak_rate_(leak_rate),
      clock_(clock) {}

namespace leaky_bucket {

// How long the leak takes to lower the level by `units` (0 for none); absent
// when it never does.
std::optional<uint64_t> drain_wait(double units, double leak_rate) {
  if (!(units > 0.0)) return uint64_t{0};
  if (!(leak_rate > 0.0)) return std::nullopt;
  return to_u64_saturating(std::ceil(units / leak_rate * 1000.0));
}

// A bucket drained to 0 answers every later check exactly as a new, empty
// bucket would, as long as the level cannot rise by itself (no negative leak).
bool is_fresh_equivalent(const Bucket& bucket, uint64_t now, double leak_rate) {
  if (!(leak_rate >= 0.0)) return false;
  const uint64_t elapsed = saturating_sub(now, bucket.last_leak);
  return (static_cast<double>(elapsed) / -1000.0) * leak_rate + bucket.level <= 0.0;
}

namespace {

// Drains `bucket` up to `now`, as every check and refund does first.
void drain(Bucket& bucket, uint64_t now, double leak_rate) {
  const uint64_t elapsed = saturating_sub(now, bucket.last_leak);
  const double drained = (static_cast<double>(elapsed) / -1000.0) * leak_rate + bucket.level;
  bucket.level = fmax_exact(drained, 0.0);  // a NaN drained gives 0
  bucket.last_leak = std::max(bucket.last_leak, now);
}

}  // namespace

AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double leak_rate,
                       Cost cost) {
  drain(bucket, now, leak_rate);
  // What must be below the capacity for the request to fit: the level with
  // all of the request but its last unit.
  const double beyond_first = fmax_exact(cost.need, 1.0) - 1.0;
  const bool never_fits = cost.need > 1.0 && cost.need > capacity;

  AlgorithmResult result;
  if (!never_fits && bucket.level + beyond_first < capacity) {
    bucket.level += cost.take;
    const double room = capacity - bucket.level;
    result.allowed = true;
    result.reason = LimitReason::WithinLimit;
    result.message = LimitMessage::rounded(room, LimitMessage::Unit::BucketSpace);
    result.remaining = to_u64_saturating(std::floor(room));
  } else {
    result.allowed = false;
    result.reason = LimitReason::LimitExceeded;
    result.remaining = 0;
    result.message = LimitMessage::fixed("0 bucket space remaining");
  }
  // Admission needs the level below the capacity, so a full bucket waits until
  // it is strictly below: at least one millisecond.
  const double excess = bucket.level + beyond_first - capacity;
  if (never_fits) {
    result.next_admission_ms = std::nullopt;
  } else if (excess < 0.0) {
    result.next_admission_ms = 0;
  } else if (leak_rate > 0.0) {
    result.next_admission_ms = std::max<uint64_t>(drain_wait(excess, leak_rate).value_or(0), 1);
  }
  result.full_reset_ms = drain_wait(bucket.level, leak_rate);
  return result;
}

void refund(Bucket& bucket, uint64_t now, double leak_rate, double amount) {
  drain(bucket, now, leak_rate);
  if (amount > 0.0) bucket.level = fmax_exact(bucket.level - amount, 0.0);
}

}  // namespace leaky_bucket

AlgorithmResult LeakyBucket::check(std::string_view key, Cost cost, CountAs count) const {
  auto bucket = store_->entry_or_insert(
      key, [&] { return leaky_bucket::fresh(clock_.now_ms()); },
      [&] {
        return [this, now = clock_.now_ms()](const leaky_bucket::Bucket& other) {
          return leaky_bucket::is_fresh_equivalent(other, now, leak_rate_);
        };
      });
  const uint64_t now = clock_.now_ms();
  AlgorithmResult result = leaky_bucket::decide(*bucket, now, capacity_, leak_rate_, cost);
  bucket.count(count, result.allowed);
  return result;
}

void LeakyBucket::refund(std::string_view key, double amount) const {
  auto bucket = store_->find_entry(key);
  if (bucket) leaky_bucket::refund(**bucket, clock_.now_ms(), leak_rate_, amount);
}

}  // namespace vorn
