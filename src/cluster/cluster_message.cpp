#include "cluster_message.h"

namespace korvel {

namespace {

bool TakeShort(std::string_view& bytes, std::string& out)
{
    if (bytes.empty())
        return false;
    const auto length = static_cast<unsigned char>(bytes.front());
    if (bytes.size() < 1u + length)
        return false;
    out.assign(bytes.substr(1, length));
    bytes.remove_prefix(1u + length);
    return true;
}

} // namespace

std::string EncodeClusterMessage(
    ClusterEvent kind, std::string_view node, std::string_view system, Bytes packet, RelayStep step)
{
    // Node names and addresses are short; a longer one is cut, not misread.
    node = node.substr(0, 255);
    system = system.substr(0, 255);
    std::string out;
    out.reserve(4 + node.size() + system.size() + packet.size());
    out += static_cast<char>(kind);
    out += static_cast<char>(node.size());
    out += node;
    out += static_cast<char>(system.size());
    out += system;
    if (kind == ClusterEvent::Report)
        out += static_cast<char>(step);
    out.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    return out;
}

std::optional<ClusterMessage> DecodeClusterMessage(std::string_view bytes)
{
    if (bytes.empty())
        return std::nullopt;
    ClusterMessage message;
    const char kind = bytes.front();
    if (std::string_view("RCTXZ").find(kind) == std::string_view::npos)
        return std::nullopt;
    message.kind = static_cast<ClusterEvent>(kind);
    bytes.remove_prefix(1);
    if (!TakeShort(bytes, message.node) || !TakeShort(bytes, message.system) || message.node.empty()
        || message.system.empty() != (message.kind == ClusterEvent::Cleared))
        return std::nullopt;
    if (message.kind == ClusterEvent::Report) {
        if (bytes.empty() || std::string_view("UVT").find(bytes.front()) == std::string_view::npos)
            return std::nullopt;
        message.step = static_cast<RelayStep>(bytes.front());
        bytes.remove_prefix(1);
    }
    message.packet = bytes;
    return message;
}

} // namespace korvel
