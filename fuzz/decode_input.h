#pragma once

#include "protocol/wire_format.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// The record format of the decode harness, shared with the seed maker.
namespace korvel::fuzz {

enum class Endpoint : std::uint8_t { Qvx = 0, Velka = 1, Rack = 2, Tcp = 3 };

// Known systems first (see the harness's preload), then strangers, one of
// which is the forwarding address the known QVX systems share.
inline const char* const kSources[]
    = { "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "10.0.0.1", "192.168.1.10", "127.0.0.1", "0.0.0.0" };
inline constexpr std::size_t kSourceCount = sizeof kSources / sizeof kSources[0];

// A view into the input it was split from.
struct Record {
    Endpoint endpoint;
    const char* source;
    Bytes bytes;
};

// A length beyond what the endpoint reads is cut, as the sockets cut it; a
// record that runs past the input takes what is there.
inline std::vector<Record> SplitRecords(const std::uint8_t* data, std::size_t size)
{
    std::vector<Record> records;
    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t selector = data[at];
        const auto endpoint = static_cast<Endpoint>(selector & 3);
        std::size_t length = static_cast<std::size_t>(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        const std::size_t limit = endpoint == Endpoint::Tcp ? wire::kMaxTcpRead : wire::kMaxDatagram;
        const std::size_t take = std::min({ length, size - at, limit });
        records.push_back(Record { endpoint, kSources[(selector >> 2) % kSourceCount], Bytes(data + at, take) });
        at += std::min(length, size - at);
    }
    return records;
}

inline void AppendRecord(
    std::vector<std::uint8_t>& input, Endpoint endpoint, std::size_t source, const std::vector<std::uint8_t>& bytes)
{
    input.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(endpoint) | (source << 2)));
    input.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
    input.push_back(static_cast<std::uint8_t>(bytes.size() & 0xFF));
    input.insert(input.end(), bytes.begin(), bytes.end());
}

} // namespace korvel::fuzz
