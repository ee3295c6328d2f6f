#pragma once

#include <netinet/in.h>

#include "base/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Four decimal numbers of 0 to 255 joined by dots, nothing else: no short or
// hexadecimal forms, and no leading zero ("010" is 8 to some tools and 10 to
// others). The failure says what is wrong, without repeating the text.
Result<in_addr> ParseIPv4(std::string_view text);

// The socket address of text ParseIPv4 takes and a port, without any look-up.
std::optional<sockaddr_in> NumericIPv4(const std::string& host, int port);

// Dotted-quad text as it stands, anything else through the system's name
// look-up, which can block for seconds: keep it off threads that must not wait.
std::optional<sockaddr_in> ResolveIPv4(const std::string& host, int port);

// Dotted-quad text of an address in host order, as inet_ntop writes it.
std::string DottedText(std::uint32_t hostOrder);

} // namespace korvel
