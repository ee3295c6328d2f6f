#include "bench.h"

#include "bench_net.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvel::bench {

namespace {

// The keys every full run reports, in this order; a row that did not run
// leaves "n/a".
const char* const kResultKeys[] = { "fanout10", "fanout100", "fanout1000", "lost", "save_stall_ms", "trace_dropped",
    "tcp", "tcp_failed", "bytes_per_station", "cluster_rate", "cluster_p50_us", "cluster_p99_us" };

} // namespace

const char* RelayName(Relay relay)
{
    return relay == Relay::Hub ? "hub" : "reference";
}

std::string BlockAddress(int firstBlock, int n)
{
    return "127.0." + std::to_string(firstBlock + n / 250) + "." + std::to_string(1 + n % 250);
}

std::vector<std::string> AddressesFrom(const std::string& first, int count)
{
    in_addr start {};
    if (inet_pton(AF_INET, first.c_str(), &start) != 1)
        return {};
    const std::uint32_t base = ntohl(start.s_addr);
    const std::uint32_t block = (base >> 8) & 0xFF, host = base & 0xFF;
    if (host < 1 || host > 250)
        return {};
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t index = host - 1 + static_cast<std::uint32_t>(i);
        if (block + index / 250 > 255)
            return {};
        addresses.push_back(AddressText((base & 0xFFFF0000u) | ((block + index / 250) << 8) | (1 + index % 250)));
    }
    return addresses;
}

std::vector<SinkAddress> Bench::sinkAddresses(int count) const
{
    std::vector<SinkAddress> sinks;
    for (const std::string& address : AddressesFrom(config_.firstSink, count))
        sinks.push_back({ address, kSinkSystemPort + 1 });
    return sinks;
}

std::vector<std::string> Addresses(int firstBlock, int count)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i)
        addresses.push_back(BlockAddress(firstBlock, i));
    return addresses;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Fixed(double value, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string Spread(const std::vector<double>& values, int digits)
{
    if (values.size() < 2)
        return "";
    const auto [least, most] = std::minmax_element(values.begin(), values.end());
    return Fixed(*least, digits) + ".." + Fixed(*most, digits);
}

double Percentile(const std::vector<double>& sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void Summary::line(const std::string& scenario, const std::string& hub, const std::string& reference,
    const std::string& ratio, const std::string& spread)
{
    lines_.push_back({ scenario, hub, reference, ratio, spread });
}

void Summary::result(const std::string& key, const std::string& value)
{
    for (auto& [existing, old] : results_) {
        if (existing == key) {
            old = value;
            return;
        }
    }
    results_.emplace_back(key, value);
}

void Summary::print() const
{
    std::printf(
        "\n%-52s %12s %12s %7s  %s\n", "scenario (median of rounds)", "hub", "reference", "ratio", "spread of ratios");
    for (const Line& line : lines_) {
        std::string text = line.scenario;
        text.resize(std::max<std::size_t>(text.size(), 52), ' ');
        char rest[256];
        std::snprintf(rest, sizeof rest, " %12s %12s %7s  %s", line.hub.c_str(), line.reference.c_str(),
            line.ratio.c_str(), line.spread.c_str());
        std::string whole = text + rest;
        whole.erase(whole.find_last_not_of(' ') + 1);
        std::printf("%s\n", whole.c_str());
    }
    std::string summary = "RESULT";
    const auto find = [&](const std::string& key) -> std::string {
        if (key == "lost")
            return std::to_string(lost_);
        for (const auto& [name, value] : results_)
            if (name == key)
                return value;
        return "n/a";
    };
    for (const char* key : kResultKeys)
        summary += " " + std::string(key) + "=" + find(key);
    for (const auto& [name, value] : results_) {
        if (std::find(std::begin(kResultKeys), std::end(kResultKeys), name) == std::end(kResultKeys))
            summary += " " + name + "=" + value;
    }
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
}

std::unique_ptr<ChildProcess> Bench::startHub(const std::string& label, const std::vector<HubSystem>& systems,
    const std::vector<std::string>& args, std::int64_t readyTimeoutNs)
{
    const auto folder = config_.work / ("hub-" + label);
    WriteHubFolder(folder, config_.basePort, systems);
    std::vector<std::string> argv { config_.hub };
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, folder, readyTimeoutNs);
}

std::unique_ptr<ChildProcess> Bench::startReference(const std::string& label, const std::vector<std::string>& args)
{
    const auto folder = config_.work / ("reference-" + label);
    std::filesystem::create_directories(folder);
    std::vector<std::string> argv { config_.reference };
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, folder);
}

std::unique_ptr<ChildProcess> Bench::startFanoutRelay(
    Relay relay, const std::vector<SinkAddress>& sinks, const std::vector<std::string>& hubArgs)
{
    const std::string label = "fanout" + std::to_string(sinks.size());
    if (relay == Relay::Reference) {
        const auto file = config_.work / (label + "-destinations.txt");
        std::ofstream out(file);
        for (const SinkAddress& sink : sinks)
            out << sink.address << ' ' << sink.port << '\n';
        out.close();
        return startReference(label, { "udp", std::to_string(config_.basePort + 1), file.string() });
    }
    std::vector<HubSystem> systems { { config_.source, kSourceSystemPort, "SOURCE", {} } };
    for (std::size_t i = 0; i < sinks.size(); ++i)
        systems.push_back({ sinks[i].address, kSinkSystemPort, "SINK" + std::to_string(i + 1), {} });
    std::vector<std::string> args { "--headless" };
    args.insert(args.end(), hubArgs.begin(), hubArgs.end());
    return startHub(label, systems, args);
}

const std::vector<Row>& Rows()
{
    static const std::vector<Row> rows = {
        { "fanout", "forwarding to 10, 100 and 1,000 sinks, hub and reference alternating", false, FanoutRows },
        { "latency", "forwards at a steady 10,000 reports/s to 10 sinks: delay and CPU, hub and reference alternating",
            false, LatencyRow },
        { "shared", "the same paced forwards by the hub with five live web pages against none, alternating", false,
            SharedLoopRow },
        { "store", "reports to the receive-only endpoint per CPU second, 10 and 2,000 systems", false, StoreRow },
        { "tcp", "200 concurrent GetData clients, hub and reference alternating", false, TcpRow },
        { "save", "a save of 2,000 systems x 3,000 stations under traffic; memory per station", false, SaveRow },
        { "window", "window open, console logging on, 10,000 reports/s to 8 systems", true, WindowRow },
        { "cluster", "two hubs sharing a Redis server: reports/s from A to B, added latency", false, ClusterRow },
        { "web", "fan-out to 10 with five pages on the web console's live feed, against none", false, WebRow },
        { "flood", "2,000 datagrams/s from new addresses for 5 s while a known system reports", false, FloodRow },
        { "sip", "20,000 SIP dialog subscriptions (2,000 stations x 10), 1,000 reports/s -> 10,000 NOTIFY/s", false,
            SipRow },
        { "sip-in", "2,000 SIP extensions PUBLISHed, 500 changes/s -> status reports to 100 exchanges", false,
            SipInRow },
    };
    return rows;
}

namespace {

void PrintHeader(const Config& config)
{
    std::printf("korvel benchmark: %s mode, %.1f s per measurement, %d round(s), base port %d, %ld CPUs\n",
        config.quick ? "quick" : "full", config.seconds, config.rounds, config.basePort, sysconf(_SC_NPROCESSORS_ONLN));
    if (const CpuSplit cpus = config.placement ? SplitCpus() : CpuSplit {}; !cpus.empty()) {
        std::string harness;
        for (const int cpu : cpus.harness)
            harness += (harness.empty() ? "" : ",") + std::to_string(cpu);
        std::printf("paced rows: the relay on CPU %d, the harness on CPU %s (--no-placement: wherever the "
                    "scheduler puts them)\n",
            cpus.relay.front(), harness.c_str());
    }
    double load = 0;
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = 0;
        std::fclose(file);
    }
    if (load > 1.0)
        std::printf("warning: load average %.2f before the start: other programs share the CPUs, expect noise\n", load);
    std::fflush(stdout);
}

bool Loopback(const std::string& address)
{
    in_addr parsed {};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

// Everything the benchmark sends stays on this machine, and the relays' own
// address (kServer) is neither source nor sink.
void CheckAddresses(const Config& config)
{
    if (!Loopback(config.source) || config.source == kServer)
        Die("--source " + config.source + ": give a loopback address (127.x.y.z) other than " + kServer);
    const std::vector<std::string> sinks = AddressesFrom(config.firstSink, kMostSinks);
    if (sinks.empty() || !Loopback(config.firstSink))
        Die("--sinks " + config.firstSink + ": give a loopback address 127.x.y.z with z from 1 to 250 and room for "
            + std::to_string(kMostSinks) + " sinks after it");
    if (std::find(sinks.begin(), sinks.end(), config.source) != sinks.end()
        || std::find(sinks.begin(), sinks.end(), kServer) != sinks.end())
        Die("--sinks " + config.firstSink + ": the " + std::to_string(kMostSinks) + " sinks from there take in "
            + (std::find(sinks.begin(), sinks.end(), kServer) != sinks.end() ? kServer : "the source"));
}

void CheckPortsFree(const Config& config)
{
    const int base = config.basePort;
    if (!TcpPortFree(base))
        Die("TCP port " + std::to_string(base) + " is taken; choose another --base-port");
    for (int port : { base + 1, base + 3, base + 4 })
        if (!UdpPortFree(port))
            Die("UDP port " + std::to_string(port) + " is taken; choose another --base-port");
    // Another benchmark may use the same sink port on other addresses.
    const int fd = TryBindUdp(config.firstSink, kSinkSystemPort + 1);
    if (fd < 0)
        Die("the first sink, " + config.firstSink + ":" + std::to_string(kSinkSystemPort + 1)
            + ", is taken; choose other --sinks");
    close(fd);
}

int Run(Config config)
{
    RaiseFileLimit();
    CheckAddresses(config);
    CheckPortsFree(config);
    PrintHeader(config);
    Bench bench(std::move(config));
    const bool display = std::getenv("DISPLAY") && *std::getenv("DISPLAY");
    for (const Row& row : Rows()) {
        const auto& wanted = bench.config().rows;
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), row.name) == wanted.end())
            continue;
        std::printf("\n[%s] %s\n", row.name, row.description);
        if (row.needsDisplay && !display) {
            std::printf("  skipped: no X display (bench/run.sh starts one with xvfb-run when it is installed)\n");
            continue;
        }
        std::fflush(stdout);
        row.run(bench);
    }
    bench.summary().print();
    return 0;
}

[[noreturn]] void Usage(int status = 2)
{
    std::string rows;
    for (const Row& row : Rows())
        rows += "                  " + std::string(row.name) + ": " + row.description + "\n";
    std::fprintf(status ? stderr : stdout,
        "usage: korvel_bench --hub PATH --reference PATH [options]\n"
        "\n"
        "  --quick         shorter measurements and three rounds (a couple of minutes)\n"
        "  --seconds S     length of each measurement (default 3, quick 1)\n"
        "  --rounds N      rounds of each comparison; the median counts (default 5, quick 3)\n"
        "  --rows A,B      only these rows, of:\n"
        "%s"
        "  --base-port N   the hub's and the reference's base port (default 19500)\n"
        "  --window N      status reports in flight in the throughput runs (default: 32,768\n"
        "                  forwards' worth, 16 to 2,048 reports)\n"
        "  --work DIR      working folder, made when it does not exist (default: a new one\n"
        "                  under /tmp, removed at the end)\n"
        "  --source A      the reporting system's loopback address (default 127.0.40.2)\n"
        "  --sinks A       the first sink's loopback address; the others follow it, 250 to\n"
        "                  a block (default 127.0.50.1: 127.0.50.1-250, 127.0.51.1, ...)\n"
        "  --keep          keep the working folder, with each program's output.log\n"
        "  --no-placement  let the scheduler place the relay and the harness in the paced\n"
        "                  rows (by default the relay has the last CPU, the harness the rest)\n"
        "  --screenshot F  save the screen into F halfway through the window row\n",
        rows.c_str());
    std::exit(status);
}

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            items.push_back(item);
    return items;
}

} // namespace

} // namespace korvel::bench

int main(int argc, char* argv[])
{
    using namespace korvel::bench;
    Config config;
    bool secondsGiven = false, roundsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage();
            return argv[++i];
        };
        if (arg == "--hub")
            config.hub = value();
        else if (arg == "--reference")
            config.reference = value();
        else if (arg == "--quick")
            config.quick = true;
        else if (arg == "--seconds")
            config.seconds = std::stod(value()), secondsGiven = true;
        else if (arg == "--rounds" || arg == "--repeats")
            config.rounds = std::stoi(value()), roundsGiven = true;
        else if (arg == "--rows")
            config.rows = SplitList(value());
        else if (arg == "--base-port")
            config.basePort = std::stoi(value());
        else if (arg == "--window")
            config.window = std::stoull(value());
        else if (arg == "--work")
            config.work = value();
        else if (arg == "--source")
            config.source = value();
        else if (arg == "--sinks")
            config.firstSink = value();
        else if (arg == "--keep")
            config.keepWork = true;
        else if (arg == "--no-placement")
            config.placement = false;
        else if (arg == "--screenshot")
            config.screenshot = std::filesystem::absolute(value()).string();
        else if (arg == "--help" || arg == "-h")
            Usage(0);
        else
            Usage();
    }
    if (config.hub.empty() || config.reference.empty())
        Usage();
    for (const std::string& row : config.rows) {
        const auto& rows = Rows();
        if (std::none_of(rows.begin(), rows.end(), [&](const Row& known) { return row == known.name; }))
            Die("no row called " + row + " (see --help)");
    }
    if (config.quick) {
        if (!secondsGiven)
            config.seconds = 1;
        if (!roundsGiven)
            config.rounds = 3;
    }
    const bool ownWork = config.work.empty();
    if (ownWork) {
        char folder[] = "/tmp/korvel-bench-XXXXXX";
        if (!mkdtemp(folder))
            Die("cannot make a working folder");
        config.work = folder;
    } else {
        // A folder that is not there yet is made, so that no program of the
        // run finds its files missing.
        std::error_code error;
        std::filesystem::create_directories(config.work, error);
        if (error || !std::filesystem::is_directory(config.work))
            Die("--work " + config.work.string() + ": " + (error ? error.message() : std::string("not a folder")));
        config.work = std::filesystem::absolute(config.work);
    }
    config.hub = std::filesystem::absolute(config.hub).string();
    config.reference = std::filesystem::absolute(config.reference).string();
    const auto work = config.work;
    const bool keep = config.keepWork;
    const int status = Run(std::move(config));
    if (ownWork && !keep)
        std::filesystem::remove_all(work);
    return status;
}
