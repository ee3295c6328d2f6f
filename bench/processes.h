#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace korvel::bench {

// A program under test, started in its own folder with its output in a log
// file there, and considered up once that log shows a line with "ready".
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& folder);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    // SIGTERM and wait; returns the exit status as the shell shows it.
    int stop();

private:
    void waitReady(const std::filesystem::path& log);

    int pid_ = -1;
    std::string name_;
};

struct HubSystem {
    std::string address;
    int port = 0;
    std::string name;
    std::vector<std::string> stations;
};

// A fresh working folder for the hub: data/system.dat with the base port and
// the systems, in that order, and a station file for each system that has any.
void WriteHubFolder(const std::filesystem::path& folder, int basePort, const std::vector<HubSystem>& systems);

} // namespace korvel::bench
