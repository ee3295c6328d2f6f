#include "support/free_port.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

// Prints a free base port, for test scripts that start a hub of their own.
// With --hold it keeps the port's lock until its standard input ends, so that
// no test running beside the script picks the same port before the script's
// hub has bound it: a script reads the line, starts its hub, and closes the
// pipe (or exits) when the hub has gone.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool hold = argc > 1 && std::strcmp(argv[1], "--hold") == 0;
    const int base = korvel::testing::FreeBasePort();
    if (base == 0)
        return 1;
    std::printf("%d\n", base);
    std::fflush(stdout);
    if (hold) {
        while (std::fgetc(stdin) != EOF) { }
    }
    return 0;
}
