#include "lease_book.h"

namespace korvel {

LeaseBook::LeaseBook(std::chrono::milliseconds lease)
    : lease_(lease)
{
}

void LeaseBook::held(const std::string& ip, std::uint64_t fence, Clock::time_point sentAt)
{
    Lease& lease = mine_[ip];
    lease.fence = fence;
    lease.goodUntil = std::max(lease.goodUntil, sentAt + lease_);
    others_.erase(ip);
}

bool LeaseBook::lost(const std::string& ip)
{
    return mine_.erase(ip) > 0;
}

bool LeaseBook::heldElsewhere(const std::string& ip, const std::string& node, std::uint64_t fence)
{
    const auto mine = mine_.find(ip);
    const bool wasMine = mine != mine_.end();
    if (wasMine) {
        if (mine->second.fence >= fence)
            return false;
        mine_.erase(mine);
    }
    Other& other = others_[ip];
    if (other.fence <= fence)
        other = Other { node, fence };
    return wasMine;
}

void LeaseBook::forget(const std::string& ip)
{
    mine_.erase(ip);
    others_.erase(ip);
}

void LeaseBook::clear()
{
    mine_.clear();
    others_.clear();
}

void LeaseBook::expireAll()
{
    for (auto& [ip, lease] : mine_)
        lease.goodUntil = {};
}

bool LeaseBook::serves(const std::string& ip, Clock::time_point now) const
{
    const auto mine = mine_.find(ip);
    if (mine != mine_.end())
        return island_ || now < mine->second.goodUntil;
    return island_ && !others_.contains(ip);
}

std::string LeaseBook::holder(const std::string& ip, const std::string& self) const
{
    if (mine_.contains(ip))
        return self;
    const auto other = others_.find(ip);
    return other == others_.end() ? std::string() : other->second.node;
}

std::vector<std::pair<std::string, std::uint64_t>> LeaseBook::mine() const
{
    std::vector<std::pair<std::string, std::uint64_t>> all;
    all.reserve(mine_.size());
    for (const auto& [ip, lease] : mine_)
        all.emplace_back(ip, lease.fence);
    return all;
}

std::vector<std::string> LeaseBook::expired(Clock::time_point now) const
{
    std::vector<std::string> all;
    for (const auto& [ip, lease] : mine_) {
        if (now >= lease.goodUntil)
            all.push_back(ip);
    }
    return all;
}

} // namespace korvel
