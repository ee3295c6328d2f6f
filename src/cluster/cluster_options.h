#pragma once

#include <optional>
#include <string>

namespace korvel {

// Where the shared table lives and who this hub is among the others.
struct ClusterOptions {
    std::string host;
    int port = 6379;
    int database = 0;
    // Unique among the hubs; says which hub serves which system.
    std::string node;
    // Every key and channel starts with this and a colon.
    std::string name = "korvel";
    // How long a hub that stopped beating counts as alive.
    int heartbeatTtlMs = 3000;
};

// Reads redis://HOST[:PORT][/DB] into `options`; the error text otherwise.
std::optional<std::string> ParseClusterUrl(const std::string& url, ClusterOptions& options);

} // namespace korvel
