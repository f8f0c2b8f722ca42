// A SlidingWindow keeps, per key, the times of the requests it admitted and
// admits a new request only while fewer than `max_requests` of them lie within
// the last `window_ms` milliseconds. A request admitted at t still counts at
// t + window_ms and is dropped by the first check after that. Refused requests
// are never logged, so a key's memory is bounded by max_requests.
//
// check() is thread-safe: it runs under the key's shard lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/request_log.h"
#include "algorithms/sharded_map.h"

namespace vorn {

class SlidingWindow {
 public:
  SlidingWindow(uint64_t window_ms, uint64_t max_requests, Clock clock = Clock::system(),
                Reclaiming reclaiming = Reclaiming::On);

  // Decides one request for `key` and updates its log. Throws FatalError when
  // the clock reads before the epoch (a new key's empty log stays inserted).
  AlgorithmResult check(std::string_view key) const;

  uint64_t window_ms() const { return window_ms_; }
  uint64_t max_requests() const { return max_requests_; }
  const ShardedMap<RequestLog>& store() const { return *store_; }

 private:
  void set_waits(AlgorithmResult& result, const RequestLog& log, uint64_t now) const;

  std::shared_ptr<ShardedMap<RequestLog>> store_;
  uint64_t window_ms_;
  uint64_t max_requests_;
  Clock clock_;
};

}  // namespace vorn
