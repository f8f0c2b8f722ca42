-- Token bucket: one key's bucket of fractional tokens, refilled at `rate` per
-- second up to `capacity`; a request takes one whole token or is refused.
-- KEYS[1]: the client's key. ARGV: capacity, rate, now in milliseconds since
-- the epoch ("" reads the server's clock).
-- Returns "<1 admitted or 0> <remaining> <message>", one text.
-- With ARGV[4] "1" the reply also tells, on a second line, "<ms until a request
-- would be admitted> <ms until the allowance is whole>" (-1: never).
-- The state is "tokens last_refill"; it expires once the refill would have
-- filled the bucket, when a new, full bucket answers the same.
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local now = tonumber(ARGV[3])
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

-- The reply, with the waits on a second line when they were asked for.
local function told(reply, next_ms, reset_ms)
  if ARGV[4] ~= '1' then return reply end
  local function ms(value)
    if value == nil then return '-1' end
    return string.format('%.0f', value)
  end
  return reply .. '\n' .. ms(next_ms) .. ' ' .. ms(reset_ms)
end

local tokens, last
local state = redis.call('GET', key)
if state then
  local blank = string.find(state, ' ', 1, true)
  tokens, last = tonumber(string.sub(state, 1, blank - 1)), tonumber(string.sub(state, blank + 1))
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
  local value = string.format('%.17g %.0f', tokens, last)
  local full_after = nil
  if rate > 0 and capacity == capacity and capacity ~= math.huge and capacity ~= -math.huge then
    -- One millisecond more than the exact time, so rounding cannot leave the
    -- refill a hair short of the capacity.
    full_after = (last - now) + math.ceil((capacity - tokens) / rate * 1000.0) + 1 + ahead
  end
  if full_after ~= nil and full_after < 1e15 then
    redis.call('SET', key, value, 'PX', string.format('%.0f', full_after))
  else
    redis.call('SET', key, value)
  end
end

-- How long the refill takes to add `units`; nil when it never does.
local function refill_wait(units)
  if not (units > 0) then return 0 end
  if not (rate > 0) then return nil end
  return math.ceil(units / rate * 1000.0)
end
local next_ms, reset_ms = refill_wait(1.0 - tokens), refill_wait(capacity - tokens)

-- The count rounds down (NaN and negatives give 0, saturating at 2^64 - 1); the
-- message rounds half to even and keeps "-0" (printf's %.0f does both).
if tokens >= 0 and tokens < 9007199254740992 then
  return told(string.format('%d %.0f %.0f tokens remaining', admitted, math.floor(tokens), tokens),
    next_ms, reset_ms)
end
local remaining = '0'
if tokens >= 18446744073709551616 then
  remaining = '18446744073709551615'
elseif tokens > 0 then
  remaining = string.format('%.0f', math.floor(tokens))
end
local count
if tokens ~= tokens then
  count = 'NaN'
elseif tokens == math.huge or tokens == -math.huge then
  count = tokens > 0 and 'inf' or '-inf'
else
  count = string.format('%.0f', tokens)
end
return told(admitted .. ' ' .. remaining .. ' ' .. count .. ' tokens remaining', next_ms, reset_ms)
