#pragma once

namespace korvel {

struct HeadlessOptions {
    bool trace = false;
};

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit status.
int RunHeadless(const HeadlessOptions& options);

} // namespace korvel
