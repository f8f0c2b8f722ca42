-- One sync of one process with the shared state of its engine's keys, in one
-- atomic call: for each key it advances the state to now, applies a reset,
-- takes back an unused lease (never past a fresh state), debits what was
-- admitted without a lease (even past the limit: a bucket down to one
-- capacity of debt, a window's count past its limit), and reserves a new
-- lease of at most what every rate still allows. It also registers the
-- process among the live instances. A call that already ran (a client sent
-- it again after losing its reply) changes nothing and grants no lease: it
-- answers the states as they are, so that nothing is counted twice.
--
-- KEYS[1]: the sorted set of live instances (member: instance id, score: its
--   deadline in Redis ms); KEYS[2]: the sorted set of calls run lately
--   (member: "<instance id>:<call number>", score: when it is forgotten);
--   KEYS[3] onwards: one state key per report.
-- ARGV[1]: the algorithm: tb (token bucket), lb (leaky bucket), fw (fixed window).
-- ARGV[2]: R, the number of rates.
-- ARGV[3 .. 2 + 2R]: two per rate: capacity and rate per second (buckets), or
--   max_requests and window_ms (fixed window).
-- ARGV[3 + 2R]: this process's instance id.
-- ARGV[4 + 2R]: how long its registration lasts, ms.
-- ARGV[5 + 2R]: the number of this call, new for every call of the process.
-- ARGV[6 + 2R] onwards, five per key (in KEYS order): extra, unused, want,
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
local kind = ARGV[1]
local rates = tonumber(ARGV[2])
local firsts, seconds = {}, {}
for i = 1, rates do
  firsts[i], seconds[i] = tonumber(ARGV[1 + 2 * i]), tonumber(ARGV[2 + 2 * i])
end
local id, life = ARGV[3 + 2 * rates], tonumber(ARGV[4 + 2 * rates])

-- Instances that stopped syncing drop out once their deadline passes.
redis.call('ZADD', KEYS[1], now + life, id)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
redis.call('PEXPIRE', KEYS[1], 2 * life)
local live = redis.call('ZCARD', KEYS[1])

-- Calls are remembered well past any client's retries of one.
local call, kept = id .. ':' .. ARGV[5 + 2 * rates], math.max(20 * life, 60000)
local again = redis.call('ZSCORE', KEYS[2], call)
if not again then
  redis.call('ZADD', KEYS[2], now + kept, call)
  redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', now)
  redis.call('PEXPIRE', KEYS[2], kept)
end

local function fresh(i)
  if kind == 'tb' then return firsts[i], now end
  return 0, now
end

-- Brings rate i's state up to now: a refill, a leak or a new window.
local function advance(i, level, at)
  local elapsed = math.max(0, now - at)
  if kind == 'tb' then
    return math.min(firsts[i], level + elapsed / 1000 * seconds[i]), math.max(at, now)
  elseif kind == 'lb' then
    return math.max(0, level - elapsed / 1000 * seconds[i]), math.max(at, now)
  end
  if now >= at + seconds[i] then return 0, now end
  return level, at
end

-- What rate i still allows to a lease.
local function room(i, level)
  if kind == 'tb' then return math.max(0, level) end
  if kind == 'lb' then return math.max(0, firsts[i] - level) end
  return math.max(0, firsts[i] - level)
end

-- Until rate i's state is as a fresh one, ms; nil when it never is.
local function until_fresh(i, level, at)
  if kind == 'fw' then return at + seconds[i] - now end
  if not (seconds[i] > 0) then return nil end
  local missing = level
  if kind == 'tb' then missing = firsts[i] - level end
  return math.ceil(math.max(0, missing) / seconds[i] * 1000)
end

local reply = { now, live }
for k = 3, #KEYS do
  local base = 5 + 2 * rates + 5 * (k - 3)
  local extra, unused, want = tonumber(ARGV[base + 1]), tonumber(ARGV[base + 2]),
    tonumber(ARGV[base + 3])
  local reset, lease_time = ARGV[base + 4] == '1', tonumber(ARGV[base + 5])
  if again then extra, unused, want, reset = 0, 0, 0, false end
  local key = KEYS[k]
  local levels, ats = {}, {}
  local saved = nil
  if not reset then saved = redis.call('GET', key) end
  local numbers = {}
  if saved then
    for word in string.gmatch(saved, '%S+') do numbers[#numbers + 1] = tonumber(word) end
  end
  -- A state of another shape (the limit changed) starts afresh.
  local whole = #numbers == 2 * rates
  local lease = want
  for i = 1, rates do
    local level, at
    if whole then
      level, at = advance(i, numbers[2 * i - 1], numbers[2 * i])
    else
      level, at = fresh(i)
    end
    if unused > 0 then
      if kind == 'tb' then
        level = math.min(firsts[i], level + unused)
      elseif kind == 'lb' or at <= lease_time then
        level = math.max(0, level - unused)
      end
    end
    if kind == 'tb' then
      level = math.max(-firsts[i], level - extra)
    elseif kind == 'lb' then
      level = math.min(2 * firsts[i], level + extra)
    else
      level = level + extra
    end
    levels[i], ats[i] = level, at
    lease = math.min(lease, room(i, level))
  end
  -- A lease below one request cannot be spent by whole costs; its fraction stays here, where
  -- the refill makes it whole for the next asker, instead of idling in some process.
  if kind == 'fw' or want == math.floor(want) then lease = math.floor(lease) end
  local parts, state = { string.format('%.17g', lease) }, {}
  local ttl = 0
  for i = 1, rates do
    if kind == 'tb' then levels[i] = levels[i] - lease else levels[i] = levels[i] + lease end
    state[#state + 1] = string.format('%.17g %.17g', levels[i], ats[i])
    parts[#parts + 1] = state[#state]
    local left = until_fresh(i, levels[i], ats[i])
    if left == nil then ttl = nil elseif ttl ~= nil then ttl = math.max(ttl, left) end
  end
  if again then
    -- Already saved by the call's first run.
  elseif ttl == nil then
    redis.call('SET', key, table.concat(state, ' '))
  elseif ttl > 0 then
    redis.call('SET', key, table.concat(state, ' '), 'PX', ttl)
  else
    redis.call('DEL', key)
  end
  reply[#reply + 1] = table.concat(parts, ' ')
end
return reply
