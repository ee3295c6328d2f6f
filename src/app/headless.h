#pragma once

#include "cluster/cluster_options.h"
#include "relay/hub.h"

#include <optional>

namespace korvel {

struct HeadlessOptions {
    bool trace = false;
    bool reportStalls = false;
    Hub::Options hub;
    std::optional<ClusterOptions> cluster;
};

// The one line on standard error that says every endpoint is open, and where.
void PrintReadyLine(const Hub& hub);

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit status.
int RunHeadless(const HeadlessOptions& options);

} // namespace korvel
