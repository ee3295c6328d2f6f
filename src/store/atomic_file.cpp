#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <set>
#include <system_error>

namespace korvel {

namespace {

std::string ErrorText(int error)
{
    return std::system_category().message(error);
}

// Closes the descriptor on every way out unless released.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd_(fd)
    {
    }
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close's own error, which can be the first
    // sign of a failed write on some file systems.
    int close()
    {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

int WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t count = ::write(fd, text.data(), text.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (count == 0)
            return EIO;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// Whether the file behind `fd` holds exactly `text`, read back through the
// descriptor.
bool ReadsBack(int fd, std::string_view text, int& error)
{
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return false;
    }
    if (static_cast<std::size_t>(info.st_size) != text.size())
        return false;
    char buffer[65536];
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t count = ::pread(fd, buffer, std::min(sizeof buffer, text.size() - at), static_cast<off_t>(at));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        if (count == 0
            || text.compare(at, static_cast<std::size_t>(count), buffer, static_cast<std::size_t>(count)) != 0)
            return false;
        at += static_cast<std::size_t>(count);
    }
    return true;
}

std::string SiblingName(const std::filesystem::path& path)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random { std::random_device {}() };
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string name = path.native() + ".";
    for (int i = 0; i < 6; ++i)
        name.push_back(kLetters[pick(random)]);
    return name;
}

} // namespace

Result<std::optional<std::string>> ReadFileNoFollow(
    const std::filesystem::path& path, std::size_t maxLineBreaks, bool* more)
{
    if (more)
        *more = false;
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::optional<std::string>();
        return Fail(errno == ELOOP ? "a symbolic link, which is not followed" : ErrorText(errno));
    }
    std::string content;
    std::size_t breaks = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return Fail(ErrorText(errno));
        }
        if (count == 0)
            break;
        if (breaks > maxLineBreaks) {
            if (more)
                *more = true;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(count));
        if (maxLineBreaks != std::string::npos)
            breaks += static_cast<std::size_t>(
                std::count_if(buffer, buffer + count, [](char c) { return c == '\r' || c == '\n'; }));
    }
    return std::optional<std::string>(std::move(content));
}

namespace {

// The part of a replace before the sync: the checks, and the text written to
// a new sibling, left open in `file`. Nothing when the file already holds it.
Result<std::optional<std::string>> WriteSibling(
    const std::filesystem::path& path, std::string_view text, std::optional<Descriptor>& file)
{
    struct stat old { };
    const bool exists = ::lstat(path.c_str(), &old) == 0;
    if (exists && S_ISLNK(old.st_mode))
        return Fail("a symbolic link, which is not written through");
    // Most station files do not change between saves, and each replace
    // waits for the disk.
    if (exists && S_ISREG(old.st_mode) && static_cast<std::size_t>(old.st_size) == text.size()) {
        const auto current = ReadFileNoFollow(path);
        if (current && *current && **current == text)
            return std::optional<std::string>();
    }

    std::string sibling;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        sibling = SiblingName(path);
        fd = ::open(sibling.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return Fail("cannot create a file beside it: " + ErrorText(errno));
    file.emplace(fd);
    const auto fail = [&](std::string reason) {
        file.reset();
        ::unlink(sibling.c_str());
        return Fail(std::move(reason));
    };
    // The new file keeps the old one's permissions.
    if (exists && S_ISREG(old.st_mode) && ::fchmod(fd, old.st_mode & 07777) != 0)
        return fail("setting its permissions: " + ErrorText(errno));
    if (const int error = WriteAll(fd, text))
        return fail("writing: " + ErrorText(error));
    return std::optional<std::string>(std::move(sibling));
}

// The part after the sync: the text read back through `file` and compared,
// then the sibling renamed over `path`. The sibling goes on any failure.
Result<void> RenameSibling(
    const std::filesystem::path& path, std::string_view text, const std::string& sibling, Descriptor& file)
{
    const auto fail = [&](std::string reason) {
        file.close();
        ::unlink(sibling.c_str());
        return Fail(std::move(reason));
    };
    int readError = 0;
    if (!ReadsBack(file.get(), text, readError))
        return fail(readError ? "reading back: " + ErrorText(readError) : "what was written reads back different");
    if (const int error = file.close()) {
        ::unlink(sibling.c_str());
        return Fail("closing: " + ErrorText(error));
    }
    if (::rename(sibling.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(sibling.c_str());
        return Fail("renaming: " + ErrorText(error));
    }
    return {};
}

} // namespace

Result<bool> ReplaceFile(const std::filesystem::path& path, std::string_view text)
{
    std::optional<Descriptor> file;
    const auto sibling = WriteSibling(path, text, file);
    if (!sibling)
        return Fail(sibling.error());
    if (!*sibling)
        return false;
    if (::fdatasync(file->get()) != 0) {
        const int error = errno;
        file.reset();
        ::unlink((*sibling)->c_str());
        return Fail("syncing: " + ErrorText(error));
    }
    if (const auto renamed = RenameSibling(path, text, **sibling, *file); !renamed)
        return Fail(renamed.error());
    return true;
}

struct FileBatch::Staged {
    std::filesystem::path path;
    std::string text;
    std::string sibling;
};

FileBatch::FileBatch(Failed failed, std::size_t size)
    : failed_(std::move(failed))
    , size_(std::max<std::size_t>(size, 1))
{
}

FileBatch::~FileBatch()
{
    // A batch dropped unfinished leaves its old files and no siblings.
    for (const Staged& staged : staged_)
        ::unlink(staged.sibling.c_str());
}

void FileBatch::replace(const std::filesystem::path& path, std::string text)
{
    // A file named twice is replaced in the order asked: the first text goes
    // in before the second is compared with what the file holds.
    if (stagedPaths_.contains(path.native()))
        commit();
    std::optional<Descriptor> file;
    const auto sibling = WriteSibling(path, text, file);
    if (!sibling) {
        failed_(path, sibling.error());
        return;
    }
    if (!*sibling)
        return;
    // Closed until it is read back: a batch holds no descriptors.
    if (const int error = file->close()) {
        ::unlink((*sibling)->c_str());
        failed_(path, "closing: " + ErrorText(error));
        return;
    }
    stagedPaths_.insert(path.native());
    staged_.push_back(Staged { path, std::move(text), std::move(**sibling) });
    if (staged_.size() >= size_)
        commit();
}

void FileBatch::finish()
{
    commit();
}

void FileBatch::commit()
{
    if (staged_.empty())
        return;
    // One sync of each file system the batch wrote to makes all its new
    // files durable at once, where a sync per file waits for the disk each
    // time (seconds for a few thousand files).
    std::set<std::filesystem::path> folders;
    for (const Staged& staged : staged_)
        folders.insert(staged.path.parent_path().empty() ? "." : staged.path.parent_path());
    std::string syncError;
    for (const std::filesystem::path& folder : folders) {
        const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0 || ::syncfs(fd.get()) != 0) {
            syncError = "syncing: " + ErrorText(errno);
            break;
        }
    }
    std::vector<Staged> staged;
    staged.swap(staged_);
    stagedPaths_.clear();
    for (const Staged& each : staged) {
        if (!syncError.empty()) {
            ::unlink(each.sibling.c_str());
            failed_(each.path, syncError);
            continue;
        }
        Descriptor file(::open(each.sibling.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (file.get() < 0) {
            const int error = errno;
            ::unlink(each.sibling.c_str());
            failed_(each.path, "reading back: " + ErrorText(error));
            continue;
        }
        if (const auto renamed = RenameSibling(each.path, each.text, each.sibling, file); !renamed)
            failed_(each.path, renamed.error());
    }
}

Result<void> SyncFolder(const std::filesystem::path& folder)
{
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        return Fail(ErrorText(errno));
    return {};
}

} // namespace korvel
