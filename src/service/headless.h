#pragma once

#include "cluster/cluster_options.h"
#include "relay/hub.h"
#include "web/web_options.h"

#include <memory>
#include <optional>

namespace korvel {

class Cluster;
class WebConsole;

struct HeadlessOptions {
    bool trace = false;
    bool reportStalls = false;
    Hub::Options hub;
    std::optional<ClusterOptions> cluster;
    // --http: the web console, off unless asked for.
    std::optional<WebOptions> web;
};

// The one line on standard error that says every endpoint is open, and where.
void PrintReadyLine(const Hub& hub);

// Starts the web console for `hub` and says where it is on standard error;
// null (with the reason said) when it cannot listen. With a cluster, the
// console shows its state; the cluster outlives the console.
std::unique_ptr<WebConsole> StartWebConsole(Hub& hub, const WebOptions& options, const Cluster* cluster = nullptr);
// SIGHUP: a renewed certificate is served without a restart.
void ReloadWebTls(WebConsole& console);

// Runs the hub without a window until SIGTERM or SIGINT; returns the exit status.
int RunHeadless(const HeadlessOptions& options);

} // namespace korvel
