-- Leaky bucket: one key's level drains at `rate` units per second; a request is
-- admitted while the level is below `capacity` and pours one unit in.
-- KEYS[1]: the client's key. ARGV: capacity, rate, now in milliseconds since
-- the epoch ("" reads the server's clock).
-- Returns {admitted (1 or 0), remaining (decimal text), message}.
-- The state is "level last_leak"; it expires once the level would have drained
-- to 0, when a new, empty bucket answers the same.
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local now = tonumber(ARGV[3])
if now == nil then
  local time = redis.call('TIME')
  now = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
end

local function count_text(value)
  if not (value > 0) then return '0' end
  if value >= 18446744073709551616 then return '18446744073709551615' end
  return string.format('%.0f', value)
end

local function rounded_text(value)
  if value ~= value then return 'NaN' end
  if value == math.huge then return 'inf' end
  if value == -math.huge then return '-inf' end
  return string.format('%.0f', value)
end

local level, last
local state = redis.call('GET', key)
if state then
  local level_text, last_text = string.match(state, '^(%S+) (%S+)$')
  level, last = tonumber(level_text), tonumber(last_text)
else
  level, last = 0.0, now
end

local elapsed = now - last
if elapsed < 0 then elapsed = 0 end
local drained = (elapsed / -1000.0) * rate + level
-- The larger of drained and 0, a NaN drained giving 0.
if drained ~= drained or drained < 0.0 then level = 0.0 else level = drained end
if now > last then last = now end

local result
if level < capacity then
  level = level + 1.0
  local room = capacity - level
  result = {1, count_text(math.floor(room)), rounded_text(room) .. ' bucket space remaining'}
else
  result = {0, '0', '0 bucket space remaining'}
end

if level <= 0 and rate >= 0 then
  -- An empty bucket that cannot fill by itself is what a new key gets.
  redis.call('DEL', key)
else
  local value = string.format('%.17g %.17g', level, last)
  local empty_after = nil
  if rate > 0 then
    -- One millisecond more than the exact time, so rounding cannot leave a
    -- hair of level behind.
    empty_after = (last - now) + math.ceil(level / rate * 1000.0) + 1
  end
  if empty_after ~= nil and empty_after < 1e15 then
    redis.call('SET', key, value, 'PX', string.format('%.0f', empty_after))
  else
    redis.call('SET', key, value)
  end
end
return result
