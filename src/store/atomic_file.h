#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// How replacing one file went. `error` is empty on success and otherwise says
// what failed, for a message that names the file.
struct ReplaceResult {
    bool written = false; // false also when the file already held the text
    std::string error;
    bool ok() const { return error.empty(); }
};

// Replaces `path` with `text` so that a crash, a power cut or a full disk
// leaves either the old file or the new one, whole: the text goes to a
// sibling "<name>.XXXXXX", every write is checked, the data is synced, read
// back and compared, and only then renamed over the old file. On any failure
// the sibling is removed and the old file stays. A file that already holds
// the text is left alone, and a symbolic link is never written through nor
// replaced. The rename reaches the disk with the next SyncFolder of the
// folder.
ReplaceResult ReplaceFile(const std::filesystem::path& path, std::string_view text);

// Makes the renames done in `folder` durable; false (with errno set) on failure.
bool SyncFolder(const std::filesystem::path& folder);

// The outcome of reading a file that may be missing. A symbolic link is not
// followed: it reads as an error.
struct ReadResult {
    bool missing = false;
    std::optional<std::string> content; // set when the file was read whole
    std::string error; // set when it exists but could not be read
};

// Reads `path` whole, or, with `maxLineBreaks`, stops once it has read more
// CR and LF bytes than that; `more` then tells whether anything followed.
ReadResult ReadFileNoFollow(
    const std::filesystem::path& path, std::size_t maxLineBreaks = std::string::npos, bool* more = nullptr);

} // namespace korvel
