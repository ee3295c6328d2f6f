#include "system_saver.h"

#include "system_table.h"

#include <pthread.h>

#include <utility>

namespace korvel {

SystemSaver::SystemSaver(SystemTable& table, std::function<void()> finished)
    : table_(table)
    , finished_(std::move(finished))
    , worker_([this] { run(); })
{
}

SystemSaver::~SystemSaver()
{
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SystemSaver::keepBackupOf(std::optional<std::string> loadedText)
{
    std::lock_guard guard(mutex_);
    backup_ = SystemFileBackup { std::move(loadedText), false };
}

bool SystemSaver::start(std::int32_t basePort)
{
    if (busy_)
        return false;
    SaveSnapshot snapshot = TakeSnapshot(table_, basePort);
    {
        std::lock_guard guard(mutex_);
        pending_ = std::move(snapshot);
        ++started_;
    }
    busy_ = true;
    wake_.notify_one();
    return true;
}

std::optional<SaveReport> SystemSaver::collect()
{
    std::optional<SaveReport> report;
    {
        std::lock_guard guard(mutex_);
        if (!report_)
            return std::nullopt;
        report = std::exchange(report_, std::nullopt);
    }
    busy_ = false;
    return report;
}

std::optional<SaveReport> SystemSaver::wait()
{
    if (!busy_)
        return std::nullopt;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return ended_ == started_; });
    }
    return collect();
}

void SystemSaver::run()
{
    pthread_setname_np(pthread_self(), "korvel-save");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || pending_; });
        // A save that has started is finished even when stopping: the
        // owner waits for it on the way out.
        if (!pending_)
            return;
        SaveSnapshot snapshot = std::move(*pending_);
        pending_.reset();
        lock.unlock();
        SaveReport report = WriteSnapshot(snapshot, &backup_);
        // The lists go back before anyone hears the save has ended.
        snapshot = SaveSnapshot {};
        lock.lock();
        report_ = std::move(report);
        if (finished_) {
            lock.unlock();
            finished_();
            lock.lock();
        }
        // Last, so that whoever waits finds the owner already told.
        ++ended_;
        done_.notify_all();
    }
}

} // namespace korvel
