#include "desktop.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace korvel::bench {

namespace {

// The system list's first row, from the window's top left corner: below the
// menu bar, the group box title and the column headers.
constexpr int kFirstRowX = 60;
constexpr int kFirstRowY = 75;

// Runs a program with its output discarded (or kept in `output`); true when
// it exits with status 0.
bool Run(const std::vector<std::string>& argv, std::string* output = nullptr)
{
    int pipeFds[2] = { -1, -1 };
    if (output && pipe(pipeFds) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        std::FILE* null = std::fopen("/dev/null", "w");
        if (null)
            dup2(fileno(null), STDERR_FILENO);
        if (output) {
            dup2(pipeFds[1], STDOUT_FILENO);
            close(pipeFds[0]);
        } else if (null) {
            dup2(fileno(null), STDOUT_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    if (output) {
        close(pipeFds[1]);
        char buffer[256];
        ssize_t got = 0;
        while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            output->append(buffer, static_cast<std::size_t>(got));
        close(pipeFds[0]);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

StallReport ReadStallReport(const std::filesystem::path& log)
{
    StallReport report;
    std::ifstream in(log);
    std::string line;
    long long ms = 0;
    while (std::getline(in, line)) {
        if (std::sscanf(line.c_str(), "korvel: event loop stalled for %lld ms", &ms) == 1)
            ++report.stalls;
        else if (std::sscanf(line.c_str(), "korvel: longest event-loop stall %lld ms", &ms) == 1)
            report.longestMs = ms;
    }
    return report;
}

bool SelectFirstSystem(int hubPid)
{
    std::string windows;
    // --sync waits for the window to be mapped; the hub says "ready" just after show().
    if (!Run({ "timeout", "10", "xdotool", "search", "--sync", "--onlyvisible", "--pid", std::to_string(hubPid),
                 "--name", "Korvel" },
            &windows))
        return false;
    std::istringstream ids(windows);
    std::string id;
    if (!(ids >> id))
        return false;
    return Run({ "xdotool", "mousemove", "--window", id, std::to_string(kFirstRowX), std::to_string(kFirstRowY),
        "click", "1" });
}

bool Screenshot(const std::string& file)
{
    return Run({ "import", "-window", "root", file });
}

} // namespace korvel::bench
