#include "wire_format.h"

#include <algorithm>
#include <cstring>

namespace korvel {

bool HasSequenceNumber(int code)
{
    return code >= kFirstMessageCode && code <= kLastMessageCode && code != MSG_STATUSREPORT && code != MSG_MULTACK
        && code != MSG_UNREG_MULTACK;
}

std::string ReadField(Bytes packet, std::size_t offset, std::size_t width)
{
    if (offset >= packet.size())
        return {};
    const std::size_t available = std::min(width, packet.size() - offset);
    const auto* begin = reinterpret_cast<const char*>(packet.data() + offset);
    const void* nul = std::memchr(begin, 0, available);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : available;
    return std::string(begin, length);
}

void WriteField(MutableBytes buffer, std::size_t offset, std::size_t width, std::string_view text)
{
    const std::size_t length = std::min(text.size(), width);
    // An empty view may have no data at all, which memcpy must never see.
    if (length > 0)
        std::memcpy(buffer.data() + offset, text.data(), length);
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(offset + length),
        buffer.begin() + static_cast<std::ptrdiff_t>(offset + width), std::uint8_t { 0 });
}

} // namespace korvel
