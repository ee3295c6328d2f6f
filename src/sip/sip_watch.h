#pragma once

#include "base/result.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

class ConsoleLog;
class SipImport;

struct SipWatchOptions {
    // One SIP URI a line, # comments.
    std::string listFile;
    // HOST:PORT, with ";transport=tcp" for TCP.
    std::string server;
    // USER:PASSWORD on its first line that is no comment; none without it.
    std::string credentialsFile;
    // Where the hub's own end of the subscriptions listens.
    std::string localAddress = "0.0.0.0";
};

struct SipCredentials {
    std::string user;
    std::string password;
};

// The extensions of a watch list, each the URI and its user part (the station).
Result<std::vector<std::pair<std::string, std::string>>> ReadWatchList(const std::string& path);
Result<SipCredentials> ReadCredentials(const std::string& path);

// The hub as a watcher: SUBSCRIBE with Event: dialog to every extension of
// the list at the SIP server, the states NOTIFYed handed to SipImport. The
// SIP library's user agent refreshes, answers and authenticates; this
// re-subscribes after a 481 or an ended subscription with a back-off, and
// says an extension it cannot watch is out of service. A server that
// restarts forgets its subscriptions without a word: one subscription is
// refreshed every few seconds, in turn, and the first that fails has all the
// others refreshed too. Main thread only.
class SipWatch : public QObject {
    Q_OBJECT

public:
    SipWatch(SipImport& import, ConsoleLog& console, SipWatchOptions options);
    ~SipWatch() override;
    SipWatch(const SipWatch&) = delete;
    SipWatch& operator=(const SipWatch&) = delete;

    // `active` false: everything is read and checked, nothing subscribed yet.
    Result<void> start(bool active = true);
    // In a cluster only the hub holding the virtual system's lease watches:
    // the others drop their subscriptions and take them up when it is theirs.
    void setActive(bool active);
    bool active() const { return active_; }
    // Reads the list again: new extensions are watched, removed ones
    // unsubscribed and set back to idle.
    Result<void> reload();
    std::size_t watched() const { return watches_.size(); }
    std::size_t activeCount() const;
    // For /api/sip: each watched extension's subscription state.
    std::string json() const;

    // Glue for the library's callback; not for other callers.
    struct Library;
    struct Watch;
    void onEvent(int event, int status, const char* phrase, void* handle, Watch* watch, const void* sip);

private:
    void subscribe(Watch& watch);
    // An in-dialog refresh of an active subscription.
    void refresh(Watch& watch);
    // The next active subscription in turn refreshed: a forgotten one answers 481.
    void checkNext();
    // After a refresh failed: the server may have lost the others too.
    void refreshAll();
    // Subscribed again at once, then with the back-off; the lamp keeps its state meanwhile.
    void resubscribe(Watch& watch, const char* why);
    // A new entry of the list, subscribed at once while this hub watches.
    void addWatch(const std::string& uri, const std::string& extension);
    void retryLater(Watch& watch, const char* why);

    SipImport& import_;
    ConsoleLog& console_;
    SipWatchOptions options_;
    SipCredentials credentials_;
    bool haveCredentials_ = false;
    bool active_ = true;
    bool closing_ = false;
    std::unique_ptr<Library> library_;
    std::map<std::string, std::unique_ptr<Watch>> watches_; // by URI
    QTimer check_;
    std::string lastChecked_;
    QElapsedTimer lastRefreshAll_;
};

} // namespace korvel
