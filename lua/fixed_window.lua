-- Fixed window: at most `max_requests` admissions per window of `window_ms`; a
-- key's window opens at its first request and the next one at its first
-- request after that window ran out.
-- KEYS[1]: the client's key. ARGV: max_requests (a whole decimal number, up to
-- 2^64 - 1), window_ms, now in milliseconds since the epoch ("" reads the
-- server's clock).
-- Returns "<1 admitted or 0> <remaining> <message>", one text.
-- With ARGV[4] "1" the reply also tells, on a second line, "<ms until a request
-- would be admitted> <ms until the allowance is whole>" (-1: never).
-- The state is "count window_start"; it expires when the window runs out.
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

-- max_requests minus a small whole count, exact also where doubles are not
-- (above 2^53): the low fifteen digits take the subtraction.
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

local count, start
local state = redis.call('GET', key)
if state then
  local blank = string.find(state, ' ', 1, true)
  count, start = tonumber(string.sub(state, 1, blank - 1)), tonumber(string.sub(state, blank + 1))
else
  count, start = 0, now
end

local elapsed = now - start
if elapsed < 0 then elapsed = 0 end
-- The roll-over comes before the admission test, so a refused check rolls too.
if elapsed >= window_ms then
  count, start = 0, now
end

local result, next_ms, reset_ms
local time_left = start + window_ms - now
if count < max_requests then
  count = count + 1
  local remaining = places_left(count)
  result = '1 ' .. remaining .. ' ' .. remaining .. ' requests remaining'
  next_ms, reset_ms = (count < max_requests) and 0 or time_left, time_left
else
  result = '0 0 0 requests remaining'
  -- A limit of 0 admits nothing, in any window.
  next_ms, reset_ms = (max_requests > 0) and time_left or nil, (count > 0) and time_left or 0
end

local ends_in = start + window_ms - now
if count == 0 or ends_in <= 0 then
  -- Nothing counted, or a window already over: a new key answers the same.
  redis.call('DEL', key)
else
  redis.call('SET', key, string.format('%.0f %.0f', count, start), 'PX',
    string.format('%.0f', ends_in + ahead))
end
return told(result, next_ms, reset_ms)
