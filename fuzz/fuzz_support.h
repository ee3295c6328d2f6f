#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// The libFuzzer entry point; replay_main.cpp calls it without libFuzzer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace korvel::fuzz {

// A broken property is a crash, so libFuzzer keeps the input and the replay
// binary exits non-zero with the reason.
#define FUZZ_CHECK(condition, why)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, why, #condition);            \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// The replay binary checks every input in full. Under libFuzzer the costly
// checks run on one input in `share`, picked by the input's own bytes, so that
// an input that fails them fails again when run alone or replayed.
inline bool& CheckEverything()
{
    static bool everything = false;
    return everything;
}

inline constexpr std::uint32_t kSampleShare = 16;

// A hash of the input's length and of its two ends, so that long inputs cost
// no more to sort than short ones.
inline std::uint32_t InputHash(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t hash = 2166136261u ^ static_cast<std::uint32_t>(size);
    const std::size_t ends = size < 64 ? size : 32;
    for (std::size_t i = 0; i < ends; ++i)
        hash = (hash ^ data[i] ^ (std::uint32_t { data[size - 1 - i] } << 8)) * 16777619u;
    return hash;
}

inline bool Sampled(std::uint32_t hash, std::uint32_t share = kSampleShare)
{
    return CheckEverything() || hash % share == 0;
}

// One scratch folder per process, on tmpfs when there is one, since the
// harnesses write files on every input; inside $KORVEL_FUZZ_SCRATCH when set,
// which run.sh removes afterwards, since libFuzzer ends a run without the
// exit handlers that remove it otherwise.
inline const std::filesystem::path& ScratchFolder()
{
    // Never destroyed, so the exit handler can still read it.
    static const std::filesystem::path* folder = [] {
        std::error_code error;
        const char* chosen = std::getenv("KORVEL_FUZZ_SCRATCH");
        const std::filesystem::path base = chosen && *chosen   ? std::filesystem::path(chosen)
            : std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "korvel-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        auto* made = new std::filesystem::path(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return made;
    }();
    return *folder;
}

} // namespace korvel::fuzz
