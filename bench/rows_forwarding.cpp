// Rows that drive the datagram path: fan-out against the reference, latency
// at a fixed rate, and the store's cost per report.
#include "bench.h"
#include "bench_net.h"
#include "load_generator.h"
#include "web_clients.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

namespace korvel::bench {

namespace {

constexpr int kStoreSenders = 8;

struct Snapshot {
    std::int64_t ns = 0;
    std::uint64_t delivered = 0;
    double relayCpu = 0;
    double relayWait = 0;
    double harnessCpu = 0;
    std::uint64_t pageBytes = 0;
};

struct FanoutRun {
    double rate = 0;
    double cpuUs = 0;
    double relayLoad = 0;
    double relayWaiting = 0;
    double harnessLoad = 0;
    std::uint64_t sent = 0;
    std::uint64_t lost = 0;
    std::uint64_t duplicates = 0;
};

// The web console's port in the web row, beside the hub's own.
int WebPort(const Bench& bench)
{
    return bench.basePort() + 8;
}

// `webClients` pages watch the source system's stations on the hub's live
// feed while it forwards; `changingStates` see GeneratorPlan.
FanoutRun MeasureFanout(Bench& bench, Relay relay, int fanout, int webClients = 0, bool changingStates = false)
{
    const auto addresses = bench.sinkAddresses(fanout);
    Sinks sinks(addresses, false, bench.work());
    std::vector<std::string> hubArgs;
    if (webClients > 0)
        hubArgs = { "--http", "127.0.0.1:" + std::to_string(WebPort(bench)) };
    auto process = bench.startFanoutRelay(relay, addresses, hubArgs);
    // The source is the first system in the hub's list: id 0.
    std::unique_ptr<WebClients> pages
        = webClients > 0 ? std::make_unique<WebClients>(webClients, WebPort(bench), 0) : nullptr;
    GeneratorPlan plan;
    plan.mode = GeneratorPlan::Mode::Windowed;
    plan.sources = { bench.source() };
    plan.target = Ipv4(kServer, bench.basePort() + 1);
    plan.window = bench.config().window
        ? bench.config().window
        : std::clamp<std::uint64_t>(32768 / static_cast<std::uint64_t>(fanout), 16, 2048);
    plan.answered = sinks.deliveredCounter();
    plan.fanout = static_cast<std::uint64_t>(fanout);
    plan.changingStates = changingStates;
    LoadGenerator generator(plan);

    const auto snapshot = [&] {
        Snapshot at;
        at.ns = MonotonicNs();
        at.delivered = sinks.delivered();
        at.relayCpu = ProcessCpuSeconds(process->pid());
        at.relayWait = ProcessWaitSeconds(process->pid());
        at.harnessCpu = ProcessCpuSeconds(sinks.pid()) + ProcessCpuSeconds(generator.pid())
            + (pages ? ProcessCpuSeconds(pages->pid()) : 0);
        at.pageBytes = pages ? pages->bytes() : 0;
        return at;
    };
    SleepNs(static_cast<std::int64_t>((bench.quick() ? 0.3 : 0.5) * 1e9));
    const Snapshot before = snapshot();
    SleepNs(static_cast<std::int64_t>(bench.seconds() * 1e9));
    const Snapshot after = snapshot();
    const std::uint64_t stalls = generator.stalls();
    const double seconds = double(after.ns - before.ns) / 1e9;
    FanoutRun run;
    run.sent = generator.stop();
    sinks.settle(run.sent * static_cast<std::uint64_t>(fanout));
    pages.reset();
    process->stop();
    const Sinks::Result result = sinks.finish();

    const double forwards = double(after.delivered - before.delivered);
    run.rate = forwards / seconds;
    run.cpuUs = forwards > 0 ? (after.relayCpu - before.relayCpu) * 1e6 / forwards : 0;
    run.relayLoad = (after.relayCpu - before.relayCpu) / seconds;
    run.relayWaiting = (after.relayWait - before.relayWait) / seconds;
    run.harnessLoad = (after.harnessCpu - before.harnessCpu) / seconds;
    run.lost = result.lost(run.sent);
    run.duplicates = result.duplicates;
    std::printf("  %-9s fan-out %4d: %9.0f forwards/s, %5.2f us CPU each; relay CPU %3.0f%% (waited for one %3.0f%%), "
                "harness CPU %3.0f%%; lost %llu of %llu x %d, %llu duplicates%s\n",
        RelayName(relay), fanout, run.rate, run.cpuUs, run.relayLoad * 100, run.relayWaiting * 100,
        run.harnessLoad * 100, static_cast<unsigned long long>(run.lost), static_cast<unsigned long long>(run.sent),
        fanout, static_cast<unsigned long long>(run.duplicates),
        stalls ? (", window reopened " + std::to_string(stalls) + " times").c_str() : "");
    if (webClients > 0) {
        std::printf("            %d pages read %.1f kB/s of live updates meanwhile\n", webClients,
            double(after.pageBytes - before.pageBytes) / 1e3 / seconds);
    }
    std::fflush(stdout);
    return run;
}

} // namespace

void FanoutRows(Bench& bench)
{
    for (const int fanout : { 10, 100, 1000 }) {
        std::vector<double> hubRate, refRate, hubCpu, refCpu, rateRatio, cpuRatio;
        std::uint64_t hubLost = 0, refLost = 0, hubDuplicates = 0;
        for (int round = 0; round < bench.rounds(); ++round) {
            // Alternate which goes first, so that a drift in the machine's
            // load does not always favour the same one.
            FanoutRun hub, reference;
            if (round % 2 == 0) {
                reference = MeasureFanout(bench, Relay::Reference, fanout);
                hub = MeasureFanout(bench, Relay::Hub, fanout);
            } else {
                hub = MeasureFanout(bench, Relay::Hub, fanout);
                reference = MeasureFanout(bench, Relay::Reference, fanout);
            }
            hubRate.push_back(hub.rate);
            refRate.push_back(reference.rate);
            hubCpu.push_back(hub.cpuUs);
            refCpu.push_back(reference.cpuUs);
            rateRatio.push_back(reference.rate > 0 ? hub.rate / reference.rate : 0);
            cpuRatio.push_back(hub.cpuUs > 0 ? reference.cpuUs / hub.cpuUs : 0);
            hubLost += hub.lost;
            refLost += reference.lost;
            hubDuplicates += hub.duplicates;
        }
        const std::string key = "fanout" + std::to_string(fanout);
        const double ratio = Median(rateRatio);
        Summary& summary = bench.summary();
        summary.line("fan-out to " + std::to_string(fanout) + ", forwards/s", Fixed(Median(hubRate), 0),
            Fixed(Median(refRate), 0), Fixed(ratio, 2), Spread(rateRatio, 2));
        summary.line("   CPU us per forward (ratio reference/hub)", Fixed(Median(hubCpu), 3), Fixed(Median(refCpu), 3),
            Fixed(Median(cpuRatio), 2), Spread(cpuRatio, 2));
        summary.line("   lost, all rounds", std::to_string(hubLost), std::to_string(refLost));
        if (hubDuplicates)
            summary.line("   duplicated, all rounds", std::to_string(hubDuplicates));
        summary.result(key, Fixed(ratio, 2));
        summary.addLost(hubLost);
    }
}

void WebRow(Bench& bench)
{
    constexpr int kPages = 5;
    constexpr int kFanout = 10;
    std::vector<double> plain, watched, ratio, plainCpu, watchedCpu, cpuRatio;
    std::uint64_t lost = 0;
    for (int round = 0; round < bench.rounds(); ++round) {
        FanoutRun without, with;
        // Every report changes the states of the stations the pages watch,
        // so that the feed carries differences all the time.
        if (round % 2 == 0) {
            without = MeasureFanout(bench, Relay::Hub, kFanout, 0, true);
            with = MeasureFanout(bench, Relay::Hub, kFanout, kPages, true);
        } else {
            with = MeasureFanout(bench, Relay::Hub, kFanout, kPages, true);
            without = MeasureFanout(bench, Relay::Hub, kFanout, 0, true);
        }
        plain.push_back(without.rate);
        watched.push_back(with.rate);
        ratio.push_back(without.rate > 0 ? with.rate / without.rate : 0);
        plainCpu.push_back(without.cpuUs);
        watchedCpu.push_back(with.cpuUs);
        cpuRatio.push_back(with.cpuUs > 0 ? without.cpuUs / with.cpuUs : 0);
        lost += with.lost;
    }
    Summary& summary = bench.summary();
    summary.line("fan-out to 10, 5 live pages (ratio with/without)", Fixed(Median(watched), 0), Fixed(Median(plain), 0),
        Fixed(Median(ratio), 2), Spread(ratio, 2));
    // Less at the mercy of other programs on the machine than the rate.
    summary.line("   CPU us per forward (ratio without/with)", Fixed(Median(watchedCpu), 3), Fixed(Median(plainCpu), 3),
        Fixed(Median(cpuRatio), 2), Spread(cpuRatio, 2));
    summary.result("web_ws", Fixed(Median(ratio), 2));
    summary.result("web_ws_cpu", Fixed(Median(cpuRatio), 2));
    summary.addLost(lost);
}

namespace {

struct PacedRun {
    double p50 = 0, p90 = 0, p99 = 0, max = 0;
    double cpuUs = 0;
    std::uint64_t lost = 0;
};

constexpr double kPacedRate = 10000;
constexpr int kPacedFanout = 10;

// At a fixed rate, where the relay waits for each report: the forward's delay
// from the report's send to the sink's kernel receive stamp, and the relay's
// CPU per forward; the first moments (start-up, first look-ups) are left out.
// `webClients` pages watch the source's stations, which every pass changes.
PacedRun MeasurePaced(Bench& bench, Relay relay, int webClients = 0)
{
    const double seconds = bench.quick() ? bench.seconds() : bench.seconds() * 2;
    const auto addresses = bench.sinkAddresses(kPacedFanout);
    Sinks sinks(addresses, true, bench.work());
    std::vector<std::string> hubArgs;
    if (webClients > 0)
        hubArgs = { "--http", "127.0.0.1:" + std::to_string(WebPort(bench)) };
    auto process = bench.startFanoutRelay(relay, addresses, hubArgs);
    const std::unique_ptr<WebClients> pages
        = webClients > 0 ? std::make_unique<WebClients>(webClients, WebPort(bench), 0) : nullptr;
    GeneratorPlan plan;
    plan.mode = GeneratorPlan::Mode::Paced;
    plan.sources = { bench.source() };
    plan.target = Ipv4(kServer, bench.basePort() + 1);
    plan.rate = kPacedRate;
    plan.changingStates = webClients > 0;
    LoadGenerator generator(plan);
    if (const CpuSplit cpus = bench.config().placement ? SplitCpus() : CpuSplit {}; !cpus.empty()) {
        // Threads the relay starts later inherit its CPU.
        bool placed = PlaceProcess(process->pid(), cpus.relay);
        for (const int harness : { generator.pid(), sinks.pid(), pages ? pages->pid() : 0 })
            placed = (harness == 0 || PlaceProcess(harness, cpus.harness)) && placed;
        if (!placed)
            std::printf("  (could not place the processes on their CPUs)\n");
    }
    SleepNs(static_cast<std::int64_t>((bench.quick() ? 0.3 : 0.5) * 1e9));
    const std::int64_t from = RealtimeNs();
    const std::uint64_t deliveredBefore = sinks.delivered();
    const double cpuBefore = ProcessCpuSeconds(process->pid());
    SleepNs(static_cast<std::int64_t>(seconds * 1e9));
    const double cpu = ProcessCpuSeconds(process->pid()) - cpuBefore;
    const std::uint64_t forwards = sinks.delivered() - deliveredBefore;
    const std::int64_t until = RealtimeNs();
    const std::uint64_t sent = generator.stop();
    sinks.settle(sent * kPacedFanout);
    process->stop();
    const Sinks::Result result = sinks.finish();

    std::vector<double> latencies;
    for (const LatencySample& sample : result.samples) {
        if (sample.sentNs >= from && sample.sentNs < until)
            latencies.push_back(double(sample.latencyNs) / 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    PacedRun run;
    run.p50 = Percentile(latencies, 0.5);
    run.p90 = Percentile(latencies, 0.9);
    run.p99 = Percentile(latencies, 0.99);
    run.max = Percentile(latencies, 1.0);
    run.cpuUs = forwards > 0 ? cpu * 1e6 / double(forwards) : 0;
    run.lost = result.lost(sent);
    std::printf("  %-9s %.0f reports/s x %d%s: p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us; %.2f us CPU per "
                "forward; lost %llu of %llu x %d\n",
        RelayName(relay), kPacedRate, kPacedFanout, webClients > 0 ? ", live pages" : "", run.p50, run.p90, run.p99,
        run.max, run.cpuUs, static_cast<unsigned long long>(run.lost), static_cast<unsigned long long>(sent),
        kPacedFanout);
    std::fflush(stdout);
    return run;
}

// The spread of the per-round differences (or ratios), then how far each
// run's own figure moved over the rounds: "d..e; a..b against c..d".
std::string Spreads(const std::vector<double>& compared, const std::vector<double>& first,
    const std::vector<double>& second, int digits)
{
    if (compared.size() < 2)
        return "";
    return Spread(compared, digits) + "; " + Spread(first, digits) + " against " + Spread(second, digits);
}

// Rounds of two paced runs, the one to go first alternating; per figure the
// medians, the median and spread of the per-round differences (first -
// second) and the spread of each run's own figure. Returns the medians of
// the differences of p50, p90 and p99, of the CPU ratio first/second, and of
// the first's p99.
std::array<double, 5> ComparePaced(Bench& bench, const std::string& title, const std::function<PacedRun()>& first,
    const std::function<PacedRun()>& second, std::uint64_t& lostFirst, std::uint64_t& lostSecond)
{
    struct Figure {
        const char* name;
        double PacedRun::*field;
        std::vector<double> first, second, difference;
    };
    std::vector<Figure> figures { { "p50", &PacedRun::p50, {}, {}, {} }, { "p90", &PacedRun::p90, {}, {}, {} },
        { "p99", &PacedRun::p99, {}, {}, {} } };
    std::vector<double> firstCpu, secondCpu, cpuRatio;
    for (int round = 0; round < bench.rounds(); ++round) {
        PacedRun a, b;
        if (round % 2 == 0) {
            b = second();
            a = first();
        } else {
            a = first();
            b = second();
        }
        for (Figure& figure : figures) {
            figure.first.push_back(a.*figure.field);
            figure.second.push_back(b.*figure.field);
            figure.difference.push_back(a.*figure.field - b.*figure.field);
        }
        firstCpu.push_back(a.cpuUs);
        secondCpu.push_back(b.cpuUs);
        cpuRatio.push_back(b.cpuUs > 0 ? a.cpuUs / b.cpuUs : 0);
        lostFirst += a.lost;
        lostSecond += b.lost;
    }
    Summary& summary = bench.summary();
    std::array<double, 5> medians {};
    for (std::size_t i = 0; i < figures.size(); ++i) {
        const Figure& figure = figures[i];
        const std::string scenario = i == 0 ? title + ": p50 us" : std::string("   ") + figure.name + " us";
        medians[i] = Median(figure.difference);
        summary.line(scenario, Fixed(Median(figure.first), 1), Fixed(Median(figure.second), 1), Fixed(medians[i], 1),
            Spreads(figure.difference, figure.first, figure.second, 1));
    }
    medians[3] = Median(cpuRatio);
    medians[4] = Median(figures[2].first);
    summary.line("   CPU us per forward (ratio)", Fixed(Median(firstCpu), 3), Fixed(Median(secondCpu), 3),
        Fixed(medians[3], 3), Spreads(cpuRatio, firstCpu, secondCpu, 3));
    return medians;
}

} // namespace

void LatencyRow(Bench& bench)
{
    std::uint64_t hubLost = 0, refLost = 0;
    const auto medians = ComparePaced(
        bench, "paced 10000/s x 10 (hub - reference)", [&] { return MeasurePaced(bench, Relay::Hub); },
        [&] { return MeasurePaced(bench, Relay::Reference); }, hubLost, refLost);
    Summary& summary = bench.summary();
    summary.line("   lost, all rounds", std::to_string(hubLost), std::to_string(refLost));
    summary.result("p99_us", Fixed(medians[4], 0));
    summary.result("paced_p50_diff_us", Fixed(medians[0], 1));
    summary.result("paced_p99_diff_us", Fixed(medians[2], 1));
    summary.result("paced_cpu", Fixed(medians[3], 3));
    summary.addLost(hubLost);
}

void SharedLoopRow(Bench& bench)
{
    constexpr int kPages = 5;
    std::uint64_t withLost = 0, withoutLost = 0;
    const auto medians = ComparePaced(
        bench, "paced, 5 live pages - none", [&] { return MeasurePaced(bench, Relay::Hub, kPages); },
        [&] { return MeasurePaced(bench, Relay::Hub); }, withLost, withoutLost);
    Summary& summary = bench.summary();
    summary.line("   lost, all rounds", std::to_string(withLost), std::to_string(withoutLost));
    summary.result("paced_web_p99_diff_us", Fixed(medians[2], 1));
    summary.addLost(withLost + withoutLost);
}

namespace {

double StoreRate(Bench& bench, int systemCount)
{
    const std::vector<std::string> senders = Addresses(41, kStoreSenders);
    std::vector<HubSystem> systems;
    for (int i = 0; i < kStoreSenders; ++i)
        systems.push_back({ senders[std::size_t(i)], kSourceSystemPort, "SENDER" + std::to_string(i + 1), {} });
    for (int i = 0; i < systemCount - kStoreSenders; ++i)
        systems.push_back({ BlockAddress(100, i), kSinkSystemPort, "SYSTEM" + std::to_string(i + 1), {} });
    auto hub = bench.startHub("store" + std::to_string(systemCount), systems);

    // Receive-only endpoint: decoded and stored, never forwarded. Nothing comes
    // back, so the hub's socket itself says how much it took: what was sent,
    // less what the kernel dropped, by the time its queue is empty. Two
    // generators keep the hub saturated, so that its drain always takes full
    // batches.
    const int port = bench.basePort() + 3;
    const auto drained = [&](std::uint64_t& drops) {
        std::uint64_t queued = 0;
        for (int i = 0; i < 20000; ++i) {
            if (!UdpSocketStats(port, queued, drops))
                Die("the hub's receive-only socket is gone");
            if (queued == 0)
                return MonotonicNs();
            SleepNs(500'000);
        }
        Die("the hub never emptied its receive-only socket");
    };
    const auto blast = [&](double seconds) {
        GeneratorPlan plan;
        plan.mode = GeneratorPlan::Mode::Blast;
        plan.target = Ipv4(kServer, port);
        plan.sources.assign(senders.begin(), senders.begin() + kStoreSenders / 2);
        LoadGenerator first(plan);
        plan.sources.assign(senders.begin() + kStoreSenders / 2, senders.end());
        LoadGenerator second(plan);
        SleepNs(static_cast<std::int64_t>(seconds * 1e9));
        return first.stop() + second.stop();
    };
    std::uint64_t dropsBefore = 0, dropsAfter = 0;
    blast(0.2);
    drained(dropsBefore);
    const double cpuBefore = ProcessCpuSeconds(hub->pid());
    const std::int64_t start = MonotonicNs();
    const std::uint64_t sent = blast(bench.seconds());
    const std::int64_t end = drained(dropsAfter);
    const double cpu = ProcessCpuSeconds(hub->pid()) - cpuBefore;
    hub->stop();

    // The wall-clock rate is what the hub got done on its share of a busy
    // machine; reports per second of its own CPU time is its capacity, and
    // it is what the scale compares.
    const std::uint64_t handled = sent - (dropsAfter - dropsBefore);
    const double rate = double(handled) / (double(end - start) / 1e9);
    const double perCpuSecond = cpu > 0 ? double(handled) / cpu : 0;
    std::printf("  hub       store, %4d systems: %10.0f handled/s, %10.0f per CPU second (%llu sent, %llu dropped "
                "by the kernel)\n",
        systemCount, rate, perCpuSecond, static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(dropsAfter - dropsBefore));
    std::fflush(stdout);
    return perCpuSecond;
}

} // namespace

void StoreRow(Bench& bench)
{
    std::vector<double> small, large, scale;
    for (int round = 0; round < std::min(bench.rounds(), 3); ++round) {
        small.push_back(StoreRate(bench, 10));
        large.push_back(StoreRate(bench, 2000));
        scale.push_back(small.back() > 0 ? large.back() / small.back() : 0);
    }
    Summary& summary = bench.summary();
    summary.line("store, 10 systems, reports per CPU second", Fixed(Median(small), 0));
    summary.line(
        "   2,000 systems (ratio to 10)", Fixed(Median(large), 0), "", Fixed(Median(scale), 2), Spread(scale, 2));
    summary.result("store_scale", Fixed(Median(scale), 2));
}

} // namespace korvel::bench
