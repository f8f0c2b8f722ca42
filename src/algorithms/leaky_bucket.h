// A LeakyBucket meters each key with a level that drains at `leak_rate` units per
// second; each admitted request pours in one unit, and a request is admitted
// while the level is below `capacity`. Answers are immediate, never queued.
//
// A new key starts empty. The level never drains below 0 and can exceed the
// capacity by less than one unit (the test looks at the level before the
// request's own unit). Neither parameter is validated.
//
// check() is thread-safe: it runs under the key's shard lock.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/sharded_map.h"

namespace vorn {
namespace leaky_bucket {

struct Bucket {
  double level;
  uint64_t last_leak;  // ms up to which draining has been applied; never decreases
};

// The rules, apart from any store. A new key's bucket is fresh(now).
inline Bucket fresh(uint64_t now) { return Bucket{0.0, now}; }

// Whether `bucket` answers every later check exactly as a fresh one would.
bool is_fresh_equivalent(const Bucket& bucket, uint64_t now, double leak_rate);

// Drains `bucket` up to `now` and decides one request, pouring in its unit
// when admitted. Never throws.
AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double leak_rate);

}  // namespace leaky_bucket

class LeakyBucket {
 public:
  LeakyBucket(double capacity, double leak_rate, Clock clock = Clock::system(),
              Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its bucket. Throws FatalError
  // when the clock reads before the epoch (the bucket then stays as it was).
  AlgorithmResult check(std::string_view key) const;

  double capacity() const { return capacity_; }
  double leak_rate() const { return leak_rate_; }
  const ShardedMap<leaky_bucket::Bucket>& store() const { return *store_; }

 private:
  std::shared_ptr<ShardedMap<leaky_bucket::Bucket>> store_;
  double capacity_;
  double leak_rate_;
  Clock clock_;
};

}  // namespace vorn
