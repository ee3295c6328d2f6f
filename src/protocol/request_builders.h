#pragma once

#include "packet_builders.h"
#include "wire_format.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

using Packet = std::vector<std::uint8_t>;

// Requests as a PBX system sends them; the operator's test commands and the
// command-line sender build theirs here. Builders marked "numbered" take the
// next number from the sender's SequenceCounter.

// MSG_STATUSREPORT, MSG_MULTACK or MSG_UNREG_MULTACK: one entry per station
// (at most 50), every entry with the same status or result byte.
Packet BuildEntryPacket(
    std::uint8_t code, std::string_view systemId, const std::vector<std::string>& stations, std::uint8_t value);

// MSG_REGISTER, 70 bytes, numbered.
Packet BuildRegister(
    SequenceCounter& counter, std::string_view source, std::string_view destination, std::string_view systemId = {});

// MSG_UNREGISTER or MSG_REGISTERv2, 56 + 16 n bytes, numbered.
Packet BuildStationListRequest(SequenceCounter& counter, std::uint8_t code, std::string_view systemId,
    std::string_view source, const std::vector<std::string>& destinations);

// MSG_GETDATA (38 bytes) and MSG_GETDATAv2 (40 bytes), numbered.
Packet BuildGetData(SequenceCounter& counter, std::string_view systemId);
Packet BuildGetDataV2(SequenceCounter& counter, std::string_view systemId, std::uint16_t page);

// MSG_CLEAR: the header and an optional body, numbered.
Packet BuildClear(SequenceCounter& counter, std::string_view body = {});

// MSG_SYSTEM_REGISTER, 48 bytes, numbered.
Packet BuildSystemRegister(SequenceCounter& counter, std::string_view systemId, std::uint16_t endpointType,
    std::array<std::uint8_t, 4> ip, std::uint16_t port);

} // namespace korvel
