#pragma once

#include "station_list.h"
#include "wire_format.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// Numbers the requests a program sends: starts at 1 and wraps from 65535 to 0.
// One per program, owned by whoever sends (the hub, a command-line sender) and
// handed to what builds numbered packets; safe to take from any thread.
class SequenceCounter {
public:
    std::uint16_t take() { return value_.fetch_add(1, std::memory_order_relaxed); }
    std::uint16_t peek() const { return value_.load(std::memory_order_relaxed); }
    void set(std::uint16_t value) { value_.store(value, std::memory_order_relaxed); }

private:
    std::atomic<std::uint16_t> value_ { 1 };
};

// Zeroes the first `length` bytes of the buffer, writes the header with the
// counter's current number, advances the counter and returns the number used.
std::uint16_t BuildHeader(SequenceCounter& counter, MutableBytes buffer, std::uint8_t code, std::uint16_t length);

// Station numbers of a MSG_UNREGISTER or MSG_REGISTERv2; does nothing for any
// other code. Only entries that lie wholly inside the packet are read.
void ReadStationList(Bytes packet, std::string& systemId, std::vector<std::string>& stations);

// Multi-acknowledgement body for at most the first 50 stations, each with
// ResultCode ACK; clears the whole 888-byte buffer and returns the packet
// length. The caller sets the message code.
std::size_t FillMultiAck(std::span<std::uint8_t, wire::kMaxMultiAckSize> buffer, std::string_view systemId,
    const std::vector<std::string>& stations);

using AckPacket = std::array<std::uint8_t, wire::kAckSize>;
using KeepAlivePacket = std::array<std::uint8_t, wire::kKeepAliveSize>;
using DataMismatchPacket = std::array<std::uint8_t, wire::kDataMismatchSize>;

AckPacket BuildAck(std::uint16_t sequence);
KeepAlivePacket BuildKeepAlive();

// One page of stations, 50 to a page; the page offset is 16-bit arithmetic, as
// peers compute it. Writes into an 808-byte buffer and returns the length used.
// No list (an unknown system) gives an empty page.
std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    const StationList* stations, std::uint16_t page);
std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    const std::vector<std::string>* stations, std::uint16_t page);
std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    std::nullptr_t, std::uint16_t page);

// Takes its sequence number from the counter.
DataMismatchPacket BuildDataMismatch(SequenceCounter& counter, std::string_view station);

} // namespace korvel
