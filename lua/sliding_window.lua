-- Sliding window: an exact log of admitted requests; a request is admitted
-- while fewer than `max_requests` of them lie within the last `window_ms`.
-- KEYS[1]: the client's key. ARGV: max_requests (a whole decimal number, up to
-- 2^64 - 1), window_ms, now in milliseconds since the epoch ("" reads the
-- server's clock).
-- Returns "<1 admitted or 0> <remaining> <message>", one text.
-- The state is a list of admission times, oldest first; it expires one
-- millisecond after its newest entry leaves the window, when every entry would
-- have been evicted.
local key = KEYS[1]
local max_text = ARGV[1]
local max_requests = tonumber(max_text)
local window_ms = tonumber(ARGV[2])
local now = tonumber(ARGV[3])
if now == nil then
  local time = redis.call('TIME')
  now = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
end

local function places_left(used)
  if max_requests < 9007199254740992 then return string.format('%.0f', max_requests - used) end
  local high, low = tonumber(string.sub(max_text, 1, -16)), tonumber(string.sub(max_text, -15))
  if low < used then
    high, low = high - 1, low + 1e15
  end
  return string.format('%.0f%015.0f', high, low - used)
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

local count = redis.call('LLEN', key)
if count >= max_requests then
  return '0 0 0 requests remaining'  -- refusals are not logged
end
redis.call('RPUSH', key, string.format('%.0f', now))
local keep_for = window_ms + 1
if redis.call('PTTL', key) < keep_for then
  redis.call('PEXPIRE', key, keep_for)
end
local remaining = places_left(count + 1)
return '1 ' .. remaining .. ' ' .. remaining .. ' requests remaining'
