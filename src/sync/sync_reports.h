// The wire between a synced engine and its host: what reports() hands over for
// Redis and what the host hands back from Redis. Plain values.
//
// Host shape (both hosts, the same order of fields):
//   reports: a list of [key, extra, unused, want, reset, lease_time_ms]
//     key           the client key checks key on (a text; the host digests it)
//     extra         admitted without a lease since the last sync: debit it
//     unused        lease given back (the key went unchecked for three syncs, or closing)
//     want          lease asked for (about twice the last interval's demand)
//     reset         1 when the key was reset since: forget Redis's state first
//     lease_time_ms Redis time when the given-back lease was granted; a fixed
//                   window whose window has rolled since takes nothing back
//   apply(server_now_ms, instances, answers): answers in the order of the
//   reports of the same sync, each [lease, s1, t1, s2, t2, ...]: the new lease
//   and every rate's state after the script, two numbers per rate:
//     token bucket: tokens, last refill (Redis ms)
//     leaky bucket: level, last leak (Redis ms)
//     fixed window: count, window start (Redis ms)
//   exactly lua/sync.lua's reply, split into numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct SyncReport {
  std::string key;
  double extra = 0.0;
  double unused = 0.0;
  double want = 0.0;
  bool reset = false;
  uint64_t lease_time_ms = 0;
};

struct SyncAnswer {
  double lease = 0.0;
  std::vector<double> states;  // two per rate, as above
};

}  // namespace vorn
