#include "bench_packet.h"

#include <cstring>

namespace korvel::bench {

namespace {

constexpr std::size_t kStampOffset = wire::kEntrySystemIdOffset + 16;
constexpr std::size_t kTagOffset = kStampOffset + 8;
constexpr std::size_t kSequenceOffset = kTagOffset + 4;
static_assert(kSequenceOffset + 4 <= wire::kEntrySystemIdOffset + wire::kSystemIdSize);
constexpr std::uint32_t kTag = 0x4b56424eu;
constexpr int kStationsPerSystem = 50;

} // namespace

ReportBuilder::ReportBuilder(const std::string& systemId, int stationBase, bool changingStates)
    : stationBase_(stationBase)
    , changingStates_(changingStates)
{
    report_[wire::kMarkerOffset] = wire::kMarker;
    report_[wire::kCodeOffset] = MSG_STATUSREPORT;
    WriteU16(report_, wire::kLengthOffset, static_cast<std::uint16_t>(kReportSize));
    // Leaves room for the NUL that ends the text before the stamp.
    WriteField(report_, wire::kEntrySystemIdOffset, 15, systemId);
    WriteU16(report_, wire::kEntryArraySizeOffset, static_cast<std::uint16_t>(kReportStations));
    std::memcpy(&report_[kTagOffset], &kTag, sizeof kTag);
}

const Report& ReportBuilder::next(std::uint32_t sequence, std::int64_t sentNs)
{
    for (std::size_t i = 0; i < kReportStations; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        const int station = stationBase_ + static_cast<int>((sequence * kReportStations + i) % kStationsPerSystem);
        WriteField(report_, offset, wire::kStationSize, std::to_string(station));
        // A pass over the stations takes kStationsPerSystem / kReportStations reports.
        const std::uint32_t step = changingStates_ ? sequence / (kStationsPerSystem / kReportStations) : sequence;
        report_[offset + wire::kEntryValueOffset] = static_cast<std::uint8_t>(step % 5);
    }
    std::memcpy(&report_[kSequenceOffset], &sequence, sizeof sequence);
    stamp(report_.data(), sentNs);
    return report_;
}

void ReportBuilder::stamp(std::uint8_t* report, std::int64_t sentNs)
{
    std::memcpy(report + kStampOffset, &sentNs, sizeof sentNs);
}

std::optional<Stamp> ReadStamp(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t tag = 0;
    if (length != kReportSize || bytes[wire::kCodeOffset] != MSG_STATUSREPORT)
        return std::nullopt;
    std::memcpy(&tag, bytes + kTagOffset, sizeof tag);
    if (tag != kTag)
        return std::nullopt;
    Stamp stamp;
    std::memcpy(&stamp.sentNs, bytes + kStampOffset, sizeof stamp.sentNs);
    std::memcpy(&stamp.sequence, bytes + kSequenceOffset, sizeof stamp.sequence);
    return stamp;
}

} // namespace korvel::bench
