#pragma once

#include <string_view>

namespace korvel {

class ConsoleLog;

enum class Severity { Error, Warning, Info };

// Says something an operator may have to act on, everywhere an operator
// looks: standard error (which the journal reads, with the severity as its
// priority when it does) and `console`. `text` is one line without the
// program's name.
void Notify(ConsoleLog& console, Severity severity, std::string_view text);

} // namespace korvel
