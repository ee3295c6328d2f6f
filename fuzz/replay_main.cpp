// Runs a harness over saved inputs without libFuzzer, so that a crash can be
// replayed (and debugged) with any compiler:
//   <harness>_replay FILE|FOLDER...

#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

int Replay(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Named first, so that a crash report follows the input that caused it.
    std::fprintf(stderr, "replay %s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    korvel::fuzz::CheckEverything() = true;
    int failures = 0;
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (const auto& item : std::filesystem::recursive_directory_iterator(path))
                if (item.is_regular_file())
                    files.push_back(item.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                failures += Replay(file);
                ++count;
            }
        } else {
            failures += Replay(path);
            ++count;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", count);
    return failures == 0 ? 0 : 1;
}
