#pragma once

#include "protocol/wire_format.h"
#include "relay/replies.h"
#include "store/system_table.h"

#include <string>

namespace korvel {

// Traces one received packet (when the console log is on) and applies it to
// the table. The only packet it sends itself is the data-mismatch notice.
// Reads nothing outside `packet`, whatever its size.
void DecodePacket(SystemTable& table, Replies& replies, const std::string& source, Bytes packet);

} // namespace korvel
