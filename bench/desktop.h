#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace korvel::bench {

// What `korvel --report-stalls` said in its log: the stalls over 100 ms it
// reported one by one, and the longest lag it saw (-1 if it never said).
struct StallReport {
    int stalls = 0;
    std::int64_t longestMs = -1;
};
StallReport ReadStallReport(const std::filesystem::path& log);

// Selects the first row of the hub window's system list with a click, so that
// the station list shows that system's stations as they change. False when
// the window or xdotool cannot be found.
bool SelectFirstSystem(int hubPid);

// Saves the whole X screen to `file` with ImageMagick's `import`.
bool Screenshot(const std::string& file);

} // namespace korvel::bench
