#pragma once

#include "cluster/cluster_options.h"
#include "relay/hub.h"
#include "web/web_options.h"

#include <optional>

namespace korvel {

struct WindowOptions {
    bool reportStalls = false;
    // Opens the test panel with its Console, logging on.
    bool trace = false;
    Hub::Options hub;
    std::optional<ClusterOptions> cluster;
    std::optional<WebOptions> web;
};

// Runs the hub with its operator's window until the window closes or SIGTERM
// or SIGINT arrives; returns the exit status.
int RunWindow(int& argc, char** argv, const WindowOptions& options = {});

} // namespace korvel
