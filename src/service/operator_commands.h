#pragma once

#include "net/result.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// A system the operator adds by hand.
struct NewSystem {
    std::string address;
    std::string name;
    std::optional<std::int32_t> port;
    bool velka = false;
};

// The commands an operator can give a running hub. The service implements
// them once; the window, the web API and the command-line client all go
// through them, so each sees the same change. Called on the hub's thread.
class OperatorCommands {
public:
    virtual ~OperatorCommands() = default;
    // Invalid for a bad address or field, Conflict when the address is in the
    // table already.
    virtual Result<void> addSystem(const NewSystem& system) = 0;
    // NotFound when the address is not in the table.
    virtual Result<void> deleteSystem(const std::string& address) = 0;
    // Empties the table, then saves it.
    virtual Result<void> initialize() = 0;
    virtual Result<void> setForwardStatus(bool forward) = 0;
    // Saves now and waits for the files to be written.
    virtual Result<void> saveNow() = 0;
    // What SIGHUP does: save, read allow.txt again.
    virtual Result<void> reload() = 0;
};

} // namespace korvel
