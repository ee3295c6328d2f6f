#pragma once

#include "protocol/wire_format.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel::bench {

inline constexpr std::size_t kReportStations = 5;
inline constexpr std::size_t kReportSize = wire::kFirstEntryOffset + wire::kEntrySize * kReportStations; // 123

using Report = std::array<std::uint8_t, kReportSize>;

// What a report of ours carries besides its stations: when it was sent
// (CLOCK_REALTIME, the clock of the kernel's receive stamps) and its number
// in the generator's sequence.
struct Stamp {
    std::int64_t sentNs = 0;
    std::uint32_t sequence = 0;
};

// A MSG_STATUSREPORT of five stations. The stamp and a tag ride in the System
// ID field after its terminating NUL: every reader stops at the NUL, so the hub
// sees a constant System ID, and forwarding keeps the bytes intact.
class ReportBuilder {
public:
    // `changingStates`: see GeneratorPlan.
    ReportBuilder(const std::string& systemId, int stationBase, bool changingStates = false);
    // Fills the stations and states for this sequence number and stamps it.
    const Report& next(std::uint32_t sequence, std::int64_t sentNs);
    static void stamp(std::uint8_t* report, std::int64_t sentNs);

private:
    Report report_ {};
    int stationBase_;
    bool changingStates_;
};

// The stamp of one of our reports, or nothing for any other datagram (the
// hub also sends keep-alives to known systems).
std::optional<Stamp> ReadStamp(const std::uint8_t* bytes, std::size_t length);

} // namespace korvel::bench
