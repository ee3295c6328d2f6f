#pragma once

#include "base/result.h"
#include "service/service_options.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace korvel {

// The options both the headless hub and the window take; `korvel` parses
// them, and the window program it starts parses the same line again.
struct CommandLine {
    bool headless = false;
    bool checkConfig = false;
    // --cluster sets service.cluster: the hub shares its table and reports
    // with others.
    ServiceOptions service;
    // --help or --version: the text for standard output, and nothing to run.
    QString answer;
};

// Parses the arguments (the program name first): the line, or the mistake in
// it. --help needs a QCoreApplication for the program's name.
Result<CommandLine> ParseCommandLine(const QStringList& arguments);

// The same, straight from main()'s arguments.
Result<CommandLine> ParseCommandLine(int argc, char** argv);

// The exit status when the run ends with the parse: 0 after --help or
// --version (printed to standard output), 2 after a mistake (explained on
// standard error); none when the run goes on.
std::optional<int> EndsAfterParsing(const Result<CommandLine>& parsed);

} // namespace korvel
