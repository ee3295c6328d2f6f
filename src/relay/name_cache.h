#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// Host names looked up on threads of their own and the answers kept for a
// while, so that a slow or failing look-up holds up only the sends to that
// name. Safe to use from any thread.
class NameCache {
public:
    using Lookup = std::function<std::optional<in_addr>(const std::string& name)>;
    struct Options {
        std::chrono::milliseconds ttl { 60000 };
        // A name that did not resolve is tried again after this long.
        std::chrono::milliseconds failedTtl { 5000 };
        std::size_t maxNames = 4096;
        // The look-up itself: the system's resolver unless a test gives its own.
        Lookup lookup;
    };
    enum class Answer { Found, Failed, Waiting };

    NameCache();
    explicit NameCache(Options options);
    // Does not wait for a look-up under way: that one ends on its own.
    ~NameCache();
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;

    // What is known of `name` now. Waiting starts a look-up unless one is
    // under way; readyFd() turns readable when it ends. An address past its
    // time is still given while a new look-up runs.
    Answer find(const std::string& name, in_addr& address);

    // Readable after a look-up has ended, until drain().
    int readyFd() const;
    void drain();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace korvel
