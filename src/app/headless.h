#pragma once

#include "relay/hub.h"

namespace korvel {

struct HeadlessOptions {
    bool trace = false;
    bool reportStalls = false;
    Hub::Options hub;
};

// The one line on standard error that says every endpoint is open, and where.
void PrintReadyLine(const Hub& hub);

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit status.
int RunHeadless(const HeadlessOptions& options);

} // namespace korvel
