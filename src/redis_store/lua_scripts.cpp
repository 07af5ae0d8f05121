#include "redis_store/lua_scripts.hpp"

namespace quellgate::redis_store {

namespace {

// Everything is read before anything is written, so a refusal or a mismatch
// leaves the keys exactly as they were, but for the leases of the caller's
// process that it removes first: leases minted or released by calls whose
// answer never came, which nobody holds. Expired leases are not counted; they
// are deleted only on the admitting path, which writes anyway. Integers sent
// back to Redis go through %.0f: Lua's own conversion would print large
// doubles in exponent form, which Redis refuses as an integer.
constexpr std::string_view kDecide = R"lua(
local time = redis.call('TIME')
local seconds = tonumber(time[1])
local now_ms = seconds * 1000 + math.floor(tonumber(time[2]) / 1000)
local stored = redis.call('GET', KEYS[1])
if stored and stored ~= ARGV[1] then return {-2, stored} end
local lease_ms = tonumber(ARGV[2])
local max_burst = tonumber(ARGV[4])
local cost = tonumber(ARGV[5])
local windows = #KEYS - 2
for m = 6 + 2 * windows, #ARGV do redis.call('ZREM', KEYS[2], ARGV[m]) end
local index, count, expiry = {}, {}, {}
local full, wait_ms = false, 0
for w = 1, windows do
  local limit = tonumber(ARGV[4 + 2 * w])
  local length = tonumber(ARGV[5 + 2 * w])
  local i, n = math.floor(seconds / length), 0
  local held = redis.call('HMGET', KEYS[2 + w], 'i', 'n')
  local held_i = tonumber(held[1])
  -- A server clock that went back keeps the later window and its count.
  if held_i and held_i >= i then i, n = held_i, tonumber(held[2]) end
  index[w], count[w] = i, n
  -- Capped so that an enormous window still gets a printable expiry.
  expiry[w] = math.min((i + 1) * length * 1000, now_ms + 8e12)
  if n + cost > limit then
    full = true
    wait_ms = math.max(wait_ms, expiry[w] - now_ms)
  end
end
if full then return {0, wait_ms, unpack(index)} end
local keep_ms = lease_ms
if max_burst > 0 then
  local live_from = '(' .. string.format('%.0f', now_ms)
  if redis.call('ZCOUNT', KEYS[2], live_from, '+inf') >= max_burst then
    local first = redis.call('ZRANGEBYSCORE', KEYS[2], live_from, '+inf', 'WITHSCORES', 'LIMIT', 0, 1)
    return {-1, tonumber(first[2]) - now_ms}
  end
  redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', string.format('%.0f', now_ms))
  redis.call('ZADD', KEYS[2], string.format('%.0f', now_ms + lease_ms), ARGV[3])
  -- Other processes may hold longer leases: only ever extend the set's life.
  keep_ms = math.max(lease_ms, redis.call('PTTL', KEYS[2]))
  if keep_ms == lease_ms then redis.call('PEXPIRE', KEYS[2], lease_ms) end
end
for w = 1, windows do
  redis.call('HSET', KEYS[2 + w], 'i', string.format('%.0f', index[w]), 'n', string.format('%.0f', count[w] + cost))
  redis.call('PEXPIREAT', KEYS[2 + w], string.format('%.0f', expiry[w]))
  keep_ms = math.max(keep_ms, expiry[w] - now_ms)
end
-- The configuration outlives every count and lease it describes.
redis.call('SET', KEYS[1], ARGV[1], 'PX', string.format('%.0f', keep_ms))
return {1, seconds * 1000000 + tonumber(time[2]), unpack(index)}
)lua";

// A lease that expired before its renewal came is gone: renewing it would
// bring back a permit that another holder may already have taken.
constexpr std::string_view kRenew = R"lua(
local time = redis.call('TIME')
local now_ms = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
local lease_ms = tonumber(ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', string.format('%.0f', now_ms))
local until_ms = string.format('%.0f', now_ms + lease_ms)
local renewed = 0
for m = 2, #ARGV do
  renewed = renewed + redis.call('ZADD', KEYS[1], 'XX', 'CH', until_ms, ARGV[m])
end
if renewed > 0 then
  for k = 1, 2 do
    if redis.call('PTTL', KEYS[k]) < lease_ms then redis.call('PEXPIRE', KEYS[k], lease_ms) end
  end
end
return renewed
)lua";

// The same reading of the windows as kDecide's, so a report agrees with the
// next decision: a window whose stored index is behind the clock counts 0.
constexpr std::string_view kReport = R"lua(
local time = redis.call('TIME')
local seconds = tonumber(time[1])
local now_ms = seconds * 1000 + math.floor(tonumber(time[2]) / 1000)
local stored = redis.call('GET', KEYS[1])
if stored and stored ~= ARGV[1] then return {-2, stored} end
local reply = {redis.call('ZCOUNT', KEYS[2], '(' .. string.format('%.0f', now_ms), '+inf')}
for w = 1, #KEYS - 2 do
  local length = tonumber(ARGV[1 + w])
  local i, n = math.floor(seconds / length), 0
  local held = redis.call('HMGET', KEYS[2 + w], 'i', 'n')
  local held_i = tonumber(held[1])
  if held_i and held_i >= i then i, n = held_i, tonumber(held[2]) end
  reply[#reply + 1] = n
  reply[#reply + 1] = math.min((i + 1) * length * 1000 - now_ms, 8e12)
end
return reply
)lua";

// A window counts as current as kDecide reads it: its stored index is the
// admission's and the clock has not moved past it (a clock that went back
// keeps the later window). HSET leaves the hash's expiry as it was, so a
// settled window still goes when it rolls over.
constexpr std::string_view kSettle = R"lua(
local seconds = tonumber(redis.call('TIME')[1])
local decided = tonumber(ARGV[1])
local delta = tonumber(ARGV[2])
local settled = 0
for w = 1, #KEYS do
  local length = tonumber(ARGV[2 + w])
  local i = math.floor(decided / length)
  local held = redis.call('HMGET', KEYS[w], 'i', 'n')
  if tonumber(held[1]) == i and math.floor(seconds / length) <= i then
    local n = math.max(0, tonumber(held[2]) + delta)
    redis.call('HSET', KEYS[w], 'n', string.format('%.0f', n))
    settled = settled + 1
  end
end
return settled
)lua";

}  // namespace

std::string_view script_text(ScriptId script) noexcept {
  switch (script) {
    case ScriptId::decide:
      return kDecide;
    case ScriptId::renew:
      return kRenew;
    case ScriptId::settle:
      return kSettle;
    case ScriptId::report:
      break;
  }
  return kReport;
}

}  // namespace quellgate::redis_store
