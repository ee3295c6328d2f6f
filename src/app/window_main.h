#pragma once

namespace korvel {

// Runs the hub with its operator's window until the window closes or SIGTERM
// or SIGINT arrives; returns the exit status.
int RunWindow(int& argc, char** argv);

} // namespace korvel
