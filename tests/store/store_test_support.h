#pragma once

#include "store/system_files.h"
#include "store/system_table.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace korvel::testing {

// Remembers every view rebuild the table asks for, in order.
class RecordingObserver : public SystemViewObserver {
public:
    void refreshSystemList() override { events.push_back("refresh"); }
    void fillStationView(const SystemEntry& entry) override { events.push_back("fill " + entry.IpAddress); }
    void clearStationView() override { events.push_back("clear"); }

    // The events since the last call.
    std::vector<std::string> take() { return std::exchange(events, {}); }

    std::vector<std::string> events;
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A table whose data folder lives in a fresh temporary folder, with an
// observer attached and a clock the test sets.
class TableTest : public ::testing::Test {
protected:
    TableTest() { table.setObserver(&observer); }

    // Save and load as the hub does: a file without a usable base port keeps
    // the one in use.
    void save() { SaveSystems(table, basePort); }
    void load()
    {
        if (const auto loaded = LoadSystems(table).basePort)
            basePort = *loaded;
    }

    std::filesystem::path root() const { return temp_.path().toStdString(); }
    std::filesystem::path data() const { return root() / "data"; }

    QTemporaryDir temp_;
    RecordingObserver observer;
    std::int64_t clock = 1'000'000;
    std::int32_t basePort = 9000;
    SystemTable table { data(), [this] { return clock; } };
};

} // namespace korvel::testing
