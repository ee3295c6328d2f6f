#include "relay/name_cache.h"

#include <arpa/inet.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

using namespace korvel;

namespace {

// A resolver that knows a few names, counts what it is asked, and keeps
// "slow" waiting until released.
struct FakeResolver {
    std::mutex mutex;
    std::condition_variable released;
    bool slowReleased = false;
    std::map<std::string, int> asked;

    std::optional<in_addr> lookup(const std::string& name)
    {
        std::unique_lock lock(mutex);
        ++asked[name];
        if (name == "slow")
            released.wait(lock, [this] { return slowReleased; });
        in_addr address {};
        if (name == "nowhere" || inet_pton(AF_INET, name == "slow" ? "127.0.0.9" : "127.0.0.2", &address) != 1)
            return std::nullopt;
        return address;
    }
    int count(const std::string& name)
    {
        std::lock_guard guard(mutex);
        return asked[name];
    }
    void release()
    {
        std::lock_guard guard(mutex);
        slowReleased = true;
        released.notify_all();
    }
};

// The look-up threads may outlive the cache: they share the resolver.
NameCache::Options With(const std::shared_ptr<FakeResolver>& resolver, std::chrono::milliseconds ttl,
    std::chrono::milliseconds failedTtl, std::size_t maxNames = 4096)
{
    return { ttl, failedTtl, maxNames, [resolver](const std::string& name) { return resolver->lookup(name); } };
}

// Asks until the answer is no longer Waiting, sleeping on the cache's
// descriptor in between; Waiting again only when nothing ended in time.
NameCache::Answer Settled(NameCache& cache, const std::string& name, in_addr& address)
{
    for (int turn = 0; turn < 100; ++turn) {
        const NameCache::Answer answer = cache.find(name, address);
        if (answer != NameCache::Answer::Waiting)
            return answer;
        pollfd ready { cache.readyFd(), POLLIN, 0 };
        if (poll(&ready, 1, 5000) <= 0)
            break;
        cache.drain();
    }
    return NameCache::Answer::Waiting;
}

std::string Text(in_addr address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

using namespace std::chrono_literals;

} // namespace

TEST(NameCache, AnswersAfterOneLookUpAndKeepsFailuresForTheirTime)
{
    auto resolver = std::make_shared<FakeResolver>();
    NameCache cache(With(resolver, 1h, 1h));
    in_addr address {};
    // Held until released, so the second question finds it still under way.
    EXPECT_EQ(cache.find("slow", address), NameCache::Answer::Waiting);
    EXPECT_EQ(cache.find("slow", address), NameCache::Answer::Waiting) << "one look-up under way, not two";
    resolver->release();
    ASSERT_EQ(Settled(cache, "slow", address), NameCache::Answer::Found);
    EXPECT_EQ(Text(address), "127.0.0.9");
    EXPECT_EQ(cache.find("slow", address), NameCache::Answer::Found);

    EXPECT_EQ(Settled(cache, "nowhere", address), NameCache::Answer::Failed);
    EXPECT_EQ(cache.find("nowhere", address), NameCache::Answer::Failed);
    EXPECT_EQ(resolver->count("slow"), 1);
    EXPECT_EQ(resolver->count("nowhere"), 1);
}

TEST(NameCache, ExpiredNamesAreLookedUpAgainAndAnOldAddressServesMeanwhile)
{
    auto resolver = std::make_shared<FakeResolver>();
    NameCache cache(With(resolver, 0ms, 0ms));
    in_addr address {};
    ASSERT_EQ(Settled(cache, "pbx", address), NameCache::Answer::Found);
    // Already past its time: the address is given and a new look-up starts.
    address = {};
    EXPECT_EQ(cache.find("pbx", address), NameCache::Answer::Found);
    EXPECT_EQ(Text(address), "127.0.0.2");

    // A failure past its time is not given as an answer: it is asked again.
    EXPECT_EQ(cache.find("nowhere", address), NameCache::Answer::Waiting);
    for (int turn = 0; turn < 100 && resolver->count("nowhere") < 2; ++turn) {
        pollfd ready { cache.readyFd(), POLLIN, 0 };
        poll(&ready, 1, 5000);
        cache.drain();
        EXPECT_EQ(cache.find("nowhere", address), NameCache::Answer::Waiting);
    }
    EXPECT_GE(resolver->count("nowhere"), 2);
}

TEST(NameCache, ASlowNameHoldsUpNoOtherAndTheTableStaysBounded)
{
    auto resolver = std::make_shared<FakeResolver>();
    {
        NameCache cache(With(resolver, 1h, 1h, 2));
        in_addr address {};
        EXPECT_EQ(cache.find("slow", address), NameCache::Answer::Waiting);
        EXPECT_EQ(Settled(cache, "pbx", address), NameCache::Answer::Found);
        EXPECT_EQ(cache.find("slow", address), NameCache::Answer::Waiting);

        // Full: a third name makes room by forgetting the one not being looked up.
        EXPECT_EQ(Settled(cache, "nowhere", address), NameCache::Answer::Failed);
        EXPECT_EQ(cache.find("pbx", address), NameCache::Answer::Waiting);
        resolver->release();
        EXPECT_EQ(Settled(cache, "slow", address), NameCache::Answer::Found);
        EXPECT_EQ(Text(address), "127.0.0.9");
    }
    EXPECT_EQ(resolver->count("slow"), 1);
}
