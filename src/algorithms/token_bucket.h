// A TokenBucket gives every key a bucket of fractional tokens that refills
// continuously at `refill_rate` tokens per second up to `capacity`; each admitted
// request takes exactly one token.
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

// Refills `bucket` up to `now` and decides one request, taking its token when
// admitted. Never throws.
AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double refill_rate);

}  // namespace token_bucket

class TokenBucket {
 public:
  TokenBucket(double capacity, double refill_rate, Clock clock = Clock::system(),
              Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its bucket. Throws FatalError
  // when the clock reads before the epoch (the bucket then stays as it was).
  AlgorithmResult check(std::string_view key) const;

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
