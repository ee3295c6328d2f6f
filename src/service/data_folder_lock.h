#pragma once

#include "base/result.h"
#include "net/unique_fd.h"

#include <filesystem>

namespace korvel {

// One hub per data folder: an exclusive flock on the folder's lock file,
// held for the life of the process and released by the kernel however it
// ends, so a crash never leaves a stale lock. The file holds the holder's
// process id, for the message a second hub gives.
class DataFolderLock {
public:
    static constexpr char kFileName[] = "korvel.lock";

    // Creates the folder when it is missing. Fails, naming the process that
    // holds it, when another hub has the folder.
    static Result<DataFolderLock> take(const std::filesystem::path& folder);

private:
    explicit DataFolderLock(UniqueFd fd)
        : fd_(std::move(fd))
    {
    }

    UniqueFd fd_;
};

} // namespace korvel
