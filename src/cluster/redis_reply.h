#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct redisReply;

namespace korvel {

using RedisPairs = std::vector<std::pair<std::string, std::string>>;

// Readers of Redis replies that take a missing or unexpected reply as empty.
std::string ReplyText(const redisReply* reply);
// A flat array of field, value, field, value...
RedisPairs ReplyPairs(const redisReply* reply);
std::vector<std::string> ReplyList(const redisReply* reply);
std::uint64_t ReplyInteger(const redisReply* reply);
bool ReplyFailed(const redisReply* reply);
std::int32_t Number(const std::string& text, std::int32_t fallback);
std::uint64_t Number64(const std::string& text);

} // namespace korvel
