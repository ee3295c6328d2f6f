#pragma once

#include <QHostAddress>
#include <QPair>

#include <filesystem>
#include <string>
#include <vector>

namespace korvel {

// A line of allow.txt that allows nothing, and why; line 0 is the file as a whole.
struct AllowListProblem {
    int line = 0;
    std::string message;
};

// Addresses allowed to talk to the hub: IPv4 addresses and ranges
// (A.B.C.D/N or A.B.C.D/255.255.0.0), one per line, '#' starting a comment.
// An absent file allows everyone.
class AllowList {
public:
    // Reads the file and returns its problems. A file that is there but cannot
    // be read keeps everyone out: it was meant to restrict.
    std::vector<AllowListProblem> load(const std::filesystem::path& file);
    void clear()
    {
        active_ = false;
        ranges_.clear();
    }

    bool active() const { return active_; }
    // No address or range is listed.
    bool empty() const { return ranges_.empty(); }
    bool allows(const QHostAddress& address) const;
    bool allows(const std::string& dottedAddress) const;

private:
    bool active_ = false;
    std::vector<QPair<QHostAddress, int>> ranges_;
};

} // namespace korvel
