#pragma once

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace korvel {

// Remembers the thread that made it. What belongs to one thread (the table,
// the hub, the traffic totals) checks its entry points with it, so that
// a call from another thread stops a debug, hardened (KORVEL_HARDEN) or
// sanitizer build at once instead of corrupting state now and then; a release
// build leaves it out.
class ThreadCheck {
public:
#if !defined(NDEBUG) || defined(_GLIBCXX_ASSERTIONS) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr bool kActive = true;
#else
    static constexpr bool kActive = false;
#endif

    // `owner` names what is checked, in the message; a string literal.
    explicit ThreadCheck(const char* owner)
        : owner_(owner)
    {
    }

    void operator()(const char* entry) const
    {
        if (kActive && std::this_thread::get_id() != thread_) {
            std::fprintf(stderr, "korvel: %s::%s called off the thread that owns it\n", owner_, entry);
            std::abort();
        }
    }

private:
    const char* owner_;
    std::thread::id thread_ = std::this_thread::get_id();
};

} // namespace korvel
