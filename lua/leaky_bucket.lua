-- Leaky bucket: one key's level drains at `rate` units per second; a request is
-- admitted while the level is below `capacity` and pours one unit in.
-- KEYS[1]: the client's key. ARGV: capacity, rate, now in milliseconds since
-- the epoch ("" reads the server's clock).
-- Returns "<1 admitted or 0> <remaining> <message>", one text.
-- With ARGV[4] "1" the reply also tells, on a second line, "<ms until a request
-- would be admitted> <ms until the allowance is whole>" (-1: never).
-- The state is "level last_leak"; it expires once the level would have drained
-- to 0, when a new, empty bucket answers the same.
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

local level, last
local state = redis.call('GET', key)
if state then
  local blank = string.find(state, ' ', 1, true)
  level, last = tonumber(string.sub(state, 1, blank - 1)), tonumber(string.sub(state, blank + 1))
else
  level, last = 0.0, now
end

local elapsed = now - last
if elapsed < 0 then elapsed = 0 end
local drained = (elapsed / -1000.0) * rate + level
-- The larger of drained and 0, a NaN drained giving 0.
if drained ~= drained or drained < 0.0 then level = 0.0 else level = drained end
if now > last then last = now end

local reply
if level < capacity then
  level = level + 1.0
  local room = capacity - level
  -- The count rounds down (negatives give 0, saturating at 2^64 - 1); the
  -- message rounds half to even and keeps "-0" (printf's %.0f does both).
  if room > -1 and room < 9007199254740992 then
    local remaining = room > 0 and math.floor(room) or 0
    reply = string.format('1 %.0f %.0f bucket space remaining', remaining, room)
  elseif room == math.huge then
    reply = '1 18446744073709551615 inf bucket space remaining'
  else
    local remaining = room >= 18446744073709551616 and '18446744073709551615'
      or string.format('%.0f', math.floor(room))
    reply = string.format('1 %s %.0f bucket space remaining', remaining, room)
  end
else
  reply = '0 0 0 bucket space remaining'
end

if level <= 0 and rate >= 0 then
  -- An empty bucket that cannot fill by itself is what a new key gets.
  redis.call('DEL', key)
else
  local value = string.format('%.17g %.0f', level, last)
  local empty_after = nil
  if rate > 0 then
    -- One millisecond more than the exact time, so rounding cannot leave a
    -- hair of level behind.
    empty_after = (last - now) + math.ceil(level / rate * 1000.0) + 1 + ahead
  end
  if empty_after ~= nil and empty_after < 1e15 then
    redis.call('SET', key, value, 'PX', string.format('%.0f', empty_after))
  else
    redis.call('SET', key, value)
  end
end

-- How long the leak takes to lower the level by `units`; nil when it never does.
-- Admission needs the level below the capacity: a full bucket waits at least 1 ms.
local function drain_wait(units)
  if not (units > 0) then return 0 end
  if not (rate > 0) then return nil end
  return math.ceil(units / rate * 1000.0)
end
local next_ms = 0
if not (level - capacity < 0) then
  next_ms = nil
  if rate > 0 then next_ms = math.max(drain_wait(level - capacity), 1) end
end
return told(reply, next_ms, drain_wait(level))
