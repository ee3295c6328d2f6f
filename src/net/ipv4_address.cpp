#include "ipv4_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
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

Result<in_addr> ParseIPv4(std::string_view text)
{
    // inet_pton takes exactly the plain dotted quad; the scan below only
    // finds the words for the most likely mistake. It runs per forward, so
    // the text is copied to the stack, not the heap.
    char copy[INET_ADDRSTRLEN] {};
    in_addr address {};
    if (text.size() < sizeof copy && text.find('\0') == std::string_view::npos) {
        text.copy(copy, text.size());
        if (inet_pton(AF_INET, copy, &address) == 1)
            return address;
    }
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, end - start);
        if (part.size() > 1 && part.size() <= 3 && part.front() == '0'
            && part.find_first_not_of("0123456789") == std::string_view::npos)
            return Fail("the leading zero of " + std::string(part) + " reads as octal to some tools: write "
                    + std::to_string(std::stoi(std::string(part))),
                Failure::Kind::Invalid);
        start = end + 1;
    }
    return Fail("want four numbers of 0 to 255 joined by dots, such as 192.0.2.10", Failure::Kind::Invalid);
}

std::optional<sockaddr_in> NumericIPv4(const std::string& host, int port)
{
    const auto parsed = ParseIPv4(host);
    if (!parsed)
        return std::nullopt;
    sockaddr_in address = WithPort(port);
    address.sin_addr = *parsed;
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

// Runs for every datagram, so it skips the formatted output that inet_ntop
// goes through; the text is the same.
std::string DottedText(std::uint32_t hostOrder)
{
    char text[INET_ADDRSTRLEN];
    char* at = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned part = (hostOrder >> shift) & 0xFF;
        if (part >= 100)
            *at++ = static_cast<char>('0' + part / 100);
        if (part >= 10)
            *at++ = static_cast<char>('0' + part / 10 % 10);
        *at++ = static_cast<char>('0' + part % 10);
        if (shift > 0)
            *at++ = '.';
    }
    return std::string(text, at);
}

} // namespace korvel
