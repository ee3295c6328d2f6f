#pragma once

#include "net/result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Replaces `path` with `text` so that a crash, a power cut or a full disk
// leaves either the old file or the new one, whole: the text goes to a
// sibling "<name>.XXXXXX", every write is checked, the data is synced, read
// back and compared, and only then renamed over the old file. On any failure
// the sibling is removed and the old file stays. A file that already holds
// the text is left alone, and a symbolic link is never written through nor
// replaced. The rename reaches the disk with the next SyncFolder of the
// folder. True when the file was written, false when it already held the
// text; a failure says what failed, for a message that names the file.
Result<bool> ReplaceFile(const std::filesystem::path& path, std::string_view text);

// Makes the renames done in `folder` durable.
Result<void> SyncFolder(const std::filesystem::path& folder);

// Reads `path` whole, or, with `maxLineBreaks`, stops once it has read more
// CR and LF bytes than that; `more` then tells whether anything followed.
// Nothing when the file is missing; a failure when it is there but cannot be
// read. A symbolic link is not followed: it reads as a failure.
Result<std::optional<std::string>> ReadFileNoFollow(
    const std::filesystem::path& path, std::size_t maxLineBreaks = std::string::npos, bool* more = nullptr);

} // namespace korvel
