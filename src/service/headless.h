#pragma once

namespace korvel {

struct ServiceOptions;

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit
// status: 1 when it could not start or its last save failed.
int RunHeadless(const ServiceOptions& options);

} // namespace korvel
