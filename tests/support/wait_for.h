#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace korvel::testing {

// Looks every 2 ms until `done` holds or the time is up; returns `done()`.
// For tests without an event loop, where other threads change what is checked.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace korvel::testing
