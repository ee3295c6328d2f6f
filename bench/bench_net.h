#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::bench {

[[noreturn]] void Die(const std::string& what);

sockaddr_in Ipv4(const std::string& address, int port);
std::string AddressText(std::uint32_t hostOrder);

// A datagram socket bound to address:port (port 0: any), with large buffers so
// that the benchmark's own sockets never drop what the relay under test sends.
int BindUdp(const std::string& address, int port);
// The same, returning -1 (errno set) instead of giving up.
int TryBindUdp(const std::string& address, int port);

// CLOCK_MONOTONIC, for durations.
std::int64_t MonotonicNs();
// CLOCK_REALTIME, the clock of the kernel's receive time stamps.
std::int64_t RealtimeNs();
void SleepNs(std::int64_t ns);
void SleepUntilMonotonic(std::int64_t deadlineNs);

// Receive-queue bytes and drop count of the IPv4 UDP socket bound to
// 0.0.0.0:port, from /proc/net/udp; false when there is none.
bool UdpSocketStats(int port, std::uint64_t& queuedBytes, std::uint64_t& drops);

// CPU time (user + system) used so far by a process, all threads.
double ProcessCpuSeconds(int pid);
// Time its threads spent ready to run but waiting for a CPU (the scheduler's
// run-queue wait), all threads: what a busy machine took from it.
double ProcessWaitSeconds(int pid);
// The CPUs this process may run on: the last for a relay under test, the
// rest for the harness; empty when there are fewer than two.
struct CpuSplit {
    std::vector<int> relay, harness;
    bool empty() const { return relay.empty(); }
};
CpuSplit SplitCpus();
// Lets every thread of process `pid` run only on `cpus`; false if it could not.
bool PlaceProcess(int pid, const std::vector<int>& cpus);

// Resident memory of a process, in bytes (VmRSS).
std::uint64_t ProcessRssBytes(int pid);

// Connections the kernel dropped because a listener's backlog was full, on
// the whole machine (TcpExt ListenOverflows).
std::uint64_t ListenOverflows();

// Raises the soft limit on open files to the hard one; a thousand sinks
// need more than the usual 1024.
void RaiseFileLimit();

// True when nothing is bound to the port on any local address.
bool UdpPortFree(int port);
bool TcpPortFree(int port);

} // namespace korvel::bench
