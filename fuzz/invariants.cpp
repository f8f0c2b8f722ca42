#include "invariants.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "algorithms/numeric.h"

namespace vorn::fuzz {
namespace {

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The message as text, whether the limiter keeps it as text or writes it on demand.
[[maybe_unused]] std::string text_of(const std::string& message) { return message; }
template <typename Message>
std::string text_of(const Message& message) {
  return message.text();
}

std::string requests_message(uint64_t remaining) {
  return std::to_string(remaining) + " requests remaining";
}

// Absorbs the rounding of a few floating-point steps on a bound of any size.
double with_slack(double bound) { return bound + 1e-6 * std::max(1.0, std::fabs(bound)); }

}  // namespace

bool tracing() {
  static const bool enabled = std::getenv("VORN_FUZZ_TRACE") != nullptr;
  return enabled;
}

void violation(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

void InvariantChecker::attempt(const std::string& key, uint64_t now) {
  // The key's state was created at one of its attempts, whichever way the
  // clock moved in between, so refill is credited between these two extremes.
  auto [it, inserted] = keys_.try_emplace(key);
  if (inserted || now < it->second.earliest_attempt) it->second.earliest_attempt = now;
  it->second.latest_attempt = std::max(it->second.latest_attempt, now);
  it->second.latest_cutoff =
      std::max(it->second.latest_cutoff, saturating_sub(now, params_.window_ms));
}

void InvariantChecker::lose_track(const std::string& key) { keys_[key].count_known = false; }

double InvariantChecker::credited_seconds(const KeyHistory& history) const {
  // Refill and draining are credited up to the largest reading, never twice.
  return static_cast<double>(saturating_sub(history.latest_attempt, history.earliest_attempt)) /
         1000.0;
}

void InvariantChecker::observe(const std::string& key, uint64_t now,
                               const AlgorithmResult& result) {
  KeyHistory& history = keys_[key];
  if (tracing()) {
    std::string shown;  // the key's size and its first bytes in hex
    for (size_t i = 0; i < key.size() && i < 8; ++i) {
      shown += "0123456789abcdef"[static_cast<uint8_t>(key[i]) >> 4];
      shown += "0123456789abcdef"[static_cast<uint8_t>(key[i]) & 15];
    }
    std::fprintf(stderr, "check key[%zu]%s at %llu: %s remaining %llu, \"%s\"\n", key.size(),
                 shown.c_str(), static_cast<unsigned long long>(now),
                 result.allowed ? "admitted" : "refused",
                 static_cast<unsigned long long>(result.remaining.value_or(0)),
                 text_of(result.message).c_str());
  }
  check_shape(result);
  if (result.allowed) history.admitted += 1;
  switch (params_.kind) {
    case LimiterKind::TokenBucket:
      check_token_bucket(history, result);
      break;
    case LimiterKind::SlidingWindow:
      check_sliding_window(history, now, result);
      break;
    case LimiterKind::FixedWindow:
      check_fixed_window(history, now, result);
      break;
    case LimiterKind::LeakyBucket:
      check_leaky_bucket(history, result);
      break;
  }
}

void InvariantChecker::check_shape(const AlgorithmResult& result) const {
  require(result.allowed == (result.reason == LimitReason::WithinLimit),
          "allowed must be true exactly when the reason is within_limit");
  require(result.remaining.has_value(), "every limiter sets remaining");
  const bool token_bucket = params_.kind == LimiterKind::TokenBucket;
  require(!result.retry_after_ms || token_bucket, "only the token bucket sets retry_after_ms");
  const bool windows =
      params_.kind == LimiterKind::SlidingWindow || params_.kind == LimiterKind::FixedWindow;
  require(!result.reset_after_ms || windows, "only the window limiters set reset_after_ms");
  if (!result.allowed) {
    require(*result.remaining == 0, "a refusal leaves remaining 0");
    require(
        result.reason == (token_bucket ? LimitReason::TokenExhausted : LimitReason::LimitExceeded),
        "a refusal carries the limiter's own reason");
  }
}

void InvariantChecker::check_token_bucket(const KeyHistory& history,
                                          const AlgorithmResult& result) const {
  const double capacity = params_.capacity;
  const double rate = params_.rate;
  require(ends_with(text_of(result.message), " tokens remaining"), "token bucket message form");
  if (rate > 0 && !result.allowed) {
    require(result.retry_after_ms.has_value(), "a refusal with a positive rate says when to retry");
  }
  if (!(rate > 0)) require(!result.retry_after_ms, "no retry time without a positive rate");
  if (!std::isfinite(capacity) || !std::isfinite(rate)) return;
  if (result.allowed) {
    require(static_cast<double>(*result.remaining) <= with_slack(std::max(capacity - 1.0, 0.0)),
            "token bucket remaining above capacity - 1");
  }
  const double bound = std::max(capacity, 0.0) + std::max(rate, 0.0) * credited_seconds(history);
  if (static_cast<double>(history.admitted) > std::floor(with_slack(bound))) {
    violation("token bucket admitted " + std::to_string(history.admitted) +
              " requests, more than capacity plus refill " + std::to_string(bound));
  }
}

void InvariantChecker::check_sliding_window(KeyHistory& history, uint64_t now,
                                            const AlgorithmResult& result) {
  const uint64_t max_requests = params_.max_requests;
  if (!result.allowed) {
    require(text_of(result.message) == "0 requests remaining", "sliding window refusal message");
    return;
  }
  require(*result.remaining < max_requests, "sliding window remaining below max_requests");
  require(text_of(result.message) == requests_message(*result.remaining), "sliding window message");
  // Every admission at or after the latest cutoff any check applied is still
  // logged and must have been counted against this one. While the clock only
  // moves forwards that cutoff is now - window_ms: no window_ms span ever holds
  // more than max_requests admissions.
  const uint64_t cutoff = history.latest_cutoff;
  auto& times = history.admission_times;
  const auto in_window =
      static_cast<uint64_t>(times.end() - std::lower_bound(times.begin(), times.end(), cutoff));
  if (in_window >= max_requests) {
    violation("sliding window admitted a request with " + std::to_string(in_window) +
              " admissions already inside the window, max_requests " +
              std::to_string(max_requests));
  }
  require(*result.remaining <= max_requests - 1 - in_window,
          "sliding window remaining ignores admissions inside the window");
  if (!result.reset_after_ms) require(in_window == 0, "empty-log admission with a logged request");
  times.insert(std::upper_bound(times.begin(), times.end(), now), now);
}

void InvariantChecker::check_fixed_window(KeyHistory& history, uint64_t now,
                                          const AlgorithmResult& result) {
  const uint64_t max_requests = params_.max_requests;
  const uint64_t window_ms = params_.window_ms;
  require(result.reset_after_ms.has_value(), "fixed window always sets reset_after_ms");
  require(*result.reset_after_ms <= window_ms, "fixed window reset_after_ms above window_ms");
  const uint64_t reported_end = saturating_add(now, *result.reset_after_ms);
  if (!result.allowed) {
    require(text_of(result.message) == "0 requests remaining", "fixed window refusal message");
    if (max_requests > 0 && history.count_known) {
      require(history.window_count == max_requests,
              "fixed window refused with room left in its window");
    }
    history.window_end = std::max(history.window_end, reported_end);
    return;
  }
  require(*result.remaining < max_requests, "fixed window remaining below max_requests");
  require(text_of(result.message) == requests_message(*result.remaining), "fixed window message");
  const uint64_t count = max_requests - *result.remaining;
  if (history.count_known && count == history.window_count + 1) {
    history.window_end = std::max(history.window_end, reported_end);
  } else if (count == 1) {
    // A new window: only once the previous one has run out. (A zero-length
    // window has always run out, even for a clock that stepped back.) It need
    // not have opened at this check: a check that failed after inserting a
    // reclaimed key left an empty window opened at its own first reading.
    if (history.count_known && history.window_count > 0 && window_ms > 0) {
      if (now < history.window_end) {
        violation("fixed window restarted its count at " + std::to_string(now) +
                  ", before the window end " + std::to_string(history.window_end) + " (count was " +
                  std::to_string(history.window_count) + ")");
      }
    }
    history.window_end = reported_end;
  } else {
    require(!history.count_known, "fixed window count jumped");
    history.window_end = reported_end;
  }
  history.window_count = count;
  history.count_known = true;
}

void InvariantChecker::check_leaky_bucket(const KeyHistory& history,
                                          const AlgorithmResult& result) const {
  const double capacity = params_.capacity;
  const double rate = params_.rate;
  if (!result.allowed) {
    require(text_of(result.message) == "0 bucket space remaining", "leaky bucket refusal message");
    return;
  }
  require(ends_with(text_of(result.message), " bucket space remaining"),
          "leaky bucket message form");
  require(capacity > 0, "leaky bucket admitted with no capacity");
  if (!std::isfinite(capacity) || !std::isfinite(rate)) return;
  require(static_cast<double>(*result.remaining) <= with_slack(std::max(capacity - 1.0, 0.0)),
          "leaky bucket remaining above capacity - 1");
  // Each admission pours one unit into a level that was below capacity.
  const double bound = capacity + 1.0 + std::max(rate, 0.0) * credited_seconds(history);
  if (static_cast<double>(history.admitted) >= with_slack(bound)) {
    violation("leaky bucket admitted " + std::to_string(history.admitted) +
              " requests, not below capacity + 1 plus drain " + std::to_string(bound));
  }
}

}  // namespace vorn::fuzz
