#pragma once

#include "service/service_options.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace korvel {

// The options both the headless hub and the window take; `korvel` parses
// them, and the window program it starts parses the same line again.
struct CommandLine {
    bool headless = false;
    bool checkConfig = false;
    // --cluster sets service.cluster: the hub shares its table and reports
    // with others.
    ServiceOptions service;
};

// Parses the arguments (the program name first). Returns the line, or an
// exit status when the run ends here: 0 after --help or --version (printed to
// standard output), 2 after a mistake (explained on standard error).
// --help needs a QCoreApplication for the program's name.
std::variant<CommandLine, int> ParseCommandLine(const QStringList& arguments);

// The same, straight from main()'s arguments.
std::variant<CommandLine, int> ParseCommandLine(int argc, char** argv);

} // namespace korvel
