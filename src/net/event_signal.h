#pragma once

#include "net/unique_fd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace korvel {

// A counter one thread raises to wake another that polls fd(): an eventfd,
// never blocking either side.
class EventSignal {
public:
    EventSignal()
        : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
    }
    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    void raise() const
    {
        const std::uint64_t one = 1;
        // Fails only when the counter is saturated: the waiter is due to wake anyway.
        [[maybe_unused]] const auto written = write(fd_.get(), &one, sizeof one);
    }
    // Back to not readable; one read takes the whole count.
    void clear() const
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = read(fd_.get(), &count, sizeof count);
    }

private:
    UniqueFd fd_;
};

} // namespace korvel
