#include "support/free_port.h"

#include <QCoreApplication>

#include <cstdio>

// Prints a free base port, for test scripts that start a hub of their own.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int base = korvel::testing::FreeBasePort();
    if (base == 0)
        return 1;
    std::printf("%d\n", base);
    return 0;
}
