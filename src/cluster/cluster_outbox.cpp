#include "cluster_outbox.h"

namespace korvel {

namespace {

// One stream entry carries a loop turn's worth of reports, up to these bounds.
constexpr std::uint32_t kEntryMessages = 512;
constexpr std::size_t kEntryBytes = 64 * 1024;
// Entries kept for a replay, besides the age bound.
constexpr std::size_t kTakenEntries = 4096;

} // namespace

ClusterOutbox::ClusterOutbox(std::size_t maxMessages, std::chrono::milliseconds maxAge)
    : maxMessages_(maxMessages)
    , maxAge_(maxAge)
{
}

void ClusterOutbox::add(std::string_view message, bool report, Clock::time_point now)
{
    if (waiting_.size() == sent_ || waiting_.back().sealed || waiting_.back().count >= kEntryMessages
        || waiting_.back().messages.size() + message.size() > kEntryBytes) {
        waiting_.push_back(Entry { ++sequence_, {}, 0, 0, now, false });
    }
    Entry& entry = waiting_.back();
    const auto length = static_cast<std::uint32_t>(message.size());
    const char header[4] = { static_cast<char>(length >> 24), static_cast<char>(length >> 16),
        static_cast<char>(length >> 8), static_cast<char>(length) };
    entry.messages.append(header, 4);
    entry.messages.append(message);
    ++entry.count;
    entry.reports += report ? 1 : 0;
    ++queued_;
    // Full: the oldest that is not on the wire makes room.
    while (queued_ > maxMessages_ && waiting_.size() > sent_ + 1)
        drop(waiting_.begin() + static_cast<std::ptrdiff_t>(sent_));
}

void ClusterOutbox::drop(std::deque<Entry>::iterator entry)
{
    queued_ -= entry->count;
    dropped_ += entry->count;
    waiting_.erase(entry);
}

const ClusterOutbox::Entry* ClusterOutbox::next(Clock::time_point now)
{
    while (waiting_.size() > sent_ && now - waiting_[sent_].queuedAt > maxAge_)
        drop(waiting_.begin() + static_cast<std::ptrdiff_t>(sent_));
    if (waiting_.size() == sent_)
        return nullptr;
    Entry& entry = waiting_[sent_++];
    entry.sealed = true;
    return &entry;
}

void ClusterOutbox::acknowledged(Clock::time_point now)
{
    if (sent_ == 0)
        return;
    queued_ -= waiting_.front().count;
    taken_.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
    --sent_;
    trimTaken(now);
}

void ClusterOutbox::trimTaken(Clock::time_point now)
{
    while (!taken_.empty() && (taken_.size() > kTakenEntries || now - taken_.front().queuedAt > maxAge_))
        taken_.pop_front();
}

void ClusterOutbox::connectionLost()
{
    sent_ = 0;
}

void ClusterOutbox::replay(Clock::time_point now)
{
    trimTaken(now);
    sent_ = 0;
    for (auto entry = taken_.rbegin(); entry != taken_.rend(); ++entry) {
        queued_ += entry->count;
        waiting_.push_front(std::move(*entry));
    }
    taken_.clear();
}

} // namespace korvel

namespace korvel {

namespace {

// Hubs remembered; the one not heard from longest is forgotten first.
constexpr std::size_t kSeenHubs = 1024;

} // namespace

bool SeenEntries::fresh(const std::string& node, std::uint64_t start, std::uint64_t sequence)
{
    Mark& mark = marks_[node];
    if (start < mark.start || (start == mark.start && sequence <= mark.sequence))
        return false;
    mark = Mark { start, sequence, ++clock_ };
    if (marks_.size() > kSeenHubs) {
        auto oldest = marks_.begin();
        for (auto it = marks_.begin(); it != marks_.end(); ++it) {
            if (it->second.touched < oldest->second.touched)
                oldest = it;
        }
        marks_.erase(oldest);
    }
    return true;
}

} // namespace korvel
