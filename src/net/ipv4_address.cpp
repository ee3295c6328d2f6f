#include "ipv4_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>

namespace korvel {

namespace {

sockaddr_in WithPort(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    return address;
}

} // namespace

std::optional<sockaddr_in> NumericIPv4(const std::string& host, int port)
{
    sockaddr_in address = WithPort(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return std::nullopt;
    return address;
}

std::optional<sockaddr_in> ResolveIPv4(const std::string& host, int port)
{
    if (auto numeric = NumericIPv4(host, port))
        return numeric;
    if (host.empty())
        return std::nullopt;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
        return std::nullopt;
    sockaddr_in address = WithPort(port);
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return address;
}

} // namespace korvel
