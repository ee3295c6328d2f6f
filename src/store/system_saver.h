#pragma once

#include "store/system_files.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace korvel {

class SystemTable;

// Saves the table on a thread of its own. The caller's thread only takes a
// snapshot (the system.dat text and a reference to each station list), so a
// save of thousands of systems never holds the event loop; the worker writes
// and syncs the files exactly as a save on the caller's thread would.
//
// Thread rule: every member function is for the thread that owns the table;
// the worker touches only the snapshot, the backup and the report, under
// mutex_.
class SystemSaver {
public:
    // `finished` runs on the worker when a save has ended; it should post to
    // the owner's thread, which then calls collect().
    SystemSaver(SystemTable& table, std::function<void()> finished = {});
    // Waits for a save still running.
    ~SystemSaver();
    SystemSaver(const SystemSaver&) = delete;
    SystemSaver& operator=(const SystemSaver&) = delete;

    // system.dat as loaded, copied to system.dat.bak before the first save
    // that changes system.dat. Set before the first save.
    void keepBackupOf(std::optional<std::string> loadedText);

    // Takes the snapshot and hands it to the worker. False, starting nothing,
    // while the previous save has not been collected: a save is never
    // started twice.
    bool start(std::int32_t basePort);
    // Started and not yet collected.
    bool busy() const { return busy_; }
    // The report of the save that has ended, once; nothing while one runs or
    // when there is none to collect.
    std::optional<SaveReport> collect();
    // Blocks until the save in progress ends, then collects it.
    std::optional<SaveReport> wait();

private:
    void run();

    SystemTable& table_;
    std::function<void()> finished_;
    bool busy_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::optional<SaveSnapshot> pending_;
    std::optional<SaveReport> report_;
    // Saves handed over, and saves ended with `finished` returned.
    std::uint64_t started_ = 0;
    std::uint64_t ended_ = 0;
    SystemFileBackup backup_;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace korvel
