#include "algorithms/token_bucket.h"

#include <algorithm>
#include <cmath>

#include "algorithms/numeric.h"

namespace vorn {

TokenBucket::TokenBucket(double capacity, double refill_rate, Clock clock, Reclaiming reclaiming)
    : store_(std::make_shared<ShardedMap<token_bucket::Bucket>>(reclaiming)),
      capacity_(capacity),
      refill_rate_(refill_rate),
      clock_(clock) {}

namespace token_bucket {

// How long the refill takes to add `tokens` (0 when none are missing); absent
// when it never does.
std::optional<uint64_t> refill_wait(double tokens, double refill_rate) {
  if (!(tokens > 0.0)) return uint64_t{0};
  if (!(refill_rate > 0.0)) return std::nullopt;
  return to_u64_saturating(std::ceil(tokens / refill_rate * 1000.0));
}

// A bucket that the refill has brought back to capacity answers every later
// check exactly as a new, full bucket would. Only a positive refill brings a
// bucket back, and only a finite capacity can be reached.
bool is_fresh_equivalent(const Bucket& bucket, uint64_t now, double capacity, double refill_rate) {
  if (!(refill_rate > 0.0) || !std::isfinite(capacity)) return false;
  const uint64_t elapsed = saturating_sub(now, bucket.last_refill);
  return (static_cast<double>(elapsed) / 1000.0) * refill_rate + bucket.tokens >= capacity;
}

namespace {

// Refills `bucket` up to `now`, as every check and refund does first.
void refill(Bucket& bucket, uint64_t now, double capacity, double refill_rate) {
  const uint64_t elapsed = saturating_sub(now, bucket.last_refill);
  const double candidate = (static_cast<double>(elapsed) / 1000.0) * refill_rate + bucket.tokens;
  // fmin ignores a NaN operand: a NaN candidate gives the capacity and a NaN
  // capacity gives the candidate.
  bucket.tokens = fmin_exact(candidate, capacity);
  bucket.last_refill = std::max(bucket.last_refill, now);
}

}  // namespace

AlgorithmResult decide(Bucket& bucket, uint64_t now, double capacity, double refill_rate,
                       Cost cost) {
  refill(bucket, now, capacity, refill_rate);
  const double need = cost.need;
  const bool never_fits = need > 1.0 && need > capacity;

  AlgorithmResult result;
  if (!never_fits && bucket.tokens >= need) {
    bucket.tokens -= cost.take;
    result.allowed = true;
    result.reason = LimitReason::WithinLimit;
    if (refill_rate > 0.0 && capacity > bucket.tokens) {
      result.retry_after_ms = to_u64_saturating(
          std::ceil((1.0 - fractional_part(bucket.tokens)) / refill_rate * 1000.0));
    }
  } else {
    result.allowed = false;
    result.reason = LimitReason::TokenExhausted;
    if (refill_rate > 0.0 && !never_fits) {
      result.retry_after_ms =
          to_u64_saturating(std::ceil((need - bucket.tokens) / refill_rate * 1000.0));
    }
  }
  result.message = LimitMessage::rounded(bucket.tokens, LimitMessage::Unit::Tokens);
  result.remaining = to_u64_saturating(std::floor(bucket.tokens));
  if (!never_fits) result.next_admission_ms = refill_wait(need - bucket.tokens, refill_rate);
  result.full_reset_ms = refill_wait(capacity - bucket.tokens, refill_rate);
  return result;
}

void refund(Bucket& bucket, uint64_t now, double capacity, double refill_rate, double amount) {
  refill(bucket, now, capacity, refill_rate);
  if (amount > 0.0) bucket.tokens = fmin_exact(bucket.tokens + amount, capacity);
}

}  // namespace token_bucket

AlgorithmResult TokenBucket::check(std::string_view key, Cost cost, CountAs count) const {
  auto bucket = store_->entry_or_insert(
      key, [&] { return token_bucket::fresh(capacity_, clock_.now_ms()); },
      [&] {
        return [this, now = clock_.now_ms()](const token_bucket::Bucket& other) {
          return token_bucket::is_fresh_equivalent(other, now, capacity_, refill_rate_);
        };
      });
  const uint64_t now = clock_.now_ms();
  AlgorithmResult result = token_bucket::decide(*bucket, now, capacity_, refill_rate_, cost);
  bucket.count(count, result.allowed);
  return result;
}

void TokenBucket::refund(std::string_view key, double amount) const {
  auto bucket = store_->find_entry(key);
  if (bucket) token_bucket::refund(**bucket, clock_.now_ms(), capacity_, refill_rate_, amount);
}

}  // namespace vorn
