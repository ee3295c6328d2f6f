#include "descriptors.h"

#include <sys/resource.h>

#include <limits>

namespace korvel {

namespace {

std::size_t Clamp(rlim_t value)
{
    if (value == RLIM_INFINITY || value > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    return static_cast<std::size_t>(value);
}

} // namespace

std::size_t RaiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return DescriptorLimit();
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return DescriptorLimit();
}

std::size_t DescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    return Clamp(limit.rlim_cur);
}

std::size_t NetworkDescriptors(std::size_t limit)
{
    const std::size_t kept = 2 * kReservedDescriptors;
    return limit > kept ? limit - kept : 0;
}

} // namespace korvel
