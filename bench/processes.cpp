#include "processes.h"

#include "bench_net.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace korvel::bench {

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

ChildProcess::ChildProcess(
    const std::vector<std::string>& argv, const std::filesystem::path& folder, std::int64_t readyTimeoutNs)
    : log_(folder / "output.log")
    , name_(std::filesystem::path(argv.at(0)).filename().string())
{
    const std::filesystem::path& log = log_;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // Emptied here, not only in the child: an earlier run's "ready" must not
    // be read before the child has opened it.
    std::filesystem::remove(log);
    std::fflush(stdout);
    startedNs_ = MonotonicNs();
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        Die(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        // A relay never outlives the benchmark either, however that ends (a
        // hub left behind would hold the base port for the next run).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0)
            _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    waitReady(readyTimeoutNs);
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0)
        stop();
}

void ChildProcess::waitReady(std::int64_t timeoutNs)
{
    const std::filesystem::path& log = log_;
    const std::int64_t deadline = MonotonicNs() + timeoutNs;
    while (MonotonicNs() < deadline) {
        if (ReadFile(log).find("ready") != std::string::npos)
            return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            Die(name_ + " exited before it was ready:\n" + ReadFile(log));
        }
        SleepNs(5'000'000);
    }
    Die(name_ + " did not report ready:\n" + ReadFile(log));
}

int ChildProcess::stop()
{
    if (pid_ <= 0)
        return 0;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    pid_ = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void WriteHubFolder(const std::filesystem::path& folder, int basePort, const std::vector<HubSystem>& systems)
{
    std::filesystem::remove_all(folder);
    const std::filesystem::path data = folder / "data";
    std::filesystem::create_directories(data);
    std::ofstream table(data / "system.dat", std::ios::binary);
    table << "Version : 5\r\n"
          << "Base Port : " << basePort << "\r\n";
    for (const HubSystem& system : systems) {
        // Address, forwarding address, port, type QVX, endpoint type, name.
        table << system.address << '\t' << system.address << '\t' << system.port << "\t0\t2\t" << system.name << "\r\n";
        if (!system.stations.empty() || system.stationCount > 0) {
            std::string text;
            for (const std::string& station : system.stations)
                text += station + "\r\n";
            for (int i = 0; i < system.stationCount; ++i)
                text += std::to_string(system.firstStation + i) + "\r\n";
            std::ofstream stations(data / (system.address + ".dat"), std::ios::binary);
            stations << text;
        }
    }
    if (!table)
        Die("cannot write " + (data / "system.dat").string());
}

} // namespace korvel::bench
