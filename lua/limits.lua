-- A limit of one to four rates on one client's key, decided in one atomic call:
-- a request is admitted only when every rate has room for its cost, and is then
-- counted by all of them; a request any rate refuses is counted by none. The
-- same script gives a refund back to every rate.
--
-- KEYS[1]: the client's key, the one key the script touches.
-- ARGV[1]: the algorithm: tb (token bucket), lb (leaky bucket), fw (fixed
--   window) or sw (sliding window).
-- ARGV[2]: now in milliseconds since the epoch ("" reads the server's clock).
-- ARGV[3]: the cost of a check or the amount of a refund: a number >= 0, whole
--   for the windows. A cost of 0 counts nothing and asks whether a request of
--   cost 1 would be admitted now.
-- ARGV[4]: "check" or "refund".
-- ARGV[5] onwards, two per rate: the capacity and the rate per second
--   (buckets), or max_requests (a whole decimal number, up to 2^64 - 1) and
--   window_ms (windows).
--
-- A check returns one text: "<1 admitted or 0> <remaining> <deciding rate,
-- from 1> <ms until a request of this cost would be admitted> <ms until the
-- allowance is whole> <message>" (-1: never). The deciding rate is, on a
-- refusal, the refusing rate that frees last; on an admission, the one with the
-- least left, then the one whole last, then the first. The first wait is the
-- longest of all rates'. A refund returns "" and never creates a key.
--
-- A single rate keeps the state of the one-rate scripts (token_bucket.lua and
-- the others), so that engines of either kind share a key:
--   tb, lb: "<rate 1's tokens or level> <last update> <rate 2's> ...";
--   fw: "<count 1> <window start 1> <count 2> <window start 2> ...";
--   sw: the list of admission times, oldest first; with several rates its
--     first element holds how many of the oldest entries each rate no longer
--     counts (every rate logs the same admissions and drops only its oldest).
-- A key expires once a new key's state would answer the same. A state read
-- after that time (the key is not gone yet) answers as a new key's does, and a
-- refund leaves it alone.
local key, kind = KEYS[1], ARGV[1]
local now = tonumber(ARGV[2])
local time = redis.call('TIME')
local server_now = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
-- A key also lives until a time passed in reaches its end, where that clock
-- runs ahead of the server's (as tests script it).
local ahead = 0
if now == nil then
  now = server_now
elseif now > server_now then
  ahead = now - server_now
end
local cost = tonumber(ARGV[3])
local refunding = ARGV[4] == 'refund'
local need = cost
if cost == 0 then need = 1 end
local rates = (#ARGV - 4) / 2
local firsts, seconds = {}, {}
for i = 1, rates do
  firsts[i], seconds[i] = tonumber(ARGV[3 + 2 * i]), tonumber(ARGV[4 + 2 * i])
end

-- Whether the request fits each rate, and all of them.
local fits, all_fit = {}, true

-- The answer, folded in rate by rate: the deciding rate and what it has left
-- and its waits (nil: never), and the longest wait for an admission of all.
-- `tell(i)` then gives rate i's remaining count, the figure its message shows
-- and the message's words (the two figures as numbers, or as texts where a
-- number cannot say them).
local decider, decider_left, decider_next, decider_full, longest_next = nil, nil, nil, nil, 0
local tell

-- Whether wait `a` comes after wait `b`; never (nil) comes after every time.
local function later(a, b)
  if a == nil then return b ~= nil end
  return b ~= nil and a > b
end

-- Folds in rate i's answer: `left` whole units, and its waits.
local function consider(i, left, next_ms, full_ms)
  if longest_next ~= nil and later(next_ms, longest_next) then longest_next = next_ms end
  local deciding
  if all_fit then
    deciding = decider == nil or left < decider_left
      or (left == decider_left and later(full_ms, decider_full))
  else
    deciding = not fits[i] and (decider == nil or later(next_ms, decider_next))
  end
  if deciding then
    decider, decider_left, decider_next, decider_full = i, left, next_ms, full_ms
  end
end

-- The key's lifetime in ms as PX takes it; nil for good (a time that never
-- comes or lies too far ahead).
local function lifetime(keep_ms)
  if keep_ms == nil or keep_ms >= 1e15 then return nil end
  return string.format('%.0f', keep_ms + ahead)
end

-- The number in `text` from `at` to the next blank, and where the one after
-- it starts.
local function number_at(text, at)
  local blank = string.find(text, ' ', at, true)
  if blank == nil then return tonumber(string.sub(text, at)), nil end
  return tonumber(string.sub(text, at, blank - 1)), blank + 1
end

-- A count as clients are told it: rounded down, NaN and negatives 0, and from
-- 2^64 on the text of 2^64 - 1.
local function count_of(value)
  if not (value > 0) then return 0 end
  if value >= 18446744073709551616 then return '18446744073709551615' end
  return math.floor(value)
end

if kind == 'tb' or kind == 'lb' then
  local token_bucket = kind == 'tb'
  local values, last = {}, now
  local text = redis.call('GET', key)
  if text then
    local at
    values[1], at = number_at(text, 1)
    last, at = number_at(text, at)
    for i = 2, rates do values[i], at = number_at(text, at) end
  else
    for i = 1, rates do values[i] = token_bucket and firsts[i] or 0.0 end
  end
  local elapsed = now - last
  if elapsed < 0 then elapsed = 0 end
  if now > last then last = now end
  -- A rate never fits a cost above 1 that its capacity cannot hold; a leaky
  -- bucket fits while its level with all of the request but the last unit is
  -- below the capacity.
  local beyond_first = math.max(need, 1) - 1
  local settled = true  -- every rate as a new key's: full (tb) or empty (lb)
  for i = 1, rates do
    local value, capacity, rate = values[i], firsts[i], seconds[i]
    local never = need > 1 and need > capacity
    if token_bucket then
      value = (elapsed / 1000.0) * rate + value
      -- The smaller of the refill and the capacity, a NaN operand ignored.
      if value ~= value or (capacity == capacity and value >= capacity) then value = capacity end
      settled = settled and value == capacity and not (rate < 0)
      fits[i] = not never and value >= need
    else
      value = (elapsed / -1000.0) * rate + value
      -- The larger of the drained level and 0, a NaN level giving 0.
      if value ~= value or value < 0.0 then value = 0.0 end
      settled = settled and value <= 0 and rate >= 0
      fits[i] = not never and value + beyond_first < capacity
    end
    values[i] = value
    all_fit = all_fit and fits[i]
  end
  if refunding and settled then return '' end

  -- How long `units` take to come back at `rate` a second; nil when they never do.
  local function wait_for(units, rate)
    if not (units > 0) then return 0 end
    if not (rate > 0) then return nil end
    return math.ceil(units / rate * 1000.0)
  end
  local longest = 0  -- until every rate is as a new key's; nil: never
  settled = true
  for i = 1, rates do
    local value, capacity, rate = values[i], firsts[i], seconds[i]
    if refunding then
      if cost > 0 and token_bucket then value = math.min(value + cost, capacity) end
      if cost > 0 and not token_bucket then value = math.max(value - cost, 0.0) end
    elseif all_fit then
      if token_bucket then value = value - cost else value = value + cost end
    end
    values[i] = value
    local until_settled = 0
    if token_bucket then
      if not (value == capacity and not (rate < 0)) then
        until_settled = nil
        if rate > 0 and capacity == capacity and capacity ~= math.huge
          and capacity ~= -math.huge then
          until_settled = math.ceil((capacity - value) / rate * 1000.0)
        end
      end
    elseif not (value <= 0 and rate >= 0) then
      until_settled = rate > 0 and math.ceil(value / rate * 1000.0) or nil
    end
    settled = settled and until_settled == 0
    if until_settled == nil then
      longest = nil
    elseif longest ~= nil and until_settled > longest then
      longest = until_settled
    end
    if not refunding then
      local never = need > 1 and need > capacity
      if token_bucket then
        consider(i, value > 0 and math.floor(value) or 0,
          not never and wait_for(need - value, rate) or nil, wait_for(capacity - value, rate))
      else
        local excess = value + beyond_first - capacity
        local next_ms = nil
        if never then
          next_ms = nil
        elseif excess < 0 then
          next_ms = 0
        elseif rate > 0 then
          -- A full bucket waits until it is strictly below its capacity: 1 ms at least.
          next_ms = math.max(wait_for(excess, rate), 1)
        end
        consider(i, fits[i] and value < capacity and math.floor(capacity - value) or 0, next_ms,
          wait_for(value, rate))
      end
    end
  end

  if settled then
    redis.call('DEL', key)
  else
    local state = string.format('%.17g %.0f' .. string.rep(' %.17g', rates - 1), values[1], last,
      unpack(values, 2, rates))
    -- One millisecond more than the exact time, so rounding cannot leave the
    -- bucket a hair short of full or empty.
    local px = lifetime(longest and (last - now) + longest + 1)
    if px then
      redis.call('SET', key, state, 'PX', px)
    else
      redis.call('SET', key, state)
    end
  end

  -- A fractional count in a message rounds half to even and keeps "-0"
  -- (printf's %.0f); the count itself rounds down.
  tell = function(i)
    if not token_bucket and not fits[i] then return 0, 0, ' bucket space remaining' end
    local value = token_bucket and values[i] or firsts[i] - values[i]
    local shown = value
    if value ~= value then
      shown = 'NaN'
    elseif value == math.huge or value == -math.huge then
      shown = value > 0 and 'inf' or '-inf'
    end
    local words = token_bucket and ' tokens remaining' or ' bucket space remaining'
    return count_of(value), shown, words
  end
end

if kind == 'fw' or kind == 'sw' then
  -- A window needs a whole place even for a cost of 0.
  local needed = math.max(need, 1)
  -- Sets rate i's answer, holding `count`: when it has no room, it next admits
  -- in `next_ms`; it is whole in `full_ms`.
  local function answer(i, count, next_ms, full_ms)
    local max_requests, left = firsts[i], 0
    if fits[i] then
      left = max_requests - count
      if needed <= max_requests - count then next_ms = 0 end
    end
    -- A limit of 0 admits nothing, in any window.
    if max_requests == 0 or (needed > 1 and needed > max_requests) then next_ms = nil end
    consider(i, left, next_ms, full_ms)
  end
  local function room(i, count)
    local max_requests = firsts[i]
    return not (needed > 1 and needed > max_requests) and count < max_requests
      and needed <= max_requests - count
  end
  local counts = {}
  if kind == 'fw' then
    local starts = {}
    local text = redis.call('GET', key)
    if text then
      local at = 1
      for i = 1, rates do
        counts[i], at = number_at(text, at)
        starts[i], at = number_at(text, at)
      end
    else
      for i = 1, rates do counts[i], starts[i] = 0, now end
    end
    local open = false  -- a rate whose window runs and has counted a request
    for i = 1, rates do
      -- The roll-over comes before any admission test, so a refused check rolls too.
      if now - starts[i] >= seconds[i] then counts[i], starts[i] = 0, now end
      open = open or counts[i] > 0
      fits[i] = room(i, counts[i])
      all_fit = all_fit and fits[i]
    end
    if refunding and not open then return '' end
    local state, longest = '', nil
    for i = 1, rates do
      if refunding then
        counts[i] = counts[i] - math.min(counts[i], cost)
      elseif all_fit then
        counts[i] = counts[i] + cost
      end
      local elapsed = now - starts[i]
      local time_left = seconds[i] - (elapsed > 0 and elapsed or 0)
      if not refunding then
        answer(i, counts[i], time_left, (fits[i] or counts[i] > 0) and time_left or 0)
      end
      state = state .. string.format(i == 1 and '%.0f %.0f' or ' %.0f %.0f', counts[i], starts[i])
      -- A limit of 0 never counts, and a window that ran out rolls over at the
      -- next check: either answers as a new key's would.
      local ends_in = starts[i] + seconds[i] - now
      if firsts[i] > 0 and ends_in > 0 and (longest == nil or ends_in > longest) then
        longest = ends_in
      end
    end
    local px = longest and lifetime(longest)
    if longest == nil then
      redis.call('DEL', key)
    elseif px then
      redis.call('SET', key, state, 'PX', px)
    else
      redis.call('SET', key, state)
    end
  else
    local length = redis.call('LLEN', key)
    -- With several rates the list holds a header before the entries: how many
    -- of the oldest entries each rate no longer counts.
    local header = rates > 1 and 1 or 0
    local entries = length == 0 and 0 or length - header
    local offsets = nil
    if length == 0 then
      for i = 1, rates do counts[i] = 0 end
    elseif header == 0 then
      counts[1] = length
    else
      offsets = redis.call('LINDEX', key, 0)
      local at, offset = 1, nil
      for i = 1, rates do
        offset, at = number_at(offsets, at)
        counts[i] = entries - offset
      end
    end
    local seen = {}
    local function entry(index)  -- the time of the entry `index` places after the oldest
      local time = seen[index]
      if time == nil then
        time = tonumber(redis.call('LINDEX', key, header + index))
        seen[index] = time
      end
      return time
    end
    local held = 0  -- entries that some rate counts: the newest ones
    for i = 1, rates do
      local cutoff = now - seconds[i]
      if cutoff < 0 then cutoff = 0 end
      -- Only the front is examined: behind a newer front (a clock that stepped
      -- back) older entries wait until the front itself expires.
      while counts[i] > 0 and entry(entries - counts[i]) < cutoff do counts[i] = counts[i] - 1 end
      if counts[i] > held then held = counts[i] end
      fits[i] = room(i, counts[i])
      all_fit = all_fit and fits[i]
    end
    if refunding then
      if held == 0 then return '' end
      -- The newest entries go, from every rate that counts them.
      local dropped = math.min(cost, held)
      redis.call('LTRIM', key, 0, string.format('%.0f', -dropped - 1))
      entries, held = entries - dropped, held - dropped
      for i = 1, rates do counts[i] = math.max(counts[i] - cost, 0) end
    elseif all_fit and cost > 0 then
      if length == 0 and header == 1 then
        -- Every rate counts every entry of a new list.
        offsets = string.rep('0 ', rates - 1) .. '0'
        redis.call('RPUSH', key, offsets)
      end
      local time, batch, pushing = string.format('%.0f', now), {}, cost
      while pushing > 0 do
        local size = math.min(pushing, 1000)  -- within what one call may take
        for n = #batch + 1, size do batch[n] = time end
        for n = size + 1, #batch do batch[n] = nil end
        redis.call('RPUSH', key, unpack(batch))
        pushing = pushing - size
      end
      entries, held = entries + cost, held + cost
      seen[entries - 1] = now
      for i = 1, rates do counts[i] = counts[i] + cost end
    end
    if not refunding then
      -- A place frees when an entry leaves the window (it still counts at its
      -- time + window_ms); the allowance is whole when the newest entry has left.
      for i = 1, rates do
        local function leaves_in(index)
          local wait = entry(index) + seconds[i] + 1 - now
          return wait > 0 and wait or 0
        end
        local next_ms = nil
        if room(i, 0) and needed > firsts[i] - counts[i] then
          -- The request fits once enough of the oldest entries have left.
          next_ms = leaves_in(entries - firsts[i] + needed - 1)
        end
        answer(i, counts[i], next_ms, counts[i] > 0 and leaves_in(entries - 1) or 0)
      end
    end
    if held == 0 then
      if length > 0 then redis.call('DEL', key) end
    else
      local unheld = entries - held
      if unheld > 0 then
        -- With a header, the last entry dropped takes the header's place.
        redis.call('LTRIM', key, string.format('%.0f', unheld), -1)
      end
      if header == 1 then
        local now_offsets = string.format('%.0f', held - counts[1])
        for i = 2, rates do now_offsets = now_offsets .. string.format(' %.0f', held - counts[i]) end
        if unheld > 0 or now_offsets ~= offsets then redis.call('LSET', key, 0, now_offsets) end
      end
      if all_fit and cost > 0 and not refunding then
        local longest = 0
        for i = 1, rates do longest = math.max(longest, seconds[i]) end
        -- On the server's clock every admission sets the same lifetime, never a
        -- shorter one than the key has left.
        local px = lifetime(longest + 1)
        if px and (ahead == 0 or redis.call('PTTL', key) < tonumber(px)) then
          redis.call('PEXPIRE', key, px)
        end
      end
    end
  end

  -- The count left, exact also where doubles are not (above 2^53): the low
  -- fifteen digits of max_requests take the subtraction.
  tell = function(i)
    if not fits[i] then return 0, 0, ' requests remaining' end
    local max_requests, max_text, used = firsts[i], ARGV[3 + 2 * i], counts[i]
    local left
    if max_requests < 9007199254740992 or used >= 1e15 then
      left = count_of(max_requests - used)
    else
      local high, low = tonumber(string.sub(max_text, 1, -16)), tonumber(string.sub(max_text, -15))
      if low < used then high, low = high - 1, low + 1e15 end
      left = string.format('%.0f%015.0f', high, low - used)
    end
    return left, left, ' requests remaining'
  end
end

if refunding then return '' end

-- The reply in one format where every figure is a number below 2^64, as
-- they nearly always are; waits saturate at 2^64 - 1 and never is -1.
local remaining, shown, unit = tell(decider)
local next_ms, full_ms = longest_next or -1, decider_full or -1
local admitted = all_fit and 1 or 0
if type(remaining) == 'number' and type(shown) == 'number' and next_ms < 18446744073709551616
  and full_ms < 18446744073709551616 then
  return string.format('%d %.0f %d %.0f %.0f %.0f%s', admitted, remaining, decider, next_ms,
    full_ms, shown, unit)
end
local function text(value, saturating)
  if type(value) == 'string' then return value end
  if saturating and value >= 18446744073709551616 then return '18446744073709551615' end
  return string.format('%.0f', value)
end
return admitted .. ' ' .. text(remaining, true) .. ' ' .. decider .. ' ' .. text(next_ms, true)
  .. ' ' .. text(full_ms, true) .. ' ' .. text(shown, false) .. unit
