#pragma once

#include "cluster/cluster_options.h"
#include "relay/hub.h"
#include "sip/sip_import.h"
#include "sip/sip_options.h"
#include "sip/sip_watch.h"
#include "web/web_options.h"

#include <optional>

namespace korvel {

// What both faces of the program take from the command line.
struct ServiceOptions {
    // Headless: the console log on standard output; the window: the test
    // panel with its Console open.
    bool trace = false;
    bool reportStalls = false;
    Hub::Options hub;
    std::optional<ClusterOptions> cluster;
    // --http: the web console, off unless asked for.
    std::optional<WebOptions> web;
    // --sip: the presence server for SIP phones, off unless asked for.
    std::optional<SipOptions> sip;
    // --sip-system-address: SIP extensions reported as a system of the table.
    std::optional<SipImportOptions> sipImport;
    // --sip-watch: the extensions the hub SUBSCRIBEs to at a SIP server.
    std::optional<SipWatchOptions> sipWatch;
};

} // namespace korvel
