#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace korvel::bench {

// A part of the harness in a process of its own (a load generator, the sinks,
// the TCP clients), so that it does not share a CPU-bound thread with the
// rest of the harness. It is forked, not executed: the benchmark itself never
// starts a thread, so the child starts from a consistent copy. Parent and
// child talk through a block of shared memory, mapped before the fork and so
// also visible to every helper forked after it.
class Helper {
public:
    Helper() = default;
    ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Maps `sharedBytes` of zeroed shared memory; call before start().
    void* share(std::size_t sharedBytes);
    // Forks; the child runs `body` and exits with what it returns.
    void start(const std::string& name, const std::function<int()>& body);
    int pid() const { return pid_; }
    // Waits for the child to exit; returns its exit status (128 + signal).
    int wait();
    // SIGKILL and wait, for a helper that no longer answers.
    void kill();

private:
    std::string name_;
    int pid_ = -1;
    void* shared_ = nullptr;
    std::size_t sharedBytes_ = 0;
};

} // namespace korvel::bench
