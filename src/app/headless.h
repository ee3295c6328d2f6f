#pragma once

namespace korvel {

class Hub;

struct HeadlessOptions {
    bool trace = false;
    bool reportStalls = false;
};

// The one line on standard error that says every endpoint is open, and where.
void PrintReadyLine(const Hub& hub);

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit status.
int RunHeadless(const HeadlessOptions& options);

} // namespace korvel
