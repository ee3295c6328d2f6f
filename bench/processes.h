#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel::bench {

// A program under test, started in its own folder with its output in a log
// file there, and considered up once that log shows a line with "ready".
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& folder,
        std::int64_t readyTimeoutNs = 20'000'000'000);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    // When it was started (CLOCK_MONOTONIC).
    std::int64_t startedNs() const { return startedNs_; }
    const std::filesystem::path& log() const { return log_; }
    // SIGTERM and wait; returns the exit status as the shell shows it.
    int stop();

private:
    void waitReady(std::int64_t timeoutNs);

    int pid_ = -1;
    std::int64_t startedNs_ = 0;
    std::filesystem::path log_;
    std::string name_;
};

struct HubSystem {
    std::string address;
    int port = 0;
    std::string name;
    std::vector<std::string> stations;
    // Or this many stations numbered from `firstStation` (for big tables).
    int stationCount = 0;
    int firstStation = 0;
};

// A fresh working folder for the hub: data/system.dat with the base port and
// the systems, in that order, and a station file for each system that has any.
void WriteHubFolder(const std::filesystem::path& folder, int basePort, const std::vector<HubSystem>& systems);

} // namespace korvel::bench
