#pragma once

#include "processes.h"
#include "sinks.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::bench {

struct Config {
    std::string hub;
    std::string reference;
    std::filesystem::path work;
    int basePort = 19500;
    bool quick = false;
    double seconds = 3;
    int rounds = 5;
    // Reports in flight in the throughput runs; 0: about 32,000 forwards'
    // worth, so that a sink or generator waiting for a CPU does not leave
    // the relay idle, and no socket on the way can overflow.
    std::uint64_t window = 0;
    bool keepWork = false;
    std::vector<std::string> rows;
    std::string screenshot;
    // The system that sends the reports, and the first of the sinks; the
    // sinks take the addresses after it, 250 to a block of 127.0.x.
    std::string source = "127.0.40.2";
    std::string firstSink = "127.0.50.1";
    // The paced rows give the relay a CPU of its own and the harness the
    // others, so that where the scheduler puts each does not swing the
    // figures from round to round.
    bool placement = true;
};

enum class Relay { Hub, Reference };
const char* RelayName(Relay relay);

// Addresses and ports stay clear of the 127.0.0.x systems and the 9000-9004
// and 19000 ports that the test suites use, so a benchmark can run beside them.
// The sinks' and the source's addresses are options (--sinks, --source), so
// that two benchmarks can run side by side, each with a base port of its own.
inline const std::string kServer = "127.0.0.1";
inline constexpr int kSinkSystemPort = 29000;
inline constexpr int kSourceSystemPort = 29100;
// The most sinks a row uses.
inline constexpr int kMostSinks = 1000;

// The n-th address (from 0) of a block of loopback addresses that starts at
// 127.0.<firstBlock>.1, 250 to a block.
std::string BlockAddress(int firstBlock, int n);
std::vector<std::string> Addresses(int firstBlock, int count);
// `count` addresses from `first` on, 250 to a block (x.y.z.1 to x.y.z.250),
// so that 127.0.50.1 gives 127.0.50.1 to 127.0.50.250, 127.0.51.1, ...; empty
// when they would run past x.y.255.
std::vector<std::string> AddressesFrom(const std::string& first, int count);

// Figures of several rounds.
double Median(std::vector<double> values);
// "min..max" of the values, with `digits` decimals.
std::string Spread(const std::vector<double>& values, int digits);
// The value at `fraction` (0..1) of the sorted values, nearest rank.
double Percentile(const std::vector<double>& sorted, double fraction);
std::string Fixed(double value, int digits);

// What a run prints at its end: one table of all rows and the RESULT line.
class Summary {
public:
    void line(const std::string& scenario, const std::string& hub, const std::string& reference = "",
        const std::string& ratio = "", const std::string& spread = "");
    // A RESULT key; keys come out in the order of kResultKeys, then any others
    // in the order given.
    void result(const std::string& key, const std::string& value);
    void addLost(std::uint64_t datagrams) { lost_ += datagrams; }
    void print() const;

private:
    struct Line {
        std::string scenario, hub, reference, ratio, spread;
    };
    std::vector<Line> lines_;
    std::vector<std::pair<std::string, std::string>> results_;
    std::uint64_t lost_ = 0;
};

// The state shared by every row: the configuration, the summary, and how to
// start the programs under test.
class Bench {
public:
    explicit Bench(Config config)
        : config_(std::move(config))
    {
    }

    const Config& config() const { return config_; }
    Summary& summary() { return summary_; }
    bool quick() const { return config_.quick; }
    // Length of a measurement, and rounds of a comparison.
    double seconds() const { return config_.seconds; }
    int rounds() const { return config_.rounds; }
    int basePort() const { return config_.basePort; }
    const std::filesystem::path& work() const { return config_.work; }
    const std::string& source() const { return config_.source; }
    // The first `count` sinks, at the port the hub forwards status reports to.
    std::vector<SinkAddress> sinkAddresses(int count) const;

    // The hub, headless unless `extraArgs` ask otherwise, in a fresh folder
    // whose system.dat lists `systems` in order.
    std::unique_ptr<ChildProcess> startHub(const std::string& label, const std::vector<HubSystem>& systems,
        const std::vector<std::string>& args = { "--headless" }, std::int64_t readyTimeoutNs = 20'000'000'000);
    std::unique_ptr<ChildProcess> startReference(const std::string& label, const std::vector<std::string>& args);
    // A relay whose QVX endpoint (base port + 1) forwards every status report
    // from source() to every sink.
    // `hubArgs` go to the hub after --headless.
    std::unique_ptr<ChildProcess> startFanoutRelay(
        Relay relay, const std::vector<SinkAddress>& sinks, const std::vector<std::string>& hubArgs = {});

private:
    Config config_;
    Summary summary_;
};

// A part of the benchmark. To add one, write a function that measures (with
// the helpers above and in sinks.h, load_generator.h, tcp_clients.h), puts its
// lines and RESULT keys into bench.summary(), and list it in Rows().
struct Row {
    const char* name;
    const char* description;
    // Rows that open the hub's window need an X display.
    bool needsDisplay;
    void (*run)(Bench& bench);
};
const std::vector<Row>& Rows();

void FanoutRows(Bench& bench);
void LatencyRow(Bench& bench);
void SharedLoopRow(Bench& bench);
void StoreRow(Bench& bench);
void TcpRow(Bench& bench);
void SaveRow(Bench& bench);
void WindowRow(Bench& bench);
void ClusterRow(Bench& bench);
void WebRow(Bench& bench);
void FloodRow(Bench& bench);
void SipRow(Bench& bench);
void SipInRow(Bench& bench);

} // namespace korvel::bench
