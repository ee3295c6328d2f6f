#include "data_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace korvel {

Result<DataFolderLock> DataFolderLock::take(const std::filesystem::path& folder)
{
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::filesystem::path path = folder / kFileName;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return Fail("cannot open " + path.string() + ": " + std::strerror(errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return Fail("cannot lock " + path.string() + ": " + std::strerror(errno));
        char pid[32] = {};
        const ssize_t length = ::pread(fd.get(), pid, sizeof pid - 1, 0);
        std::string holder = length > 0 ? std::string(pid, static_cast<std::size_t>(length)) : std::string();
        holder.erase(holder.find_last_not_of(" \n") + 1);
        return Fail("another hub" + (holder.empty() ? std::string() : " (process " + holder + ")")
                + " is running on the data folder " + folder.string(),
            Failure::Kind::Conflict);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0
        || ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
        return Fail("cannot write " + path.string() + ": " + std::strerror(errno));
    return DataFolderLock(std::move(fd));
}

} // namespace korvel
