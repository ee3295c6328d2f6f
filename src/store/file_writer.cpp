#include "file_writer.h"

#include "store/atomic_file.h"

#include <utility>

namespace korvel {

FileWriter::FileWriter(std::filesystem::path path)
    : path_(std::move(path))
    , worker_([this] { run(); })
{
}

FileWriter::~FileWriter()
{
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void FileWriter::write(std::string text)
{
    {
        std::lock_guard guard(mutex_);
        waiting_ = std::move(text);
    }
    wake_.notify_one();
}

void FileWriter::flush()
{
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return !waiting_ && !writing_; });
}

std::optional<std::string> FileWriter::takeError()
{
    std::lock_guard guard(mutex_);
    return std::exchange(error_, std::nullopt);
}

void FileWriter::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return waiting_ || stopping_; });
        if (!waiting_)
            return;
        const std::string text = std::move(*waiting_);
        waiting_.reset();
        writing_ = true;
        lock.unlock();
        const Result<bool> written = ReplaceFile(path_, text);
        lock.lock();
        error_ = written ? std::nullopt : std::optional<std::string>(written.error());
        writing_ = false;
        done_.notify_all();
    }
}

} // namespace korvel
