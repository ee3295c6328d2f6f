#include "answer_budget.h"

#include <algorithm>

namespace korvel {

AnswerBudget::AnswerBudget()
    : AnswerBudget(Options {})
{
}

AnswerBudget::AnswerBudget(Options options)
    : options_(options)
    , clock_([] { return std::chrono::steady_clock::now(); })
{
}

double AnswerBudget::refilled(const Bucket& bucket, std::chrono::steady_clock::time_point now) const
{
    const double seconds = std::chrono::duration<double>(now - bucket.filled).count();
    return std::min<double>(options_.burstBytes, bucket.tokens + seconds * options_.bytesPerSecond);
}

bool AnswerBudget::take(const std::string& address, std::size_t bytes)
{
    if (options_.burstBytes == 0)
        return true;
    const auto now = clock_();
    auto found = buckets_.find(address);
    if (found == buckets_.end() && buckets_.size() < options_.maxAddresses)
        found = buckets_.emplace(address, Bucket { static_cast<double>(options_.burstBytes), now }).first;
    if (found != buckets_.end()) {
        Bucket& bucket = found->second;
        bucket.tokens = refilled(bucket, now);
        bucket.filled = now;
        if (bucket.tokens >= static_cast<double>(bytes)) {
            bucket.tokens -= static_cast<double>(bytes);
            return true;
        }
    }
    lastHeldBack_ = address;
    return false;
}

void AnswerBudget::expire()
{
    const auto now = clock_();
    std::erase_if(buckets_, [&](const auto& item) { return refilled(item.second, now) >= options_.burstBytes; });
}

} // namespace korvel
