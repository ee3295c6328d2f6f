// Saves ever newer generated tables into a data folder until it is killed, or
// for a given number of generations, and prints each generation once saved.
//   store_save_loop <data folder> <first generation> [generations]

#include "generated_table.h"
#include "store/system_files.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const int first = std::atoi(argv[2]);
    const int count = argc > 3 ? std::atoi(argv[3]) : -1;
    const std::int32_t basePort = 19000;
    for (int generation = first; count < 0 || generation < first + count; ++generation) {
        korvel::SystemTable table(argv[1]);
        korvel::generated::Fill(table, generation);
        korvel::SaveSystems(table, basePort);
        std::printf("%d\n", generation);
        std::fflush(stdout);
    }
    return 0;
}
