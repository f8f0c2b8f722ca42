-- Sliding window: an exact log of admitted requests; a request is admitted
-- while fewer than `max_requests` of them lie within the last `window_ms`.
-- KEYS[1]: the client's key. ARGV: max_requests (a whole decimal number, up to
-- 2^64 - 1), window_ms, now in milliseconds since the epoch ("" reads the
-- server's clock).
-- Returns "<1 admitted or 0> <remaining> <message>", one text.
-- With ARGV[4] "1" the reply also tells, on a second line, "<ms until a request
-- would be admitted> <ms until the allowance is whole>" (-1: never).
-- The state is a list of admission times, oldest first; it expires one
-- millisecond after its newest entry leaves the window, when every entry would
-- have been evicted.
local key = KEYS[1]
local max_text = ARGV[1]
local max_requests = tonumber(max_text)
local window_ms = tonumber(ARGV[2])
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

local function places_left(used)
  if max_requests < 9007199254740992 then return string.format('%.0f', max_requests - used) end
  local high, low = tonumber(string.sub(max_text, 1, -16)), tonumber(string.sub(max_text, -15))
  if low < used then
    high, low = high - 1, low + 1e15
  end
  return string.format('%.0f%015.0f', high, low - used)
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

local cutoff = now - window_ms
if cutoff < 0 then cutoff = 0 end
-- Only the front is examined: behind a newer front (a clock that stepped back)
-- older entries wait until the front itself expires.
while true do
  local front = redis.call('LINDEX', key, 0)
  if not front or tonumber(front) >= cutoff then break end
  redis.call('LPOP', key)
end

-- A place frees when the entry holding the log at the limit leaves the window
-- (an entry still counts at its time + window_ms); the allowance is whole when
-- the newest entry has left.
local function waits(logged)
  local function leaves_in(index)
    local wait = tonumber(redis.call('LINDEX', key, index)) + window_ms + 1 - now
    return wait > 0 and wait or 0
  end
  local next_ms
  if max_requests == 0 then
    next_ms = nil
  elseif logged < max_requests then
    next_ms = 0
  else
    next_ms = leaves_in(logged - max_requests)
  end
  return next_ms, logged == 0 and 0 or leaves_in(logged - 1)
end

local count = redis.call('LLEN', key)
if count >= max_requests then
  if ARGV[4] ~= '1' then return '0 0 0 requests remaining' end  -- refusals are not logged
  return told('0 0 0 requests remaining', waits(count))
end
redis.call('RPUSH', key, string.format('%.0f', now))
local keep_for = window_ms + 1 + ahead
if redis.call('PTTL', key) < keep_for then
  redis.call('PEXPIRE', key, keep_for)
end
local remaining = places_left(count + 1)
local reply = '1 ' .. remaining .. ' ' .. remaining .. ' requests remaining'
if ARGV[4] ~= '1' then return reply end
return told(reply, waits(count + 1))
