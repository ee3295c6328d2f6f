#include "allow_list.h"

#include <arpa/inet.h>

#include <fstream>

namespace korvel {

namespace {

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool ParseAddress(const std::string& text, std::uint32_t& address)
{
    in_addr raw {};
    if (inet_pton(AF_INET, text.c_str(), &raw) != 1)
        return false;
    address = ntohl(raw.s_addr);
    return true;
}

} // namespace

std::vector<std::string> AllowList::load(const std::filesystem::path& file)
{
    clear();
    std::ifstream in(file);
    if (!in)
        return {};
    active_ = true;
    std::vector<std::string> rejected;
    std::string line;
    while (std::getline(in, line)) {
        const std::string entry = Trim(line.substr(0, line.find('#')));
        if (entry.empty())
            continue;
        const auto slash = entry.find('/');
        std::uint32_t address = 0;
        int prefix = 32;
        bool ok = ParseAddress(entry.substr(0, slash), address);
        if (ok && slash != std::string::npos) {
            const std::string bits = entry.substr(slash + 1);
            ok = !bits.empty() && bits.size() <= 2 && bits.find_first_not_of("0123456789") == std::string::npos;
            if (ok) {
                prefix = std::stoi(bits);
                ok = prefix <= 32;
            }
        }
        if (!ok) {
            rejected.push_back(line);
            continue;
        }
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t { 0 } << (32 - prefix);
        ranges_.push_back(Range { address & mask, mask });
    }
    return rejected;
}

bool AllowList::allows(std::uint32_t address) const
{
    if (!active_)
        return true;
    for (const Range& range : ranges_) {
        if ((address & range.mask) == range.network)
            return true;
    }
    return false;
}

bool AllowList::allows(const std::string& dottedAddress) const
{
    std::uint32_t address = 0;
    return !active_ || (ParseAddress(dottedAddress, address) && allows(address));
}

} // namespace korvel
