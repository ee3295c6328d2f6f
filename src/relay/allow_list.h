#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel {

// Addresses allowed to talk to the hub: IPv4 addresses and CIDR ranges, one
// per line, '#' starting a comment. An absent file allows everyone.
class AllowList {
public:
    // Reads the file; returns the lines it could not understand (they allow nothing).
    std::vector<std::string> load(const std::filesystem::path& file);
    void clear()
    {
        active_ = false;
        ranges_.clear();
    }

    bool active() const { return active_; }
    bool allows(std::uint32_t address) const;
    bool allows(const std::string& dottedAddress) const;

private:
    struct Range {
        std::uint32_t network;
        std::uint32_t mask;
    };
    bool active_ = false;
    std::vector<Range> ranges_;
};

} // namespace korvel
