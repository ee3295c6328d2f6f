#include "notice.h"

#include "log/console_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvel {

namespace {

// $JOURNAL_STREAM names the journal's socket as "device:inode" when the
// service manager connected standard error to it; a prefix "<N>" then sets
// the line's priority instead of showing up in a terminal.
bool StderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status { };
    if (!stream || fstat(STDERR_FILENO, &status) != 0)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    return device == status.st_dev && inode == status.st_ino;
}

// syslog(3)'s priorities.
int Priority(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return 3;
    case Severity::Warning:
        return 4;
    case Severity::Info:
        break;
    }
    return 6;
}

} // namespace

void Notify(ConsoleLog& console, Severity severity, std::string_view text)
{
    static const bool journal = StderrIsJournal();
    std::string line;
    if (journal)
        line = "<" + std::to_string(Priority(severity)) + ">";
    line.append("korvel: ").append(text).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    console.notice(text);
}

} // namespace korvel
