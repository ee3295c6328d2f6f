#pragma once

namespace korvel {

struct ServiceOptions;

// Runs the hub with its operator's window until the window closes or SIGTERM
// or SIGINT arrives; returns the exit status. A start that fails ends it as
// it ends the headless hub, with status 1, once the operator has read why.
int RunWindow(int& argc, char** argv, const ServiceOptions& options);

} // namespace korvel
