#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvel {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// Message codes (byte 1 of every packet).
enum MessageCode : std::uint8_t {
    MSG_ACK = 1,
    MSG_NAK = 2,
    MSG_REGISTER = 3,
    MSG_UNREGISTER = 4,
    MSG_CLEAR = 5,
    MSG_GETDATA = 6,
    MSG_GETRESPONSE = 7,
    MSG_STATUSREPORT = 8,
    MSG_SYSTEM_REGISTER = 9,
    MSG_SYSTEM_UNREGISTER = 10,
    MSG_REQ_GETDATA = 11,
    MSG_REGISTERv2 = 12,
    MSG_GETDATAv2 = 13,
    MSG_MULTACK = 14,
    MSG_DATA_MISMATCH = 15,
    MSG_UNREG_MULTACK = 16,
};

inline constexpr int kFirstMessageCode = MSG_ACK;
inline constexpr int kLastMessageCode = MSG_UNREG_MULTACK;

enum StationStatusCode : std::uint8_t {
    STATUS_IDLE = 0,
    STATUS_BUSY = 1,
    STATUS_DND = 2,
    STATUS_MSG = 3,
    STATUS_OOS = 4,
};

enum ResultCode : std::uint8_t {
    RESULT_ACK = 1,
    RESULT_NAK = 2,
};

namespace wire {

inline constexpr std::uint8_t kMarker = 0x0B;

// Common header.
inline constexpr std::size_t kMarkerOffset = 0;
inline constexpr std::size_t kCodeOffset = 1;
inline constexpr std::size_t kLengthOffset = 2;
inline constexpr std::size_t kSequenceOffset = 4;
inline constexpr std::size_t kHeaderSize = 6;
// Status reports and multi-acks end their header before the sequence number.
inline constexpr std::size_t kShortHeaderSize = 4;

// Text widths.
inline constexpr std::size_t kSystemIdSize = 32;
inline constexpr std::size_t kStationSize = 16;

// MSG_REGISTER and the layout MSG_DATA_MISMATCH shares with it.
inline constexpr std::size_t kSystemIdOffset = 6;
inline constexpr std::size_t kRegisterSourceOffset = 38;
inline constexpr std::size_t kRegisterDestinationOffset = 54;
inline constexpr std::size_t kRegisterSize = 70;

// MSG_UNREGISTER and MSG_REGISTERv2.
inline constexpr std::size_t kListArraySizeOffset = 38;
inline constexpr std::size_t kListSourceOffset = 40;
inline constexpr std::size_t kListFirstStationOffset = 56;
inline constexpr std::size_t kListHeaderSize = 56;

// MSG_GETDATA and MSG_GETDATAv2.
inline constexpr std::size_t kGetDataSize = 38;
inline constexpr std::size_t kPageIndexOffset = 38;
inline constexpr std::size_t kGetDataV2Size = 40;

// MSG_GETRESPONSE.
inline constexpr std::size_t kPageArraySizeOffset = 6;
inline constexpr std::size_t kPageFirstStationOffset = 8;
inline constexpr std::size_t kPageHeaderSize = 8;
inline constexpr std::size_t kStationsPerPage = 50;
inline constexpr std::size_t kMaxGetResponseSize = kPageHeaderSize + kStationSize * kStationsPerPage; // 808

// MSG_STATUSREPORT, MSG_MULTACK, MSG_UNREG_MULTACK: entries of station + one byte.
inline constexpr std::size_t kEntrySystemIdOffset = 4;
inline constexpr std::size_t kEntryArraySizeOffset = 36;
inline constexpr std::size_t kFirstEntryOffset = 38;
inline constexpr std::size_t kEntrySize = 17;
inline constexpr std::size_t kEntryValueOffset = 16; // within an entry
inline constexpr std::size_t kMaxWalkedEntries = 512;
inline constexpr std::size_t kMaxMultiAckEntries = 50;
inline constexpr std::size_t kMaxMultiAckSize = kFirstEntryOffset + kEntrySize * kMaxMultiAckEntries; // 888

// MSG_SYSTEM_REGISTER.
inline constexpr std::size_t kEndpointTypeOffset = 38;
inline constexpr std::size_t kSystemIpOffset = 40;
inline constexpr std::size_t kSystemPortOffset = 44;
inline constexpr std::size_t kSystemRegisterTailOffset = 48;
inline constexpr std::size_t kSystemRegisterSize = 48;

// MSG_DATA_MISMATCH.
inline constexpr std::size_t kMismatchStationOffset = 54;
inline constexpr std::size_t kMismatchFlagOffset = 70;
inline constexpr std::size_t kDataMismatchSize = 74;

inline constexpr std::size_t kAckSize = 6;
inline constexpr std::size_t kKeepAliveSize = 4;

// Receive limits.
inline constexpr std::size_t kMaxDatagram = 1500;
inline constexpr std::size_t kMaxTcpRead = 2048;

} // namespace wire

// Bounds-checked readers: a field that lies (partly) outside the bytes reads as 0
// or as the part that is there, never beyond.
inline std::uint8_t ReadU8(Bytes packet, std::size_t offset)
{
    return offset < packet.size() ? packet[offset] : 0;
}

inline std::uint16_t ReadU16(Bytes packet, std::size_t offset)
{
    return static_cast<std::uint16_t>((ReadU8(packet, offset) << 8) | ReadU8(packet, offset + 1));
}

inline void WriteU16(MutableBytes buffer, std::size_t offset, std::uint16_t value)
{
    buffer[offset] = static_cast<std::uint8_t>(value >> 8);
    buffer[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

inline std::uint8_t GetMessageCode(Bytes packet)
{
    return ReadU8(packet, wire::kCodeOffset);
}

// The request number, bytes 4-5, for any code (for codes without one these
// are the first two bytes of the System ID).
inline std::uint16_t GetSequenceNumber(Bytes packet)
{
    return ReadU16(packet, wire::kSequenceOffset);
}

// Whether a message code's layout carries a sequence number.
bool HasSequenceNumber(int code);

// Text of a fixed-width field: up to the first NUL or the field's end, and
// never past the end of the packet.
std::string ReadField(Bytes packet, std::size_t offset, std::size_t width);

// Writes text into a zero-filled field, cut at the field's width.
void WriteField(MutableBytes buffer, std::size_t offset, std::size_t width, std::string_view text);

} // namespace korvel
