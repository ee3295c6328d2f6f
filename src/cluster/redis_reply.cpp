#include "redis_reply.h"

#include <hiredis/hiredis.h>

namespace korvel {

std::string ReplyText(const redisReply* reply)
{
    if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS))
        return {};
    return std::string(reply->str, reply->len);
}

RedisPairs ReplyPairs(const redisReply* reply)
{
    RedisPairs pairs;
    if (!reply || reply->type != REDIS_REPLY_ARRAY)
        return pairs;
    for (std::size_t i = 0; i + 1 < reply->elements; i += 2)
        pairs.emplace_back(ReplyText(reply->element[i]), ReplyText(reply->element[i + 1]));
    return pairs;
}

std::vector<std::string> ReplyList(const redisReply* reply)
{
    std::vector<std::string> list;
    if (reply && reply->type == REDIS_REPLY_ARRAY) {
        for (std::size_t i = 0; i < reply->elements; ++i)
            list.push_back(ReplyText(reply->element[i]));
    }
    return list;
}

std::int32_t Number(const std::string& text, std::int32_t fallback)
{
    try {
        return static_cast<std::int32_t>(std::stol(text));
    } catch (...) {
        return fallback;
    }
}

std::uint64_t Number64(const std::string& text)
{
    try {
        return std::stoull(text);
    } catch (...) {
        return 0;
    }
}

std::uint64_t ReplyInteger(const redisReply* reply)
{
    if (reply && reply->type == REDIS_REPLY_INTEGER && reply->integer > 0)
        return static_cast<std::uint64_t>(reply->integer);
    return Number64(ReplyText(reply));
}

bool ReplyFailed(const redisReply* reply)
{
    return reply && reply->type == REDIS_REPLY_ERROR;
}

} // namespace korvel
