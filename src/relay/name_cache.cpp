#include "name_cache.h"

#include "net/event_signal.h"
#include "net/ipv4_address.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace korvel {

namespace {

using Clock = std::chrono::steady_clock;
// Names looked up at the same time; more wait for a free thread.
constexpr int kMaxLookupThreads = 4;

struct Entry {
    std::optional<in_addr> address;
    Clock::time_point expires;
    bool looking = false;
};

std::optional<in_addr> SystemLookup(const std::string& name)
{
    const auto address = ResolveIPv4(name, 0);
    return address ? std::optional<in_addr>(address->sin_addr) : std::nullopt;
}

} // namespace

// Shared with the look-up thread, which may outlive the cache while the
// system's resolver keeps it waiting.
struct NameCache::State {
    Options options;
    std::mutex mutex; // guards everything below
    std::condition_variable wanted;
    std::unordered_map<std::string, Entry> names;
    std::deque<std::string> requests;
    bool stopping = false;
    int threads = 0;
    int idle = 0;
    EventSignal ready;

    // Makes room for one more name: expired ones go first, then any that is
    // not being looked up.
    void makeRoom(Clock::time_point now)
    {
        if (names.size() < options.maxNames)
            return;
        for (auto it = names.begin(); it != names.end();)
            it = !it->second.looking && it->second.expires <= now ? names.erase(it) : std::next(it);
        for (auto it = names.begin(); it != names.end() && names.size() >= options.maxNames;)
            it = !it->second.looking ? names.erase(it) : std::next(it);
    }

    // Called with the mutex held: one look-up per thread, so that a name the
    // resolver keeps waiting holds up no other name.
    void ask(const std::string& name, const std::shared_ptr<State>& self)
    {
        requests.push_back(name);
        if (idle > 0 || threads >= kMaxLookupThreads) {
            wanted.notify_one();
            return;
        }
        ++threads;
        std::thread thread([self] { self->run(); });
        pthread_setname_np(thread.native_handle(), "korvel-lookup");
        thread.detach();
    }

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            wanted.wait(lock, [this] { return stopping || !requests.empty(); });
            --idle;
            if (stopping)
                return;
            const std::string name = std::move(requests.front());
            requests.pop_front();
            lock.unlock();
            const std::optional<in_addr> address = options.lookup(name);
            lock.lock();
            Entry& entry = names[name];
            entry.looking = false;
            entry.address = address;
            entry.expires = Clock::now() + (address ? options.ttl : options.failedTtl);
            ready.raise();
        }
    }
};

NameCache::NameCache()
    : NameCache(Options {})
{
}

NameCache::NameCache(Options options)
    : state_(std::make_shared<State>())
{
    if (!options.lookup)
        options.lookup = SystemLookup;
    state_->options = std::move(options);
}

NameCache::~NameCache()
{
    {
        std::lock_guard guard(state_->mutex);
        state_->stopping = true;
    }
    state_->wanted.notify_all();
}

NameCache::Answer NameCache::find(const std::string& name, in_addr& address)
{
    State& state = *state_;
    std::lock_guard guard(state.mutex);
    // Read under the lock: a look-up ending meanwhile cannot then seem to
    // have ended later than this question.
    const auto now = Clock::now();
    auto it = state.names.find(name);
    if (it == state.names.end()) {
        state.makeRoom(now);
        it = state.names.emplace(name, Entry {}).first;
        it->second.expires = now;
    }
    Entry& entry = it->second;
    const bool fresh = entry.expires > now;
    if (!fresh && !entry.looking) {
        entry.looking = true;
        state.ask(name, state_);
    }
    if (entry.address && (fresh || entry.looking)) {
        address = *entry.address;
        return Answer::Found;
    }
    return fresh ? Answer::Failed : Answer::Waiting;
}

int NameCache::readyFd() const
{
    return state_->ready.fd();
}

void NameCache::drain()
{
    state_->ready.clear();
}

} // namespace korvel
