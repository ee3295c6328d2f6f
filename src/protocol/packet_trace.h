#pragma once

#include "wire_format.h"

#include <string>
#include <vector>

namespace korvel {

// The console trace of one received packet, line by line, exactly as the hub
// logs it. Depends on nothing but the bytes, so clients can print answers the
// way the hub would.
std::vector<std::string> TracePacket(Bytes packet);

} // namespace korvel
