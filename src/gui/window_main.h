#pragma once

#include <string>

namespace korvel {

class Service;
struct ServiceOptions;

// Runs the hub with its operator's window until the window closes or SIGTERM
// or SIGINT arrives; returns the exit status. A start that fails ends it as
// it ends the headless hub, with status 1, once the operator has read why.
int RunWindow(int& argc, char** argv, const ServiceOptions& options);

// Said on standard error by the service already; here for the operator at
// the screen, until closed. SIGTERM closes it as it would close the window.
void ShowStartFailure(Service& service, const std::string& reason);

} // namespace korvel
