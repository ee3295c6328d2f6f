#include "hub.h"

#include "net/ipv4_address.h"

#include <QSocketNotifier>
#include <QUdpSocket>

#include <netinet/in.h>

#include <chrono>
#include <functional>

namespace korvel {

namespace {

// What the forwarding thread read is handled on the event loop in shares of
// this much time, like the datagrams the loop reads itself.
constexpr auto kApplyBudget = std::chrono::milliseconds(10);
// A plan is a walk of the table: for a table this big, at most one per
// interval; until then the event loop forwards what the plan cannot.
constexpr std::size_t kPlanWalkFree = 1000;
constexpr auto kPlanInterval = std::chrono::milliseconds(100);

// Any change to an entry can change where a report goes or who may send one.
class PlanWatch : public SystemChangeObserver {
public:
    explicit PlanWatch(std::function<void()> changed)
        : changed_(std::move(changed))
    {
    }
    void systemChanged(const SystemEntry&) override { changed_(); }
    void stationChanged(const SystemEntry&, std::size_t) override { }
    void systemAdded(const SystemEntry&) override { changed_(); }
    void systemRemoved(const SystemEntry&) override { changed_(); }
    void systemReaddressed(const SystemEntry&, const std::string&) override { changed_(); }
    void tableCleared() override { changed_(); }

private:
    std::function<void()> changed_;
};

} // namespace

void Hub::setUpForwarding()
{
    if (!forwarder_)
        return;
    forwardedReady_ = std::make_unique<QSocketNotifier>(forwarder_->readyFd(), QSocketNotifier::Read);
    connect(forwardedReady_.get(), &QSocketNotifier::activated, this, [this] { applyForwarded(false); });
    planWatch_ = std::make_unique<PlanWatch>([this] { invalidatePlan(); });
    table_.addChangeObserver(planWatch_.get());
    planTimer_.setSingleShot(true);
    connect(&planTimer_, &QTimer::timeout, this, [this] { refreshPlan(true); });
    applyTimer_.setSingleShot(true);
    connect(&applyTimer_, &QTimer::timeout, this, [this] { applyForwarded(false); });
}

void Hub::setRelayPeer(RelayPeer* peer)
{
    owner_("setRelayPeer");
    // What was read before is handled as the hub was then.
    stopForwarding();
    peer_ = peer;
    replies_.setPeer(peer);
    if (udp_->state() == QAbstractSocket::BoundState)
        watchUdp();
}

void Hub::watchUdp()
{
    DatagramReader& reader = readers_[static_cast<std::size_t>(Endpoint::Qvx)];
    stopForwarding();
    reader.stop();
    // A cluster member forwards to the systems it holds leases on, which
    // only the event loop knows.
    if (!forwarder_ || peer_) {
        reader.watch(udp_);
        return;
    }
    const int fd = TakeOverReading(udp_);
    if (fd < 0)
        return;
    refreshPlan(true);
    forwarder_->start(fd);
}

void Hub::stopForwarding()
{
    if (!forwarder_ || !forwarder_->running())
        return;
    forwarder_->stop();
    applyForwarded(true);
}

void Hub::catchUp()
{
    if (forwarder_ && forwarder_->running())
        applyForwarded(true);
}

void Hub::setPromptChanges(bool prompt)
{
    if (forwarder_)
        forwarder_->setPrompt(prompt);
}

void Hub::applyForwarded(bool all)
{
    applyQueued_ = false;
    const auto started = std::chrono::steady_clock::now();
    std::size_t handedOver = 0;
    bool took = false;
    {
        OutboxBatch forwards(*outbox_);
        for (;;) {
            if (applied_ >= applying_.datagrams.size()) {
                // Once a turn: an empty take tells the thread to wake this
                // one for the next datagram.
                if (took && !all)
                    break;
                forwarder_->take(applying_);
                applied_ = 0;
                took = true;
                if (applying_.empty())
                    break;
                if (!applyTimer_.isActive())
                    applyTimer_.start(ForwardingThread::kApplyDelay);
            }
            const ReadBatch::Datagram datagram = applying_.datagrams[applied_++];
            if (!datagram.forwards)
                ++handedOver;
            handleDatagram(Endpoint::Qvx, applying_.packet(datagram), DottedText(datagram.fromAddress),
                datagram.fromPort, datagram.forwards);
            if (!all && std::chrono::steady_clock::now() - started >= kApplyBudget)
                break;
        }
    }
    // The plan first: the thread forwards again once what it handed over is
    // handled and the plan says what that changed.
    refreshPlan(false);
    forwarder_->handled(handedOver);
    if (applied_ < applying_.datagrams.size() && !applyQueued_) {
        applyQueued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { applyForwarded(false); }, Qt::QueuedConnection);
    }
}

void Hub::invalidatePlan()
{
    if (!forwarder_)
        return;
    forwarder_->invalidate();
    if (planQueued_)
        return;
    planQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            planQueued_ = false;
            refreshPlan(false);
        },
        Qt::QueuedConnection);
}

void Hub::refreshPlan(bool now)
{
    if (!forwarder_)
        return;
    const std::uint64_t version = forwarder_->version();
    if (version == planVersion_)
        return;
    const auto time = std::chrono::steady_clock::now();
    if (!now && table_.size() > kPlanWalkFree && time - lastPlan_ < kPlanInterval) {
        if (!planTimer_.isActive())
            planTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(kPlanInterval - (time - lastPlan_)));
        return;
    }
    forwarder_->publish(buildPlan(version));
    planVersion_ = version;
    lastPlan_ = time;
}

std::shared_ptr<const ForwardPlan> Hub::buildPlan(std::uint64_t version) const
{
    auto plan = std::make_shared<ForwardPlan>();
    plan->version = version;
    plan->forwardStatus = settings_.ForwardStatus;
    plan->targets.reserve(table_.size());
    for (const SystemEntry& entry : table_.systems()) {
        ForwardPlan::Target target;
        // A sender's text is always the plain form; an entry written otherwise is never one.
        if (const Result<in_addr> address = ParseIPv4(entry.IpAddress);
            address && DottedText(ntohl(address->s_addr)) == entry.IpAddress)
            target.sender = address->s_addr;
        target.type = entry.Type;
        target.virtualSystem = !settings_.virtualSystem.empty() && entry.IpAddress == settings_.virtualSystem;
        if (TakesForwards(entry.Type))
            target.target = UdpForwardTarget(entry);
        // The senders ForwardShareOf counts as admitted.
        if (target.sender && !target.virtualSystem && entry.IpAddress != settings_.OwnAddress
            && allowList_.allows(entry.IpAddress))
            plan->senders.insert(*target.sender);
        plan->targets.push_back(std::move(target));
    }
    return plan;
}

} // namespace korvel
