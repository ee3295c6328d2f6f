#include "store_test_support.h"

#include <gmock/gmock.h>

#include <thread>

using namespace korvel;
using korvel::testing::ReadFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class SystemTableTest : public korvel::testing::TableTest { };

std::vector<std::string> AddressesOf(const SystemTable& table)
{
    std::vector<std::string> addresses;
    for (const SystemEntry& entry : table.systems())
        addresses.push_back(entry.IpAddress);
    return addresses;
}

} // namespace

TEST_F(SystemTableTest, AddressesMatchExactlyAndStationsIgnoreCase)
{
    ASSERT_TRUE(table.addSystem("127.0.0.1", "", kTypeQvx));
    ASSERT_TRUE(table.addSystem("Host-A", "", kTypeVelka));

    EXPECT_EQ(table.findSystem("127.0.0.01"), nullptr);
    EXPECT_EQ(table.findSystem("127.0.0.1 "), nullptr);
    EXPECT_EQ(table.findSystem("host-a"), nullptr) << "letter case counts in addresses";
    EXPECT_EQ(table.getSystemType("Host-A"), kTypeVelka);
    EXPECT_EQ(table.getSystemType("nowhere"), 0);
    EXPECT_EQ(table.getStationList("nowhere"), nullptr);

    table.setStationStatus("127.0.0.1", "Ab12", 1);
    table.setStationStatus("127.0.0.1", "3000", 0);
    table.setStationStatus("127.0.0.1", "aB12", 2);
    const SystemEntry* entry = table.findSystem("127.0.0.1");
    EXPECT_THAT(entry->Stations, ElementsAre("Ab12", "3000")) << "the first spelling stays";
    EXPECT_THAT(entry->StationStates, ElementsAre(2, 0));
    EXPECT_TRUE(table.isStationRegistered("127.0.0.1", "AB12"));
    EXPECT_FALSE(table.isStationRegistered("127.0.0.1", "Ab1"));
    EXPECT_FALSE(table.isStationRegistered("Host-A", "Ab12"));

    table.setStationStatus("nowhere", "1", 0);
    EXPECT_EQ(table.size(), 2u);
}

TEST_F(SystemTableTest, AddSystemKeepsAKnownSystemAndLeavesTheStationFileToTheNextSave)
{
    clock = 500;
    ASSERT_TRUE(table.addSystem("127.0.0.1", "", kTypeQvx));
    const SystemEntry& entry = *table.findSystem("127.0.0.1");
    EXPECT_EQ(entry.ToIp, "127.0.0.1");
    EXPECT_EQ(entry.Port, 9000);
    EXPECT_EQ(entry.EndpointType, 2);
    EXPECT_EQ(entry.Status, SystemStatus::Unknown);
    EXPECT_EQ(entry.LastHeard, 500);
    EXPECT_FALSE(std::filesystem::exists(data() / "127.0.0.1.dat"));
    save();
    EXPECT_EQ(ReadFile(data() / "127.0.0.1.dat"), "");

    table.setSystemName("127.0.0.1", "PBX1");
    table.setSystemStatus("127.0.0.1", SystemStatus::Working);
    EXPECT_FALSE(table.addSystem("127.0.0.1", "127.0.0.1", kTypeVelka));
    EXPECT_EQ(entry.Name, "PBX1");
    EXPECT_EQ(entry.Type, kTypeQvx);
    EXPECT_EQ(entry.Status, SystemStatus::Working);
    EXPECT_EQ(table.size(), 1u);
}

TEST_F(SystemTableTest, ReKeyingCanLeaveTwoEntriesWithOneAddressAndTheEarlierWins)
{
    // Known from an earlier run under the address it announces, then heard
    // from another address: the handler adds that address first.
    table.addSystem("127.0.0.5", "", kTypeQvx);
    table.addSystem("127.0.0.7", "", kTypeQvx);
    table.addSystem("127.0.0.9", "", kTypeQvx);
    observer.take();
    clock += 40;

    table.replaceSystemAddress("127.0.0.9", "127.0.0.5");
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.9", "127.0.0.7", "127.0.0.9"));
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    EXPECT_EQ(table.findSystem("127.0.0.5"), nullptr);
    SystemEntry* found = table.findSystem("127.0.0.9");
    ASSERT_EQ(found, &table.systems().front());
    EXPECT_EQ(found->ToIp, "127.0.0.5");
    EXPECT_EQ(found->LastHeard, clock);

    table.setSystemName("127.0.0.9", "PBX9");
    table.setSystemPort("127.0.0.9", 9100);
    EXPECT_EQ(table.systems().front().Name, "PBX9");
    EXPECT_EQ(table.systems().front().Port, 9100);
    EXPECT_EQ(table.systems().back().Name, "");

    // Deleting the earlier one uncovers the later one.
    table.removeEntry(*table.findSystem("127.0.0.9"));
    ASSERT_NE(table.findSystem("127.0.0.9"), nullptr);
    EXPECT_EQ(table.findSystem("127.0.0.9")->ToIp, "127.0.0.9");

    // Re-keying the earlier entry onto a later one's address: the earlier still wins.
    table.replaceSystemAddress("127.0.0.9", "127.0.0.7");
    EXPECT_EQ(table.findSystem("127.0.0.9"), &table.systems().front());
    EXPECT_EQ(table.findSystem("127.0.0.7"), nullptr);

    // Every entry announcing the address is re-keyed, one rebuild each.
    observer.take();
    table.replaceSystemAddress("127.0.0.1", "127.0.0.9");
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.9", "127.0.0.1"));
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    table.replaceSystemAddress("127.0.0.2", "no such");
    EXPECT_THAT(observer.take(), IsEmpty());
}

TEST_F(SystemTableTest, LookupsFollowDeletesAndClears)
{
    for (const char* ip : { "127.0.0.1", "127.0.0.2", "127.0.0.3" })
        table.addSystem(ip, ip, kTypeQvx);
    table.setStationStatus("127.0.0.2", "21", 0);
    save();

    table.removeSystem("127.0.0.2");
    EXPECT_EQ(table.findSystem("127.0.0.2"), nullptr);
    EXPECT_EQ(table.findSystem("127.0.0.3")->Name, "127.0.0.3");
    EXPECT_TRUE(std::filesystem::exists(data() / "127.0.0.2.dat")) << "deleting leaves the station file";

    EXPECT_TRUE(table.addSystem("127.0.0.2", "again", kTypeQvx));
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.1", "127.0.0.3", "127.0.0.2"));
    EXPECT_FALSE(table.isStationRegistered("127.0.0.2", "21"));

    table.removeSystem("no such");
    EXPECT_EQ(table.size(), 3u) << "nothing named, nothing deleted";

    table.clearAllSystems();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.findSystem("127.0.0.1"), nullptr);
    EXPECT_TRUE(table.addSystem("127.0.0.1", "", kTypeQvx));
    EXPECT_EQ(table.findSystem("127.0.0.1"), &table.systems().front());
}

TEST_F(SystemTableTest, ASystemHoldsAtMost3000Stations)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    for (int i = 0; i < 3000; ++i)
        table.setStationStatus("127.0.0.1", "S" + std::to_string(i), 0);
    const SystemEntry& entry = *table.findSystem("127.0.0.1");
    ASSERT_EQ(entry.Stations.size(), 3000u);
    EXPECT_EQ(entry.Stations.back(), "S2999");

    table.setStationStatus("127.0.0.1", "S3000", 1);
    EXPECT_EQ(entry.Stations.size(), 3000u);
    EXPECT_EQ(entry.StationStates.size(), 3000u);
    EXPECT_FALSE(table.isStationRegistered("127.0.0.1", "S3000"));

    table.setStationStatus("127.0.0.1", "s2999", 4);
    EXPECT_EQ(entry.StationStates.back(), 4) << "a known station is still updated at the cap";
}

TEST_F(SystemTableTest, ViewsAreRebuiltExactlyWhereTheTableChangesWhatTheyShow)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.addSystem("127.0.0.2", "", kTypeQvx);
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));

    table.setSystemStatus("127.0.0.1", SystemStatus::Working);
    table.setSystemStatus("127.0.0.1", SystemStatus::Working);
    table.setSystemName("127.0.0.1", "PBX");
    EXPECT_THAT(observer.take(), ElementsAre("refresh", "refresh", "refresh"));

    table.setSystemPort("127.0.0.1", 9100);
    table.setEndpointType("127.0.0.1", 3);
    table.setStationStatus("127.0.0.1", "11", 0);
    EXPECT_THAT(observer.take(), IsEmpty()) << "port, endpoint type and stations show at the next rebuild";

    table.removeSystem("127.0.0.1");
    EXPECT_THAT(observer.take(), ElementsAre("refresh")) << "the station view keeps the deleted system's rows";
    table.setStationStatus("127.0.0.2", "21", 2);
    EXPECT_THAT(observer.take(), IsEmpty());

    table.clearAllSystems();
    EXPECT_THAT(observer.take(), ElementsAre("refresh", "clear"));

    // Without an observer the same calls draw nothing and change the table alike.
    table.setObserver(nullptr);
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.setStationStatus("127.0.0.1", "11", 0);
    table.removeSystem("127.0.0.1");
    table.clearAllSystems();
    load();
    EXPECT_THAT(observer.events, IsEmpty());
}

// The table belongs to the thread that made it: a sender thread that changed
// it, or only looked something up, would race the receive path.
TEST_F(SystemTableTest, UseFromAnotherThreadStopsTheProgram)
{
    if (!ThreadCheck::kActive)
        GTEST_SKIP() << "a release build leaves the thread checks out";
    table.addSystem("127.0.0.2", "Q2", kTypeQvx);
    EXPECT_DEATH(std::thread([this] { table.setSystemStatus("127.0.0.2", SystemStatus::Working); }).join(),
        "SystemTable::FindSystem called off the thread that owns it");
    EXPECT_DEATH(std::thread([this] { table.clearAllSystems(); }).join(), "SystemTable::clear called off");
}
