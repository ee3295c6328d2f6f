#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

struct SipOptions {
    // Where UDP and TCP listen.
    std::string address = "0.0.0.0";
    std::uint16_t port = 5060;
    // The host part of the entities in the documents; the own address when empty.
    std::string domain;
    std::size_t maxSubscriptions = 50'000;
    std::size_t maxPerSource = 10'000;
    // TCP and TLS connections that carry subscriptions.
    std::size_t maxConnections = 1024;
    // What one message, or one read of a TCP connection, may hold: a proxy
    // sends its requests one after another on one connection.
    std::size_t maxMessageBytes = 256 * 1024;
    // New subscriptions a second from one address over UDP, and the burst
    // beyond that: a forged source gets no more NOTIFYs than this.
    int newPerSecond = 50;
    int newBurst = 200;
    // SIP over TLS on a port of its own, with the key and certificates in
    // this folder (agent.pem: the key and the chain; cafile.pem: the chain).
    std::uint16_t tlsPort = 0;
    std::string tlsFolder;
    // The files given on the command line, from which the folder is written.
    std::string tlsCertificate;
    std::string tlsKey;
    // Where the subscriptions outlive a restart; nowhere when empty.
    std::string stateFile;
};

} // namespace korvel
