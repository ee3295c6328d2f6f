#pragma once

#include "base/result.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

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

// Replaces many files as ReplaceFile does each, with one sync for a batch of
// them instead of one per file: each new text is written beside its file,
// and once `size` are waiting (or at finish) the file system is synced once
// and every one is read back, compared and renamed over its file. A file that
// fails is told to `failed` with the reason and keeps its old version; the
// others go on. Files dropped unfinished keep their old versions.
class FileBatch {
public:
    using Failed = std::function<void(const std::filesystem::path& path, const std::string& reason)>;

    explicit FileBatch(Failed failed, std::size_t size = 512);
    ~FileBatch();
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    void replace(const std::filesystem::path& path, std::string text);
    // Syncs and renames what is still waiting.
    void finish();

private:
    struct Staged;
    void commit();

    Failed failed_;
    std::size_t size_;
    std::vector<Staged> staged_;
    std::unordered_set<std::string> stagedPaths_;
};

// Makes the renames done in `folder` durable.
Result<void> SyncFolder(const std::filesystem::path& folder);

// Reads `path` whole, or, with `maxLineBreaks`, stops once it has read more
// CR and LF bytes than that; `more` then tells whether anything followed.
// Nothing when the file is missing; a failure when it is there but cannot be
// read. A symbolic link is not followed: it reads as a failure.
Result<std::optional<std::string>> ReadFileNoFollow(
    const std::filesystem::path& path, std::size_t maxLineBreaks = std::string::npos, bool* more = nullptr);

} // namespace korvel
