#include "bench_net.h"

#include <sched.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace korvel::bench {

namespace {

constexpr int kSocketBufferBytes = 4 << 20;

std::int64_t ClockNs(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void GrowBuffer(int fd, int option, int forcedOption)
{
    const int size = kSocketBufferBytes;
    // Forcing goes past net.core.rmem_max when we may; the plain option is the fallback.
    if (setsockopt(fd, SOL_SOCKET, forcedOption, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
}

} // namespace

void Die(const std::string& what)
{
    std::fprintf(stderr, "korvel_bench: %s\n", what.c_str());
    std::exit(1);
}

sockaddr_in Ipv4(const std::string& address, int port)
{
    sockaddr_in result {};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1)
        Die("bad IPv4 address " + address);
    return result;
}

std::string AddressText(std::uint32_t hostOrder)
{
    const in_addr raw { htonl(hostOrder) };
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return text;
}

int TryBindUdp(const std::string& address, int port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    GrowBuffer(fd, SO_RCVBUF, SO_RCVBUFFORCE);
    GrowBuffer(fd, SO_SNDBUF, SO_SNDBUFFORCE);
    const sockaddr_in local = Ipv4(address, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int BindUdp(const std::string& address, int port)
{
    const int fd = TryBindUdp(address, port);
    if (fd < 0)
        Die("cannot bind UDP " + address + ":" + std::to_string(port) + ": " + std::strerror(errno));
    return fd;
}

std::int64_t MonotonicNs()
{
    return ClockNs(CLOCK_MONOTONIC);
}
std::int64_t RealtimeNs()
{
    return ClockNs(CLOCK_REALTIME);
}

void SleepNs(std::int64_t ns)
{
    timespec span { static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000) };
    while (nanosleep(&span, &span) != 0 && errno == EINTR) { }
}

void SleepUntilMonotonic(std::int64_t deadlineNs)
{
    const timespec at { static_cast<time_t>(deadlineNs / 1'000'000'000),
        static_cast<long>(deadlineNs % 1'000'000'000) };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) { }
}

namespace {

struct ProcSocket {
    std::uint32_t address = 0;
    int port = 0;
    std::uint64_t queued = 0;
    std::uint64_t drops = 0;
};

template <typename Visit> void ForEachProcSocket(const char* file, Visit visit)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode, refs, pointer;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode >> refs
            >> pointer;
        ProcSocket socket;
        const auto colon = local.find(':');
        if (colon == std::string::npos)
            continue;
        socket.address = static_cast<std::uint32_t>(std::stoul(local.substr(0, colon), nullptr, 16));
        socket.port = std::stoi(local.substr(colon + 1), nullptr, 16);
        const auto queueColon = queues.find(':');
        if (queueColon != std::string::npos)
            socket.queued = std::stoull(queues.substr(queueColon + 1), nullptr, 16);
        std::string drops;
        if (fields >> drops)
            socket.drops = std::stoull(drops);
        visit(socket);
    }
}

} // namespace

bool UdpSocketStats(int port, std::uint64_t& queuedBytes, std::uint64_t& drops)
{
    bool found = false;
    ForEachProcSocket("/proc/net/udp", [&](const ProcSocket& socket) {
        if (!found && socket.address == 0 && socket.port == port) {
            queuedBytes = socket.queued;
            drops = socket.drops;
            found = true;
        }
    });
    return found;
}

CpuSplit SplitCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CpuSplit split;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return split;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            split.harness.push_back(cpu);
    if (split.harness.size() < 2)
        return {};
    split.relay.push_back(split.harness.back());
    split.harness.pop_back();
    return split;
}

bool PlaceProcess(int pid, const std::vector<int>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int cpu : cpus)
        CPU_SET(cpu, &set);
    bool placed = true;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
        placed = sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set) == 0 && placed;
    return placed && !error;
}

double ProcessCpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it do not.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        else if (i == 15)
            system = std::stoull(field);
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

double ProcessWaitSeconds(int pid)
{
    double waited = 0;
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long running = 0, waiting = 0;
        if (in >> running >> waiting)
            waited += double(waiting) / 1e9;
    }
    return waited;
}

std::uint64_t ProcessRssBytes(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long kilobytes = 0;
        if (std::sscanf(line.c_str(), "VmRSS: %llu kB", &kilobytes) == 1)
            return kilobytes * 1024;
    }
    return 0;
}

std::uint64_t ListenOverflows()
{
    // Two lines per group: the field names, then their values.
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        std::istringstream nameFields(names), valueFields(values);
        std::string name, value;
        while (nameFields >> name && valueFields >> value) {
            if (name == "ListenOverflows")
                return std::stoull(value);
        }
    }
    return 0;
}

void RaiseFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool UdpPortFree(int port)
{
    bool free = true;
    ForEachProcSocket("/proc/net/udp", [&](const ProcSocket& socket) { free = free && socket.port != port; });
    return free;
}

bool TcpPortFree(int port)
{
    bool free = true;
    // State 0A is LISTEN; connections in TIME_WAIT do not keep a listener out.
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon != std::string::npos && state == "0A" && std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            free = false;
    }
    return free;
}

} // namespace korvel::bench
