#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace korvel {

// The socket address of dotted-quad text and a port, without any look-up.
std::optional<sockaddr_in> NumericIPv4(const std::string& host, int port);

// Dotted-quad text as it stands, anything else through the system's name
// look-up, which can block for seconds: keep it off threads that must not wait.
std::optional<sockaddr_in> ResolveIPv4(const std::string& host, int port);

} // namespace korvel
