#pragma once

#include "base/result.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// Where the shared table lives and who this hub is among the others.
struct ClusterOptions {
    std::string host;
    int port = 6379;
    int database = 0;
    // When set, the master named `master` is found through these Redis
    // Sentinels instead of at host:port, and followed through a failover.
    std::vector<std::pair<std::string, int>> sentinels;
    std::string master;
    // Unique among the hubs; says which hub serves which system.
    std::string node;
    // Every key and channel starts with this and a colon.
    std::string name = "korvel";
    // The hub's data folder: a hub started again on it is the same node and
    // takes its name back at once. Empty: each run is a node of its own.
    std::filesystem::path dataDirectory;
    // How long a hub that stopped beating counts as alive.
    int heartbeatTtlMs = 3000;
};

// Reads redis://HOST[:PORT][/DB] or
// redis-sentinel://HOST[:PORT][,HOST[:PORT]...]/MASTER[/DB] into `options`,
// or says what is wrong with it.
Result<void> ParseClusterUrl(const std::string& url, ClusterOptions& options);

} // namespace korvel
