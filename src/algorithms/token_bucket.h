// A TokenBucket gives every key a bucket of fractional tokens that refills
// continuously at `refill_rate` tokens per second up to `capacity`; an admitted
// request takes its cost in tokens (one, unless the caller weighs it).
//
// A new key starts with a full bucket. The refill never lifts a bucket above its
// capacity, so a capacity below 1 refuses every request. A refused request still
// stores the refill earned so far. A clock that steps backwards refills nothing
// until it passes the last refill again. Neither parameter is validated: zero,
// negative, infinite and NaN values are used as they come.
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
namespace token_bucket {

struct Bucket {
  double tokens;
  uint64_t last_refill;  // ms up to which refill has been credited; never decreases
};

// The rules, apart from any store. A new key's bucket is fresh(capacity, now).
inline Bucket fresh(double capacity, uint64_t now) { return Bucket{capacity, now}; }

// Whether `bucket` answers every later check exactly as a fresh one would.
bool is_fresh_equivalent(const Bucket& bucket, uint64_t now, double capacity, double refill_rate);

// Refills `bucket` up to `now` and decides one request of `cost`, taking its
// tokens when admitted. A cost above 1 that even a full bucket cannot hold is
// refused with no time of admission. Never throws.
AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double refill_rate,
                       Cost cost);
inline AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double refill_rate) {
  return decide(bucket, now, capacity, refill_rate, Cost{});
}

// Refills `bucket` up to `now` and gives back `amount` tokens, never past a
// full bucket. Never throws.
void refund(Bucket& bucket, uint64_t now, double capacity, double refill_rate, double amount);

}  // namespace token_bucket

class TokenBucket {
 public:
  TokenBucket(double capacity, double refill_rate, Clock clock = Clock::system(),
              Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its bucket. Throws FatalError
  // when the clock reads before the epoch (the bucket then stays as it was).
  // Counts the check in the store as `count` says (see check_counts).
  AlgorithmResult check(std::string_view key, Cost cost = {}, CountAs count = {}) const;
  // What checks counted in the store.
  CheckCounts check_counts() const { return store_->counts(); }

  // Gives back up to `amount` of what `key` spent; nothing for an unknown key.
  void refund(std::string_view key, double amount) const;
  // Forgets `key`: its next check starts with a full bucket.
  void reset(std::string_view key) const { store_->erase(key); }

  double capacity() const { return capacity_; }
  double refill_rate() const { return refill_rate_; }
  const ShardedMap<token_bucket::Bucket>& store() const { return *store_; }

 private:
  std::shared_ptr<ShardedMap<token_bucket::Bucket>> store_;
  double capacity_;
  double refill_rate_;
  Clock clock_;
};

}  // namespace vorn
