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
