#pragma once

#include "base/result.h"
#include "relay/hub.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QObject;

namespace korvel {

// Who gave a command, as its audit line names it: "window", or "web" and the
// client's address (korvelctl is a web client).
struct CommandSource {
    static CommandSource Window() { return { "window" }; }
    static CommandSource Web(const std::string& client) { return { "web " + client }; }
    std::string name;
};

// A system the operator adds by hand.
struct NewSystem {
    std::string address;
    std::string name;
    std::optional<std::int32_t> port;
    bool velka = false;
};

struct PingOutcome {
    int sent = 0;
    int received = 0;
    // One round-trip time per echo answered, in order.
    std::vector<double> rttMs;
};

// Echoes to a system, one after the other, each waiting at most its time-out.
struct PingRequest {
    int echoes = 3;
    int timeoutMs = 1000;
    // The ping ends, without `done`, when this goes; null: when the service goes.
    QObject* owner = nullptr;
    // After each echo: its sequence number from 1, its round trip, or none
    // when it timed out. May be empty.
    std::function<void(int sequence, std::optional<double> rttMs)> echo;
    std::function<void(const PingOutcome&)> done;
};

// The commands an operator can give a running hub. The service implements
// them once and writes each one's audit line; the window, the web API and
// the command-line client all go through them, so each sees the same change.
// Called on the hub's thread.
class OperatorCommands {
public:
    virtual ~OperatorCommands() = default;
    // Invalid for a bad address or field, Conflict when the address is in the
    // table already.
    virtual Result<void> addSystem(const CommandSource& source, const NewSystem& system) = 0;
    // NotFound when the address is not in the table.
    virtual Result<void> deleteSystem(const CommandSource& source, const std::string& address) = 0;
    // Empties the table, then saves it.
    virtual Result<void> initialize(const CommandSource& source) = 0;
    virtual Result<void> setForwardStatus(const CommandSource& source, bool forward) = 0;
    // The Options dialog's fields, taken in order up to the first bad one.
    virtual Result<void> applyOptions(const CommandSource& source, const EndpointOptions& options) = 0;
    // Saves now and waits for the files to be written.
    virtual Result<void> saveNow(const CommandSource& source) = 0;
    // What SIGHUP does: save, read allow.txt again.
    virtual Result<void> reload(const CommandSource& source) = 0;
    // Pings where the system's packets go. NotFound when the address is not
    // in the table, Unavailable with the reason when this process may open
    // no ICMP socket; otherwise `done` follows.
    virtual Result<void> pingSystem(const CommandSource& source, const std::string& address, PingRequest request) = 0;
};

} // namespace korvel
