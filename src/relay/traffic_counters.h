#pragma once

#include "base/thread_check.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace korvel {

// Why a one-shot send failed.
enum class SendFailure { Lookup, Socket, Connect, ConnectTimeout, Send };
inline constexpr std::size_t kSendFailureKinds = 5;

// The endpoints that receive datagrams, in the order of the counters below.
enum class DatagramEndpoint { Qvx, Velka, Rack };
inline constexpr std::size_t kDatagramEndpoints = 3;

// Counters by message code keep codes 1 to 16 apart and put every other code in slot 0.
inline constexpr std::size_t kMessageSlots = 17;
inline constexpr std::size_t MessageSlot(std::uint8_t code)
{
    return code < kMessageSlots ? code : 0;
}

// Traffic counters, one set per hub. The sender threads touch only the
// atomic ones; the plain ones belong to the main thread, where the receive
// path counts without paying for an atomic operation.
struct TrafficCounters {
    std::atomic<std::int32_t> SentByteCount { 0 };
    std::atomic<std::int32_t> ReceivedByteCount { 0 };
    std::atomic<std::int32_t> LiveSenderCount { 0 };
    std::array<std::atomic<std::uint64_t>, kSendFailureKinds> SendFailures {};

    // What the hub turned away to stay within its bounds; main thread only.
    // New senders refused because the table was full (datagrams and connections).
    std::uint64_t RefusedTableFull = 0;
    // Datagram answers the per-address budget held back, and their bytes.
    std::uint64_t AnswersHeldBack = 0;
    std::uint64_t AnswerBytesHeldBack = 0;
    // Connections closed for room, or because their answers were not taken.
    std::uint64_t ConnectionsShed = 0;

    std::uint64_t Datagrams[kDatagramEndpoints][kMessageSlots] {};
    std::uint64_t Connections = 0;
    std::uint64_t TcpRequests[kMessageSlots] {};
    std::uint64_t Forwarded[kMessageSlots] {};
    // Answers sent (acks, station lists, notices), by their own message code.
    std::uint64_t Answers[kMessageSlots] {};

    // Bytes since start. Each call moves what the byte counters above hold
    // into the total, so every reader (the window's graph, the web console)
    // keeps its own previous reading and none takes bytes from another.
    // Main thread only.
    std::uint64_t sentBytesTotal()
    {
        owner_("sentBytesTotal");
        sentTotal_ += static_cast<std::uint32_t>(SentByteCount.exchange(0));
        return sentTotal_;
    }
    std::uint64_t receivedBytesTotal()
    {
        owner_("receivedBytesTotal");
        receivedTotal_ += static_cast<std::uint32_t>(ReceivedByteCount.exchange(0));
        return receivedTotal_;
    }

    void countFailure(SendFailure kind)
    {
        SendFailures[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
    }

private:
    std::uint64_t sentTotal_ = 0;
    std::uint64_t receivedTotal_ = 0;
    ThreadCheck owner_ { "TrafficCounters" };
};

} // namespace korvel
