#pragma once

#include "base/result.h"
#include "protocol/wire_format.h"
#include "sip/lamp.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvel {

class ConsoleLog;
class SystemTable;
struct SystemEntry;

struct SipImportOptions {
    // The table entry the SIP extensions' states are reported as.
    std::string systemName = "SIP";
    std::string systemAddress;
};

// The station state a dialog-info or PIDF document describes; none when the
// document cannot be read.
std::optional<std::uint8_t> StateFromDialogInfo(std::string_view body);
std::optional<std::uint8_t> StateFromPidf(std::string_view body);
std::optional<std::uint8_t> StateFromDocument(SipEvent event, std::string_view body);

// What a PUBLISH is answered.
struct PublishAnswer {
    int status = 200;
    std::string etag;
    std::uint32_t expires = 0;
};

// SIP extensions as the stations of a system of the table that no exchange
// stands behind: each change of an extension's state becomes a status report
// from that system, built and forwarded as an exchange's would be. Changes
// within one turn of the event loop go out together. Main thread only.
class SipImport : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::int64_t()>; // milliseconds
    // Applies and forwards one status report as the virtual system's.
    using Report = std::function<void(Bytes packet)>;

    SipImport(SystemTable& table, ConsoleLog& console, SipImportOptions options, Report report, Clock clock = {});

    // Puts the virtual system in the table, or takes the one saved there; an
    // address an exchange of the table already has, or the hub's own, is refused.
    Result<void> start(const std::string& ownAddress);
    const SipImportOptions& options() const { return options_; }
    bool owns(const std::string& address) const { return address == options_.systemAddress; }

    // An extension's new state; sent at the end of this turn of the event
    // loop unless it is the state the station has already.
    void setState(const std::string& extension, std::uint8_t state);
    // Sends what changed now.
    void flush();

    // A PUBLISH for `extension` (RFC 3903). `ifMatch` empty for an initial
    // publication; `state` none for a refresh without a body.
    PublishAnswer publish(const std::string& extension, const std::string& ifMatch,
        std::optional<std::uint32_t> expires, bool hasBody, std::optional<std::uint8_t> state);
    // Publications past their expiry end, their extension back to idle.
    void sweep();

    std::uint64_t reportsSent() const { return reportsSent_; }
    std::uint64_t changesSent() const { return changesSent_; }
    std::size_t publications() const { return publications_.size(); }
    // For /api/sip: each extension's publications and state.
    std::string json() const;

private:
    struct Publication {
        std::string extension;
        std::uint8_t state = STATUS_IDLE;
        std::int64_t expiresAtMs = 0;
        std::uint64_t changedOrder = 0;
    };
    const SystemEntry* entry() const;
    // The state the extension's newest live publication says, idle without one.
    void settle(const std::string& extension);
    std::string newTag();
    void add(std::string tag, Publication publication);
    void erase(std::unordered_map<std::string, Publication>::iterator found);

    SystemTable& table_;
    ConsoleLog& console_;
    SipImportOptions options_;
    Report report_;
    Clock clock_;
    std::map<std::string, std::uint8_t> pending_;
    std::unordered_map<std::string, Publication> publications_;
    // The tags of each extension's live publications.
    std::unordered_map<std::string, std::vector<std::string>> tagsOf_;
    std::uint64_t order_ = 0;
    std::uint64_t tags_ = 0;
    std::string tagPrefix_;
    std::uint64_t reportsSent_ = 0;
    std::uint64_t changesSent_ = 0;
    bool flushQueued_ = false;
    QTimer sweepTimer_;
};

} // namespace korvel
