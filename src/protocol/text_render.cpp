#include "text_render.h"

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
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (offset >= packet.size())
        return;
    out.reserve(out.size() + 3 * (packet.size() - offset));
    for (std::size_t i = offset; i < packet.size(); ++i) {
        out.push_back(kDigits[packet[i] >> 4]);
        out.push_back(kDigits[packet[i] & 0x0F]);
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

} // namespace korvel
