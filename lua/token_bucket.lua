-- Token bucket: one key's bucket of fractional tokens, refilled at `rate` per
-- second up to `capacity`; a request takes one whole token or is refused.
-- KEYS[1]: the client's key. ARGV: capacity, rate, now in milliseconds since
-- the epoch ("" reads the server's clock).
-- Returns {admitted (1 or 0), remaining (decimal text), message}.
-- The state is "tokens last_refill"; it expires once the refill would have
-- filled the bucket, when a new, full bucket answers the same.
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local now = tonumber(ARGV[3])
if now == nil then
  local time = redis.call('TIME')
  now = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
end

-- Decimal text of a whole value as an unsigned 64-bit count: NaN and negatives
-- give 0, 2^64 and above the largest count.
local function count_text(value)
  if not (value > 0) then return '0' end
  if value >= 18446744073709551616 then return '18446744073709551615' end
  return string.format('%.0f', value)
end

-- The value rounded half to even with no decimal places, "-0" kept.
local function rounded_text(value)
  if value ~= value then return 'NaN' end
  if value == math.huge then return 'inf' end
  if value == -math.huge then return '-inf' end
  return string.format('%.0f', value)
end

local tokens, last
local state = redis.call('GET', key)
if state then
  local tokens_text, last_text = string.match(state, '^(%S+) (%S+)$')
  tokens, last = tonumber(tokens_text), tonumber(last_text)
else
  tokens, last = capacity, now
end

local elapsed = now - last
if elapsed < 0 then elapsed = 0 end
local candidate = (elapsed / 1000.0) * rate + tokens
-- The smaller of the two, a NaN operand ignored.
local filled
if candidate ~= candidate then
  filled = capacity
elseif capacity ~= capacity or candidate < capacity then
  filled = candidate
else
  filled = capacity
end
if now > last then last = now end

local admitted = 0
if filled >= 1.0 then
  tokens = filled - 1.0
  admitted = 1
else
  tokens = filled
end

if tokens == capacity and not (rate < 0) then
  -- A full bucket that cannot drain by itself is what a new key gets.
  redis.call('DEL', key)
else
  local value = string.format('%.17g %.17g', tokens, last)
  local full_after = nil
  if rate > 0 and capacity == capacity and capacity ~= math.huge and capacity ~= -math.huge then
    -- One millisecond more than the exact time, so rounding cannot leave the
    -- refill a hair short of the capacity.
    full_after = (last - now) + math.ceil((capacity - tokens) / rate * 1000.0) + 1
  end
  if full_after ~= nil and full_after < 1e15 then
    redis.call('SET', key, value, 'PX', string.format('%.0f', full_after))
  else
    redis.call('SET', key, value)
  end
end

return {admitted, count_text(math.floor(tokens)), rounded_text(tokens) .. ' tokens remaining'}
