#pragma once

// The Lua scripts the hubs run in Redis, each one atomic there.

namespace korvel {

// Empties the shared table in one step, so that no write of another command
// lands between reading the members and deleting them; the clear gets a
// version from Redis, against which a hub that was away tells what it missed.
inline constexpr char kClearScript[] = R"(local members = redis.call('SMEMBERS', KEYS[1])
for _, ip in ipairs(members) do
  redis.call('DEL', ARGV[1] .. 'system:' .. ip, ARGV[1] .. 'stations:' .. ip, ARGV[1] .. 'lease:' .. ip)
end
redis.call('DEL', KEYS[1], KEYS[2])
local version = redis.call('INCR', KEYS[4])
redis.call('SET', KEYS[3], version)
return version)";

// A system deleted: its keys and lease go, the deletion is remembered (the
// newest ones only) under a version from Redis.
inline constexpr char kRemoveScript[] = R"(redis.call('DEL', KEYS[1], KEYS[2], KEYS[3])
redis.call('SREM', KEYS[4], ARGV[1])
local version = redis.call('INCR', KEYS[6])
redis.call('ZADD', KEYS[5], version, ARGV[1])
redis.call('ZREMRANGEBYRANK', KEYS[5], 0, -1 - tonumber(ARGV[2]))
return version)";

// A system's changed fields and stations, written together or not at all.
inline constexpr char kWriteScript[] = R"(local fields = tonumber(ARGV[2])
for i = 3, 2 + 2 * fields, 2 do
  redis.call('HSET', KEYS[1], ARGV[i], ARGV[i + 1])
end
for i = 3 + 2 * fields, #ARGV, 2 do
  redis.call('HSET', KEYS[2], ARGV[i], ARGV[i + 1])
end
redis.call('SADD', KEYS[3], ARGV[1])
redis.call('ZREM', KEYS[4], ARGV[1])
return 1)";

// The heartbeat: the node name is this run's (taken if free, refused if
// another run holds it); gives Redis's time and each hub's last beat.
inline constexpr char kBeatScript[] = R"(local holder = redis.call('GET', KEYS[1])
if holder and holder ~= ARGV[2] then
  return {0, holder}
end
redis.call('SET', KEYS[1], ARGV[2], 'PX', ARGV[3])
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZADD', KEYS[2], now, ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', now - 86400000)
return {1, now, redis.call('ZRANGE', KEYS[2], 0, -1, 'WITHSCORES')})";

// Leases: "NODE FENCE HEARD" with a time-to-live. A free lease is taken under
// a new fencing number; the holder's is renewed; in mode "heard" a lease
// whose holder has not heard from the system for ARGV[4] ms is taken over
// (the system moved). ARGV[4 + i] is 1 when this hub heard from system i.
// Gives each system's fence for this hub, 0 where another hub holds it.
inline constexpr char kLeaseScript[] = R"(local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local node, ttl, mode, moveAfter = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])
local out = {}
for i = 1, #KEYS - 1 do
  local holder, fence, heard
  local value = redis.call('GET', KEYS[i])
  if value then
    holder, fence, heard = string.match(value, '^(.*) (%d+) (%d+)$')
  end
  if holder == node then
    if ARGV[4 + i] == '1' then
      heard = now
    end
    redis.call('SET', KEYS[i], node .. ' ' .. fence .. ' ' .. heard, 'PX', ttl)
    out[i] = tonumber(fence)
  elseif not holder or (mode == 'heard' and now - tonumber(heard) > moveAfter) then
    local taken = redis.call('INCR', KEYS[#KEYS])
    redis.call('SET', KEYS[i], node .. ' ' .. taken .. ' ' .. now, 'PX', ttl)
    out[i] = taken
  else
    out[i] = 0
  end
end
return out)";

// A system's fields and stations, read in one round trip and one step.
inline constexpr char kReadSystemScript[]
    = R"(return {redis.call('HGETALL', KEYS[1]), redis.call('HGETALL', KEYS[2])})";

} // namespace korvel
