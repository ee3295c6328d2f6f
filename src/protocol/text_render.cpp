#include "text_render.h"

#include <algorithm>
#include <array>

namespace korvel {

namespace {

constexpr std::array<const char*, kLastMessageCode + 1> kMessageNames = {
    nullptr,
    "MSG_ACK",
    "MSG_NAK",
    "MSG_REGISTER",
    "MSG_UNREGISTER",
    "MSG_CLEAR",
    "MSG_GETDATA",
    "MSG_GETRESPONSE",
    "MSG_STATUSREPORT",
    "MSG_SYSTEM_REGISTER",
    "MSG_SYSTEM_UNREGISTER",
    "MSG_REQ_GETDATA",
    "MSG_REGISTERv2",
    "MSG_GETDATAv2",
    "MSG_MULTACK",
    "MSG_DATA_MISMATCH",
    "MSG_UNREG_MULTACK",
};

constexpr const char* kUndefinedLabel = ":???? ";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kLowerHexDigits[] = "0123456789abcdef";

bool IsControl(std::uint8_t byte)
{
    return byte < 0x20 || byte == 0x7F;
}

} // namespace

const char* MessageName(int code)
{
    if (code < kFirstMessageCode || code > kLastMessageCode)
        return nullptr;
    return kMessageNames[static_cast<std::size_t>(code)];
}

const char* StationStatusLabel(std::uint8_t status)
{
    switch (status) {
    case STATUS_IDLE:
        return ":IDLE ";
    case STATUS_BUSY:
        return ":BUSY ";
    case STATUS_DND:
        return ":DND  ";
    case STATUS_MSG:
        return ":MSG  ";
    case STATUS_OOS:
        return ":OOS  ";
    default:
        return kUndefinedLabel;
    }
}

const char* ResultLabel(std::uint8_t result)
{
    switch (result) {
    case RESULT_ACK:
        return ":ACK ";
    case RESULT_NAK:
        return ":NAK ";
    default:
        return kUndefinedLabel;
    }
}

void AppendHex(std::string& out, Bytes packet, std::size_t offset)
{
    if (offset >= packet.size())
        return;
    out.reserve(out.size() + 3 * (packet.size() - offset));
    for (std::size_t i = offset; i < packet.size(); ++i) {
        out.push_back(kHexDigits[packet[i] >> 4]);
        out.push_back(kHexDigits[packet[i] & 0x0F]);
        out.push_back(' ');
    }
}

std::string HexText(Bytes packet, std::size_t offset)
{
    std::string out;
    AppendHex(out, packet, offset);
    return out;
}

std::string PrintableText(Bytes packet, std::size_t offset)
{
    std::string out;
    if (offset >= packet.size())
        return out;
    out.reserve(packet.size() - offset);
    for (std::size_t i = offset; i < packet.size(); ++i)
        out.push_back(packet[i] >= 0x20 && packet[i] <= 0x7E ? static_cast<char>(packet[i]) : '.');
    return out;
}

void AppendFieldText(std::string& out, Bytes packet, std::size_t offset, std::size_t width)
{
    if (offset >= packet.size())
        return;
    const Bytes field = packet.subspan(offset, std::min(width, packet.size() - offset));
    const auto end = std::find(field.begin(), field.end(), std::uint8_t { 0 });
    // Texts from real systems hold no control characters: copy them in one go.
    if (std::none_of(field.begin(), end, IsControl)) {
        out.append(reinterpret_cast<const char*>(field.data()), static_cast<std::size_t>(end - field.begin()));
        return;
    }
    for (auto it = field.begin(); it != end; ++it) {
        if (IsControl(*it)) {
            const char escape[] = { '\\', 'x', kLowerHexDigits[*it >> 4], kLowerHexDigits[*it & 0x0F] };
            out.append(escape, sizeof escape);
        } else {
            out.push_back(static_cast<char>(*it));
        }
    }
}

std::string FieldText(Bytes packet, std::size_t offset, std::size_t width)
{
    std::string out;
    AppendFieldText(out, packet, offset, width);
    return out;
}

} // namespace korvel
