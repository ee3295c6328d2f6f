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
    for (const SystemEntry& entry : table.Systems())
        addresses.push_back(entry.IpAddress);
    return addresses;
}

} // namespace

TEST_F(SystemTableTest, AddressesMatchExactlyAndStationsIgnoreCase)
{
    ASSERT_TRUE(table.AddSystem("127.0.0.1", "", kTypeQvx));
    ASSERT_TRUE(table.AddSystem("Host-A", "", kTypeVelka));

    EXPECT_EQ(table.FindSystem("127.0.0.01"), nullptr);
    EXPECT_EQ(table.FindSystem("127.0.0.1 "), nullptr);
    EXPECT_EQ(table.FindSystem("host-a"), nullptr) << "letter case counts in addresses";
    EXPECT_EQ(table.GetSystemType("Host-A"), kTypeVelka);
    EXPECT_EQ(table.GetSystemType("nowhere"), 0);
    EXPECT_EQ(table.GetStationList("nowhere"), nullptr);

    table.SetStationStatus("127.0.0.1", "Ab12", 1);
    table.SetStationStatus("127.0.0.1", "3000", 0);
    table.SetStationStatus("127.0.0.1", "aB12", 2);
    const SystemEntry* entry = table.FindSystem("127.0.0.1");
    EXPECT_THAT(entry->Stations, ElementsAre("Ab12", "3000")) << "the first spelling stays";
    EXPECT_THAT(entry->StationStates, ElementsAre(2, 0));
    EXPECT_TRUE(table.IsStationRegistered("127.0.0.1", "AB12"));
    EXPECT_FALSE(table.IsStationRegistered("127.0.0.1", "Ab1"));
    EXPECT_FALSE(table.IsStationRegistered("Host-A", "Ab12"));

    table.SetStationStatus("nowhere", "1", 0);
    EXPECT_EQ(table.size(), 2u);
}

TEST_F(SystemTableTest, AddSystemKeepsAKnownSystemAndLeavesTheStationFileToTheNextSave)
{
    clock = 500;
    ASSERT_TRUE(table.AddSystem("127.0.0.1", "", kTypeQvx));
    const SystemEntry& entry = *table.FindSystem("127.0.0.1");
    EXPECT_EQ(entry.ToIp, "127.0.0.1");
    EXPECT_EQ(entry.Port, 9000);
    EXPECT_EQ(entry.EndpointType, 2);
    EXPECT_EQ(entry.Status, SystemStatus::Unknown);
    EXPECT_EQ(entry.LastHeard, 500);
    EXPECT_FALSE(std::filesystem::exists(data() / "127.0.0.1.dat"));
    save();
    EXPECT_EQ(ReadFile(data() / "127.0.0.1.dat"), "");

    table.SetSystemName("127.0.0.1", "PBX1");
    table.SetSystemStatus("127.0.0.1", SystemStatus::Working);
    EXPECT_FALSE(table.AddSystem("127.0.0.1", "127.0.0.1", kTypeVelka));
    EXPECT_EQ(entry.Name, "PBX1");
    EXPECT_EQ(entry.Type, kTypeQvx);
    EXPECT_EQ(entry.Status, SystemStatus::Working);
    EXPECT_EQ(table.size(), 1u);
}

TEST_F(SystemTableTest, ReKeyingCanLeaveTwoEntriesWithOneAddressAndTheEarlierWins)
{
    // Known from an earlier run under the address it announces, then heard
    // from another address: the handler adds that address first.
    table.AddSystem("127.0.0.5", "", kTypeQvx);
    table.AddSystem("127.0.0.7", "", kTypeQvx);
    table.AddSystem("127.0.0.9", "", kTypeQvx);
    observer.take();
    clock += 40;

    table.ReplaceSystemAddress("127.0.0.9", "127.0.0.5");
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.9", "127.0.0.7", "127.0.0.9"));
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    EXPECT_EQ(table.FindSystem("127.0.0.5"), nullptr);
    SystemEntry* found = table.FindSystem("127.0.0.9");
    ASSERT_EQ(found, &table.Systems().front());
    EXPECT_EQ(found->ToIp, "127.0.0.5");
    EXPECT_EQ(found->LastHeard, clock);

    table.SetSystemName("127.0.0.9", "PBX9");
    table.SetSystemPort("127.0.0.9", 9100);
    EXPECT_EQ(table.Systems().front().Name, "PBX9");
    EXPECT_EQ(table.Systems().front().Port, 9100);
    EXPECT_EQ(table.Systems().back().Name, "");

    // Deleting the earlier one uncovers the later one.
    table.RemoveEntry(*table.FindSystem("127.0.0.9"));
    ASSERT_NE(table.FindSystem("127.0.0.9"), nullptr);
    EXPECT_EQ(table.FindSystem("127.0.0.9")->ToIp, "127.0.0.9");

    // Re-keying the earlier entry onto a later one's address: the earlier still wins.
    table.ReplaceSystemAddress("127.0.0.9", "127.0.0.7");
    EXPECT_EQ(table.FindSystem("127.0.0.9"), &table.Systems().front());
    EXPECT_EQ(table.FindSystem("127.0.0.7"), nullptr);

    // Every entry announcing the address is re-keyed, one rebuild each.
    observer.take();
    table.ReplaceSystemAddress("127.0.0.1", "127.0.0.9");
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.9", "127.0.0.1"));
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    table.ReplaceSystemAddress("127.0.0.2", "no such");
    EXPECT_THAT(observer.take(), IsEmpty());
}

TEST_F(SystemTableTest, LookupsFollowDeletesAndClears)
{
    for (const char* ip : { "127.0.0.1", "127.0.0.2", "127.0.0.3" })
        table.AddSystem(ip, ip, kTypeQvx);
    table.SetStationStatus("127.0.0.2", "21", 0);
    save();

    table.RemoveSystem("127.0.0.2");
    EXPECT_EQ(table.FindSystem("127.0.0.2"), nullptr);
    EXPECT_EQ(table.FindSystem("127.0.0.3")->Name, "127.0.0.3");
    EXPECT_TRUE(std::filesystem::exists(data() / "127.0.0.2.dat")) << "deleting leaves the station file";

    EXPECT_TRUE(table.AddSystem("127.0.0.2", "again", kTypeQvx));
    EXPECT_THAT(AddressesOf(table), ElementsAre("127.0.0.1", "127.0.0.3", "127.0.0.2"));
    EXPECT_FALSE(table.IsStationRegistered("127.0.0.2", "21"));

    table.RemoveSystem("no such");
    EXPECT_EQ(table.size(), 3u) << "nothing named, nothing deleted";

    table.ClearAllSystems();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.FindSystem("127.0.0.1"), nullptr);
    EXPECT_TRUE(table.AddSystem("127.0.0.1", "", kTypeQvx));
    EXPECT_EQ(table.FindSystem("127.0.0.1"), &table.Systems().front());
}

TEST_F(SystemTableTest, ASystemHoldsAtMost3000Stations)
{
    table.AddSystem("127.0.0.1", "", kTypeQvx);
    for (int i = 0; i < 3000; ++i)
        table.SetStationStatus("127.0.0.1", "S" + std::to_string(i), 0);
    const SystemEntry& entry = *table.FindSystem("127.0.0.1");
    ASSERT_EQ(entry.Stations.size(), 3000u);
    EXPECT_EQ(entry.Stations.back(), "S2999");

    table.SetStationStatus("127.0.0.1", "S3000", 1);
    EXPECT_EQ(entry.Stations.size(), 3000u);
    EXPECT_EQ(entry.StationStates.size(), 3000u);
    EXPECT_FALSE(table.IsStationRegistered("127.0.0.1", "S3000"));

    table.SetStationStatus("127.0.0.1", "s2999", 4);
    EXPECT_EQ(entry.StationStates.back(), 4) << "a known station is still updated at the cap";
}

TEST_F(SystemTableTest, ViewsAreRebuiltExactlyWhereTheTableChangesWhatTheyShow)
{
    table.AddSystem("127.0.0.1", "", kTypeQvx);
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));
    table.AddSystem("127.0.0.1", "", kTypeQvx);
    table.AddSystem("127.0.0.2", "", kTypeQvx);
    EXPECT_THAT(observer.take(), ElementsAre("refresh"));

    table.SetSystemStatus("127.0.0.1", SystemStatus::Working);
    table.SetSystemStatus("127.0.0.1", SystemStatus::Working);
    table.SetSystemName("127.0.0.1", "PBX");
    EXPECT_THAT(observer.take(), ElementsAre("refresh", "refresh", "refresh"));

    table.SetSystemPort("127.0.0.1", 9100);
    table.SetEndpointType("127.0.0.1", 3);
    table.SetStationStatus("127.0.0.1", "11", 0);
    EXPECT_THAT(observer.take(), IsEmpty()) << "port, endpoint type and stations show at the next rebuild";

    table.RemoveSystem("127.0.0.1");
    EXPECT_THAT(observer.take(), ElementsAre("refresh")) << "the station view keeps the deleted system's rows";
    table.SetStationStatus("127.0.0.2", "21", 2);
    EXPECT_THAT(observer.take(), IsEmpty());

    table.ClearAllSystems();
    EXPECT_THAT(observer.take(), ElementsAre("refresh", "clear"));

    // Without an observer the same calls draw nothing and change the table alike.
    table.setObserver(nullptr);
    table.AddSystem("127.0.0.1", "", kTypeQvx);
    table.SetStationStatus("127.0.0.1", "11", 0);
    table.RemoveSystem("127.0.0.1");
    table.ClearAllSystems();
    load();
    EXPECT_THAT(observer.events, IsEmpty());
}

// The table belongs to the thread that made it: a sender thread that changed
// it, or only looked something up, would race the receive path.
TEST_F(SystemTableTest, UseFromAnotherThreadStopsTheProgram)
{
    if (!ThreadCheck::kActive)
        GTEST_SKIP() << "a release build leaves the thread checks out";
    table.AddSystem("127.0.0.2", "Q2", kTypeQvx);
    EXPECT_DEATH(std::thread([this] { table.SetSystemStatus("127.0.0.2", SystemStatus::Working); }).join(),
        "SystemTable::FindSystem called off the thread that owns it");
    EXPECT_DEATH(std::thread([this] { table.ClearAllSystems(); }).join(), "SystemTable::clear called off");
}
