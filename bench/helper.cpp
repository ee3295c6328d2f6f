#include "helper.h"

#include "bench_net.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvel::bench {

Helper::~Helper()
{
    if (pid_ > 0)
        kill();
    if (shared_)
        munmap(shared_, sharedBytes_);
}

void* Helper::share(std::size_t sharedBytes)
{
    shared_ = mmap(nullptr, sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared_ == MAP_FAILED)
        Die(std::string("mmap: ") + std::strerror(errno));
    sharedBytes_ = sharedBytes;
    return shared_;
}

void Helper::start(const std::string& name, const std::function<int()>& body)
{
    name_ = name;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ < 0)
        Die(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        // A helper never outlives the benchmark, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int status = 1;
        try {
            status = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "korvel_bench %s: %s\n", name_.c_str(), error.what());
        }
        std::fflush(stdout);
        _exit(status);
    }
}

int Helper::wait()
{
    if (pid_ <= 0)
        return 0;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    pid_ = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void Helper::kill()
{
    if (pid_ > 0)
        ::kill(pid_, SIGKILL);
    wait();
}

} // namespace korvel::bench
