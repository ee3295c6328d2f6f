#include "subscription_book.h"

#include <algorithm>

namespace korvel {

ExpiresDecision DecideExpires(std::optional<std::uint32_t> requested)
{
    if (!requested)
        return { 200, kSipMaxExpires };
    if (*requested == 0)
        return { 200, 0 };
    if (*requested < kSipMinExpires)
        return { 423, 0 };
    return { 200, std::min(*requested, kSipMaxExpires) };
}

NotifyPipeline::Next NotifyPipeline::changed()
{
    due_ = true;
    return inFlight_ || waiting_ ? Next::Wait : Next::SendNow;
}

void NotifyPipeline::sent()
{
    inFlight_ = true;
    due_ = false;
}

NotifyPipeline::Next NotifyPipeline::answered(int status)
{
    inFlight_ = false;
    if (status >= 200 && status < 300) {
        failures_ = 0;
        return due_ ? Next::SendNow : Next::Wait;
    }
    if (status == 408 || (status >= 500 && status < 600)) {
        // What failed is sent again, or whatever replaced it.
        due_ = true;
        if (++failures_ >= kSipMaxNotifyFailures)
            return Next::End;
        waiting_ = true;
        return Next::RetryLater;
    }
    return Next::End;
}

NotifyPipeline::Next NotifyPipeline::retryDue()
{
    waiting_ = false;
    return due_ && !inFlight_ ? Next::SendNow : Next::Wait;
}

SubscriptionBook::SubscriptionBook(std::size_t maxTotal, std::size_t maxPerSource)
    : maxTotal_(maxTotal)
    , maxPerSource_(maxPerSource)
{
}

std::size_t SubscriptionBook::DialogHash(
    const std::string& callId, const std::string& localTag, const std::string& remoteTag)
{
    const std::hash<std::string> hash;
    return hash(callId) ^ (hash(localTag) * 31) ^ (hash(remoteTag) * 131);
}

Result<SipSubscription*> SubscriptionBook::add(SipSubscription subscription)
{
    if (byId_.size() >= maxTotal_)
        return Fail("the hub holds its most subscriptions");
    std::size_t& fromSource = bySource_[subscription.sourceAddress];
    if (fromSource >= maxPerSource_)
        return Fail("the source holds its most subscriptions");
    ++fromSource;
    if (subscription.id == 0)
        subscription.id = nextId_;
    nextId_ = std::max(nextId_, subscription.id + 1);
    auto owned = std::make_unique<SipSubscription>(std::move(subscription));
    SipSubscription* added = owned.get();
    byDialog_.emplace(DialogHash(added->callId, added->localTag, added->remoteTag), added->id);
    byStation_[added->station].push_back(added->id);
    ++byEvent_[static_cast<std::size_t>(added->event)];
    byId_.emplace(added->id, std::move(owned));
    return added;
}

SipSubscription* SubscriptionBook::find(
    const std::string& callId, const std::string& localTag, const std::string& remoteTag)
{
    const auto [first, last] = byDialog_.equal_range(DialogHash(callId, localTag, remoteTag));
    for (auto at = first; at != last; ++at) {
        SipSubscription* candidate = byId(at->second);
        if (candidate && candidate->callId == callId && candidate->localTag == localTag
            && candidate->remoteTag == remoteTag)
            return candidate;
    }
    return nullptr;
}

SipSubscription* SubscriptionBook::byId(std::uint64_t id)
{
    const auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : found->second.get();
}

void SubscriptionBook::remove(std::uint64_t id)
{
    const auto found = byId_.find(id);
    if (found == byId_.end())
        return;
    const SipSubscription& gone = *found->second;
    const auto [first, last] = byDialog_.equal_range(DialogHash(gone.callId, gone.localTag, gone.remoteTag));
    for (auto at = first; at != last; ++at) {
        if (at->second == id) {
            byDialog_.erase(at);
            break;
        }
    }
    if (auto station = byStation_.find(gone.station); station != byStation_.end()) {
        std::erase(station->second, id);
        if (station->second.empty())
            byStation_.erase(station);
    }
    if (auto source = bySource_.find(gone.sourceAddress); source != bySource_.end() && --source->second == 0)
        bySource_.erase(source);
    --byEvent_[static_cast<std::size_t>(gone.event)];
    byId_.erase(found);
}

void SubscriptionBook::moveSource(std::uint64_t id, const std::string& address)
{
    SipSubscription* moved = byId(id);
    if (!moved || moved->sourceAddress == address)
        return;
    if (auto old = bySource_.find(moved->sourceAddress); old != bySource_.end() && --old->second == 0)
        bySource_.erase(old);
    ++bySource_[address];
    moved->sourceAddress = address;
}

std::vector<SipSubscription*> SubscriptionBook::watchers(const std::string& station)
{
    std::vector<SipSubscription*> found;
    if (auto ids = byStation_.find(station); ids != byStation_.end()) {
        found.reserve(ids->second.size());
        for (std::uint64_t id : ids->second)
            found.push_back(byId_.at(id).get());
    }
    return found;
}

std::size_t SubscriptionBook::watcherCount(const std::string& station) const
{
    const auto ids = byStation_.find(station);
    return ids == byStation_.end() ? 0 : ids->second.size();
}

std::vector<std::uint64_t> SubscriptionBook::expired(std::int64_t nowMs) const
{
    std::vector<std::uint64_t> found;
    for (const auto& [id, subscription] : byId_) {
        if (subscription->expiresAtMs <= nowMs)
            found.push_back(id);
    }
    return found;
}

} // namespace korvel
