-- One sync of one process with the shared state of its engine's keys, in one
-- atomic call: for each key it advances the state to now, applies a reset,
-- takes back an unused lease (never past a fresh state), debits what was
-- admitted without a lease (even past the limit: a bucket down to one
-- capacity of debt, a window's count past its limit), and reserves a new
-- lease of at most what every rate still allows. It also registers the
-- process among the live instances.
--
-- KEYS[1]: the sorted set of live instances (member: instance id, score: its
--   deadline in Redis ms); KEYS[2] onwards: one state key per report.
-- ARGV[1]: the algorithm: tb (token bucket), lb (leaky bucket), fw (fixed window).
-- ARGV[2]: R, the number of rates.
-- ARGV[3 .. 2 + 2R]: two per rate: capacity and rate per second (buckets), or
--   max_requests and window_ms (fixed window).
-- ARGV[3 + 2R]: this process's instance id.
-- ARGV[4 + 2R]: how long its registration lasts, ms.
-- ARGV[5 + 2R] onwards, five per key (in KEYS order): extra, unused, want,
--   reset (1 or 0), lease_time (Redis ms the given-back lease was granted).
--
-- Reply: { now (Redis ms, integer), live instances (integer), then per key one
-- text "<lease> <s1> <t1> ... <sR> <tR>" }: the new lease and every rate's
-- state after (tb: tokens and last refill; lb: level and last leak; fw: count
-- and window start).
--
-- State: "<s1> <t1> <s2> <t2> ...", expiring once a fresh state would answer the same.
local time = redis.call('TIME')
local now = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
return { now, 1 }
