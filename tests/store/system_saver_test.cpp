#include "store/system_saver.h"
#include "store_test_support.h"

#include <gmock/gmock.h>

#include <map>

using namespace korvel;
using korvel::testing::ReadFile;

namespace {

std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        files[item.path().filename().string()] = ReadFile(item.path());
    return files;
}

using SystemSaverTest = korvel::testing::TableTest;

} // namespace

TEST_F(SystemSaverTest, ABackgroundSaveWritesTheTableAsItWasWhenItStarted)
{
    for (int system = 0; system < 100; ++system) {
        const std::string ip = "127.0." + std::to_string(system / 250) + "." + std::to_string(system % 250 + 1);
        table.addSystem(ip, "PBX" + std::to_string(system), kTypeQvx);
        for (int station = 0; station < 300; ++station)
            table.setStationStatus(ip, std::to_string(40000 + station), 0);
    }
    // What a save on this thread writes, from a table of the same content.
    const std::filesystem::path expected = root() / "expected";
    SystemTable copy(expected);
    for (const SystemEntry& entry : table.systems())
        copy.appendEntry(entry.IpAddress, entry.Name, entry.Type, entry.EndpointType, entry.Port, entry.ToIp)
            .setStations(entry.Stations.toVector());
    ASSERT_TRUE(SaveSystems(copy, 19000).ok());

    int finished = 0;
    SystemSaver saver(table, [&] { ++finished; });
    ASSERT_TRUE(saver.start(19000));
    EXPECT_FALSE(saver.start(19000)) << "never two at a time";
    // Changes while the worker writes reach the next save, not this one.
    SystemEntry& first = *table.findSystem("127.0.0.1");
    table.setStationStatus(first, "99999", 0);
    table.findSystem("127.0.0.2")->setStations({ "1" });
    table.removeSystem("127.0.0.3");
    const std::optional<SaveReport> report = saver.wait();
    ASSERT_TRUE(report && report->ok());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(FilesIn(data()), FilesIn(expected)) << "the same bytes as a save on this thread";

    ASSERT_TRUE(saver.start(19000));
    ASSERT_TRUE(saver.wait());
    EXPECT_EQ(ReadFile(data() / "127.0.0.2.dat"), "1\r\n");
    EXPECT_THAT(ReadFile(data() / "127.0.0.1.dat"), ::testing::EndsWith("40299\r\n99999\r\n"));
    EXPECT_EQ(ReadFile(data() / "system.dat").find("127.0.0.3\t"), std::string::npos);
    EXPECT_FALSE(saver.collect()) << "each report is collected once";
}
