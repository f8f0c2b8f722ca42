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
#include "algorithms/cost.h"
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

// Drains `bucket` up to `now` and decides one request of `cost`, pouring in
// its cost when admitted. A request is admitted while the level leaves room
// for all but the last unit of its cost below the capacity (for a cost of 1,
// while the level is below it); a cost above 1 that exceeds the capacity
// never fits and is refused with no time of admission. Never throws.
AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double leak_rate, Cost cost);
inline AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double leak_rate) {
  return decide(bucket, now, capacity, leak_rate, Cost{});
}

// Drains `bucket` up to `now` and takes `amount` back out, never below empty.
// Never throws.
void refund(Bucket& bucket, uint64_t now, double leak_rate, double amount);

}  // namespace leaky_bucket

class LeakyBucket {
 public:
  LeakyBucket(double capacity, double leak_rate, Clock clock = Clock::system(),
              Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its bucket. Throws FatalError
  // when the clock reads before the epoch (the bucket then stays as it was).
  // Counts the check in the store as `count` says (see check_counts).
  AlgorithmResult check(std::string_view key, Cost cost = {}, CountAs count = {}) const;
  // What checks counted in the store.
  CheckCounts check_counts() const { return store_->counts(); }

  // Gives back up to `amount` of what `key` poured in; nothing for an unknown key.
  void refund(std::string_view key, double amount) const;
  // Forgets `key`: its next check starts with an empty bucket.
  void reset(std::string_view key) const { store_->erase(key); }

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
