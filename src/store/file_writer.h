#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace korvel {

// Replaces one file, crash-safe as ReplaceFile does, on a thread of its own,
// so that writing and syncing a large file never holds the event loop. Text
// handed over while a write runs waits; newer text replaces text that waits.
class FileWriter {
public:
    explicit FileWriter(std::filesystem::path path);
    // Writes what waits, then ends.
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    void write(std::string text);
    // Returns once everything handed over is written (or has failed).
    void flush();
    // Why the latest write failed, once; nothing when it succeeded.
    std::optional<std::string> takeError();

private:
    void run();

    const std::filesystem::path path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::optional<std::string> waiting_;
    std::optional<std::string> error_;
    bool writing_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace korvel
