#pragma once

#include "wire_format.h"

#include <string>

namespace korvel {

// "MSG_ACK" ... "MSG_UNREG_MULTACK" for codes 1 to 16, nullptr for any other.
const char* MessageName(int code);

// Trace labels of a status-report entry (":IDLE " ...) and of a multi-ack
// entry (":ACK " ...); undefined values give ":???? ".
const char* StationStatusLabel(std::uint8_t status);
const char* ResultLabel(std::uint8_t result);

// "%02X " per byte, from `offset` to the end of the packet; empty when the
// packet ends before `offset`.
std::string HexText(Bytes packet, std::size_t offset = 0);
void AppendHex(std::string& out, Bytes packet, std::size_t offset = 0);

// Bytes 0x20..0x7E as themselves, every other byte as '.'.
std::string PrintableText(Bytes packet, std::size_t offset = 0);

// The text of a fixed-width field (up to its first NUL, as ReadField takes
// it) for a trace line: control characters (0x00..0x1F, 0x7F) become "\x0a"
// and the like, so a text from the wire can neither start a line of its own
// nor reach a terminal as a command. Every other byte is kept as it is.
void AppendFieldText(std::string& out, Bytes packet, std::size_t offset, std::size_t width);
std::string FieldText(Bytes packet, std::size_t offset, std::size_t width);

} // namespace korvel
