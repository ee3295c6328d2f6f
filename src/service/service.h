#pragma once

#include "log/console_log.h"
#include "relay/hub.h"
#include "service/data_folder_lock.h"
#include "service/operator_commands.h"
#include "service/service_options.h"

#include <QObject>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

class Cluster;
class ServiceNotifier;
class SipImport;
class SipPresence;
class SipWatch;
class StallWatch;
class UnixSignalWatcher;
class WebConsole;

// The running hub with everything around it: the data folder's lock, the
// cluster, the web console, Unix signals, the stall watch and the service
// manager's notifications. The headless program and the window both start
// it, so both follow one start policy, and the operator's commands reach
// the hub through it whoever gives them. Lives on the main thread.
class Service : public QObject, public OperatorCommands {
    Q_OBJECT

public:
    explicit Service(ServiceOptions options, QObject* parent = nullptr);
    ~Service() override;

    // The start policy, in this order: the data folder's lock, the web
    // console's certificate, the table, the endpoints, the cluster, the web
    // console; then the ready line on standard error and the service
    // manager's READY. Every failure is fatal (the caller exits 1) and said
    // everywhere an operator looks, except a cluster that cannot be reached:
    // the hub relays locally and the cluster keeps reconnecting. Nothing is
    // saved after a failed start.
    Result<void> start();
    // What a failed start found for the operator to mend, one problem a
    // line, beyond its reason: every problem of a damaged table's load.
    const std::vector<std::string>& startProblems() const { return startProblems_; }
    // The orderly end: the web console and the cluster go, the table is
    // saved. False when the save failed. Once; later calls give the same.
    bool stop();

    // The headless hub's --trace: the console log on standard output, through
    // a buffer, so a slow reader costs trace lines, never traffic. The window
    // shows the console in its memo instead.
    void traceToStandardOutput();

    Hub& hub() { return *hub_; }
    const ServiceOptions& options() const { return options_; }
    Cluster* cluster() const { return cluster_.get(); }
    WebConsole* webConsole() const { return web_.get(); }
    SipPresence* sipPresence() const { return sip_.get(); }
    SipImport* sipImport() const { return sipImport_.get(); }
    SipWatch* sipWatch() const { return sipWatch_.get(); }

    // OperatorCommands, each with its audit line on standard error and the
    // console: "<source> <what it did>" or "<source> could not <do it>: <why>".
    Result<void> addSystem(const CommandSource& source, const NewSystem& system) override;
    Result<void> deleteSystem(const CommandSource& source, const std::string& address) override;
    Result<void> initialize(const CommandSource& source) override;
    Result<void> setForwardStatus(const CommandSource& source, bool forward) override;
    Result<void> applyOptions(const CommandSource& source, const EndpointOptions& options) override;
    Result<void> saveNow(const CommandSource& source) override;
    Result<void> reload(const CommandSource& source) override;
    Result<void> pingSystem(const CommandSource& source, const std::string& address, PingRequest request) override;

signals:
    // SIGTERM or SIGINT: the face ends its event loop, then calls stop().
    void terminationRequested();

private:
    Result<void> startHub();
    Result<void> startWebConsole();
    Result<void> startSip(); // sip_wiring.cpp
    void reloadWebTls();
    void reloadSipTls(); // sip_wiring.cpp
    void printReadyLine() const;
    Result<void> save();
    Result<void> reloadFiles();
    // The audit line of a command, whatever its result.
    Result<void> audit(
        const CommandSource& source, Result<void> result, const std::string& done, const std::string& doing);

    ServiceOptions options_;
    std::optional<DataFolderLock> lock_;
    std::unique_ptr<UnixSignalWatcher> signals_;
    // The hub's, unless the options hand in one; outlives the hub, whose
    // sender threads trace until it has stopped them.
    ConsoleLog console_;
    std::unique_ptr<BufferedStreamSink> traceSink_;
    std::unique_ptr<Hub> hub_;
    std::unique_ptr<Cluster> cluster_;
    std::unique_ptr<WebConsole> web_;
    // Outlives sip_, which hands it the PUBLISHes.
    std::unique_ptr<SipImport> sipImport_;
    std::unique_ptr<SipPresence> sip_;
    std::unique_ptr<SipWatch> sipWatch_;
    std::unique_ptr<StallWatch> stallWatch_;
    std::unique_ptr<ServiceNotifier> notifier_;
    std::vector<std::string> startProblems_;
    bool started_ = false;
    std::optional<bool> stopped_;
};

} // namespace korvel
