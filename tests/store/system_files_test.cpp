#include "store/atomic_file.h"
#include "store/system_file_format.h"
#include "store_test_support.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <map>

using namespace korvel;
using korvel::testing::ReadFile;
using korvel::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class SystemFilesTest : public korvel::testing::TableTest {
protected:
    void loadSystemFile(const std::string& content)
    {
        WriteFile(data() / "system.dat", content);
        load();
    }

    // One line per system: address, to-ip, port, type, endpoint type, name.
    std::vector<std::string> rows() const
    {
        std::vector<std::string> rows;
        for (const SystemEntry& e : table.systems())
            rows.push_back(e.IpAddress + " " + e.ToIp + " " + std::to_string(e.Port) + " " + std::to_string(e.Type)
                + " " + std::to_string(e.EndpointType) + " [" + e.Name + "]");
        return rows;
    }
};

} // namespace

TEST(SystemFileFormat, ScansFieldsTheWayScanfDoes)
{
    std::string a, b;
    std::int32_t n = -7;
    const datfile::ScanTarget textText[] = { &a, &b };
    EXPECT_EQ(datfile::ScanLine("one   two three\r\n", "%s\t%s", textText), 2) << "a TAB matches blanks";
    EXPECT_EQ(a, "one");
    EXPECT_EQ(b, "two");
    b = "kept";
    EXPECT_EQ(datfile::ScanLine(" \t solo\n", "%s\t%s", textText), 1);
    EXPECT_EQ(a, "solo");
    EXPECT_EQ(b, "kept") << "a field not read keeps its value";

    const datfile::ScanTarget numberText[] = { &n, &a };
    EXPECT_EQ(datfile::ScanLine("12abc", "%d\t%s", numberText), 2) << "a TAB also matches no white space";
    EXPECT_EQ(n, 12);
    EXPECT_EQ(a, "abc");
    EXPECT_EQ(datfile::ScanLine("-3\tx", "%d\t%s", numberText), 2);
    EXPECT_EQ(n, -3);
    EXPECT_EQ(datfile::ScanLine("+\tx", "%d\t%s", numberText), 0);
    EXPECT_EQ(datfile::ScanLine("99999999999 x", "%d\t%s", numberText), 2);
    EXPECT_EQ(n, 2147483647) << "too large saturates";
    EXPECT_EQ(datfile::ScanLine(std::string("ab\0cd ef", 8), "%s\t%s", textText), 1) << "a zero byte ends the line";
    EXPECT_EQ(a, "ab");

    const datfile::ScanTarget version[] = { &n };
    EXPECT_EQ(datfile::ScanLine("Version:4\r\n", "Version : %d", version), 1);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(datfile::ScanLine("Version 4", "Version : %d", version), 0);
    EXPECT_EQ(datfile::ScanLine("version : 4", "Version : %d", version), 0);
}

TEST_F(SystemFilesTest, SavesTheExactTextForm)
{
    basePort = 19000;
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.appendEntry("127.0.0.2", "Main PBX", kTypeVelka, 3, -5, "127.168.1.2");
    table.setStationStatus("127.0.0.2", "100", 0);
    table.setStationStatus("127.0.0.2", "2a", 1);
    save();

    EXPECT_EQ(ReadFile(data() / "system.dat"),
        "Version : 5\r\n"
        "Base Port : 19000\r\n"
        "127.0.0.1\t127.0.0.1\t9000\t0\t2\t\r\n"
        "127.0.0.2\t127.168.1.2\t-5\t1\t3\tMain PBX\r\n");
    EXPECT_EQ(ReadFile(data() / "127.0.0.1.dat"), "");
    EXPECT_EQ(ReadFile(data() / "127.0.0.2.dat"), "100\r\n2a\r\n");
}

TEST_F(SystemFilesTest, ASavedTableLoadsBackWithItsStations)
{
    basePort = 19500;
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.setSystemName("127.0.0.1", "Main PBX");
    table.setSystemPort("127.0.0.1", 9100);
    table.setEndpointType("127.0.0.1", 3);
    table.setSystemStatus("127.0.0.1", SystemStatus::Working);
    table.setStationStatus("127.0.0.1", "200", 1);
    table.setStationStatus("127.0.0.1", "201", 2);
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeVelka);
    table.appendEntry("127.0.0.3", "", kTypeQvx, 2, 9000, "172.16.0.3");
    save();

    SystemTable loaded(data(), [] { return 42; });
    EXPECT_EQ(LoadSystems(loaded).basePort, 19500);
    ASSERT_EQ(loaded.size(), 3u);
    const SystemEntry& first = loaded.systems().front();
    EXPECT_EQ(first.Name, "Main") << "a name keeps its first word";
    EXPECT_EQ(first.Port, 9100);
    EXPECT_EQ(first.EndpointType, 3);
    EXPECT_EQ(first.Status, SystemStatus::Unknown);
    EXPECT_EQ(first.LastHeard, 42);
    EXPECT_THAT(first.Stations, ElementsAre("200", "201"));
    EXPECT_THAT(first.StationStates, ElementsAre(-1, -1));
    EXPECT_TRUE(loaded.isStationRegistered("127.0.0.1", "201"));
    EXPECT_EQ(loaded.getSystemType("127.0.0.2"), kTypeVelka);
    EXPECT_EQ(loaded.findSystem("127.0.0.2")->Name, "127.0.0.2");
    EXPECT_EQ(loaded.findSystem("127.0.0.3")->ToIp, "172.16.0.3");
    EXPECT_EQ(loaded.findSystem("127.0.0.3")->Name, "");
}

TEST_F(SystemFilesTest, ReadsEveryVersionOfSystemDat)
{
    basePort = 9000;
    loadSystemFile("127.0.0.1\tAlpha\r\n127.0.0.2   Beta 7 8\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [Alpha]", "127.0.0.2 127.0.0.2 9000 0 2 [Beta]"));

    loadSystemFile("Version : 1\r\n127.0.0.1\t1\tAlpha\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.0.0.1 9000 1 2 [Alpha]"));

    loadSystemFile("Version : 2\r\n127.0.0.1\t127.9.9.1\t1\tAlpha\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.9.9.1 9000 1 2 [Alpha]"));

    loadSystemFile("Version : 3\r\n127.0.0.1\t127.9.9.1\t1\t3\tAlpha\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.9.9.1 9000 1 3 [Alpha]"));

    loadSystemFile(
        "Version : 4\r\n127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha\r\n127.0.0.2\t127.9.9.2\t9200\t0\t2\tBeta\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.9.9.1 9100 1 3 [Alpha]", "127.0.0.2 127.9.9.2 9200 0 2 [Beta]"))
        << "version 4 has no Base Port line";
    EXPECT_EQ(basePort, 9000);

    loadSystemFile("Version : 5\r\nBase Port : 19000\r\n127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha\r\n");
    EXPECT_EQ(basePort, 19000);
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.9.9.1 9100 1 3 [Alpha]"));

    loadSystemFile(
        "Version : 5\r\n127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha\r\n127.0.0.2\t127.9.9.2\t9200\t0\t2\tBeta\r\n");
    EXPECT_EQ(basePort, 19000) << "a second line that is not Base Port is consumed and changes nothing";
    EXPECT_THAT(rows(), ElementsAre("127.0.0.2 127.9.9.2 9200 0 2 [Beta]"));

    loadSystemFile("Version : 6\r\nBase Port : 19100\r\n127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha\r\n");
    EXPECT_EQ(basePort, 19100);
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [127.9.9.1]"))
        << "unknown versions read address and name";

    loadSystemFile("Version : -2\r\nBase Port : 19200\r\n127.0.0.1\tAlpha\r\n");
    EXPECT_EQ(basePort, 19100);
    EXPECT_THAT(rows(), ElementsAre("Base Base 9000 0 2 [Port]", "127.0.0.1 127.0.0.1 9000 0 2 [Alpha]"));

    loadSystemFile("Vers 5\r\n127.0.0.1\tAlpha\r\n");
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [Alpha]"))
        << "a first line starting with V is never a system line";

    loadSystemFile("");
    EXPECT_THAT(rows(), IsEmpty());
}

TEST_F(SystemFilesTest, EachLineTakesTheDefaultsOfTheFieldsItLacks)
{
    loadSystemFile("Version : 5\r\nBase Port : 19000\r\n"
                   "127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha\r\n"
                   "127.0.0.2\r\n"
                   "127.0.0.3\t127.9.9.3\tabc\t1\t3\tGamma\r\n"
                   "127.0.0.4 \t 127.9.9.4 +9400 -1 3\n"
                   "\r\n"
                   " \t\r\n"
                   "127.0.0.1\t127.9.9.9\t9999\t0\t2\tSecond\r\n"
                   "127.0.0.5\t127.9.9.5\t9500\t0\t2\tLast");
    EXPECT_THAT(rows(),
        ElementsAre("127.0.0.1 127.9.9.1 9100 1 3 [Alpha]", "127.0.0.2 127.0.0.2 9000 0 2 []",
            "127.0.0.3 127.9.9.3 9000 0 2 []", "127.0.0.4 127.9.9.4 9400 -1 3 []",
            "127.0.0.5 127.9.9.5 9500 0 2 [Last]"))
        << "the first line with an address wins; empty lines are skipped";
}

TEST_F(SystemFilesTest, LinesLongerThan254CharactersAreReadInPieces)
{
    const std::string longName(244, 'N');
    loadSystemFile("127.0.0.1\t" + longName + "127.0.0.9\tTail\r\n" + "127.0.0.2\t" + longName
        + "\r\n" // exactly 254 characters before the line end
        + "127.0.0.3\tC\r\n");
    EXPECT_THAT(rows(),
        ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [" + longName + "]", "127.0.0.9 127.0.0.9 9000 0 2 [Tail]",
            "127.0.0.2 127.0.0.2 9000 0 2 [" + longName + "]", "127.0.0.3 127.0.0.3 9000 0 2 [C]"));
}

TEST_F(SystemFilesTest, LineBreaksInNamesAndStationsCannotPlantLines)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.setSystemName("127.0.0.1", "Evil\r\n127.6.6.6\t127.6.6.6\t1\t1\t1\tPlanted");
    table.setStationStatus("127.0.0.1", "12\r\n99", 0);
    save();
    load();
    EXPECT_THAT(rows(), ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [Evil]"));
    EXPECT_THAT(table.findSystem("127.0.0.1")->Stations, ElementsAre("12"));
}

TEST_F(SystemFilesTest, StationFilesTakeEveryLineAndFirstDuplicateWins)
{
    WriteFile(data() / "127.0.0.1.dat", "a\r\nb\nc\r\rD\r\nA\r\ne");
    std::filesystem::create_directories(data() / "127.0.0.2.dat");
    WriteFile(data() / "127.0.0.3.dat", "");
    loadSystemFile("Version : 5\r\nBase Port : 9000\r\n"
                   "127.0.0.1\t127.0.0.1\t9000\t0\t2\tA\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tB\r\n"
                   "127.0.0.3\t127.0.0.3\t9000\t0\t2\tC\r\n127.0.0.4\t127.0.0.4\t9000\t0\t2\tD\r\n");
    ASSERT_EQ(table.size(), 4u);
    EXPECT_THAT(table.findSystem("127.0.0.1")->Stations, ElementsAre("a", "b", "c", "", "D", "A", "e"));
    table.setStationStatus("127.0.0.1", "A", 3);
    EXPECT_EQ(table.findSystem("127.0.0.1")->StationStates[0], 3);
    EXPECT_EQ(table.findSystem("127.0.0.1")->StationStates[5], -1);
    EXPECT_THAT(table.findSystem("127.0.0.2")->Stations, IsEmpty()) << "an unreadable file reads as missing";
    EXPECT_THAT(table.findSystem("127.0.0.3")->Stations, IsEmpty());
    EXPECT_THAT(table.findSystem("127.0.0.4")->Stations, IsEmpty());
}

TEST_F(SystemFilesTest, TwoEntriesWithOneAddressSaveBothLinesAndLoadTheFirst)
{
    table.addSystem("127.0.0.5", "Old", kTypeQvx);
    table.setStationStatus("127.0.0.5", "51", 0);
    table.addSystem("127.0.0.9", "New", kTypeQvx);
    table.setStationStatus("127.0.0.9", "91", 0);
    save();
    table.replaceSystemAddress("127.0.0.9", "127.0.0.5");
    save();

    EXPECT_EQ(ReadFile(data() / "system.dat"),
        "Version : 5\r\nBase Port : 9000\r\n"
        "127.0.0.9\t127.0.0.5\t9000\t0\t2\tOld\r\n"
        "127.0.0.9\t127.0.0.9\t9000\t0\t2\tNew\r\n");
    EXPECT_EQ(ReadFile(data() / "127.0.0.9.dat"), "91\r\n") << "the later entry's stations are written last";
    EXPECT_EQ(ReadFile(data() / "127.0.0.5.dat"), "51\r\n") << "the old file stays";

    load();
    EXPECT_THAT(rows(), ElementsAre("127.0.0.9 127.0.0.5 9000 0 2 [Old]"));
    EXPECT_THAT(table.findSystem("127.0.0.9")->Stations, ElementsAre("91"));
}

TEST_F(SystemFilesTest, MissingOrUnreadableFilesLoadAsAnEmptyTable)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    std::filesystem::remove_all(data());
    observer.take();
    load();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(basePort, 9000);
    EXPECT_THAT(observer.take(), ElementsAre("refresh", "clear"));

    std::filesystem::create_directories(data() / "system.dat");
    table.addSystem("127.0.0.1", "", kTypeQvx);
    load();
    EXPECT_EQ(table.size(), 0u);

    // When system.dat cannot be replaced the station files are still written.
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.setStationStatus("127.0.0.2", "7", 0);
    save();
    EXPECT_EQ(ReadFile(data() / "127.0.0.2.dat"), "7\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(data() / "system.dat"));
}

TEST_F(SystemFilesTest, BasePortIsTakenOnlyWhenTheHubCanListenOnIt)
{
    loadSystemFile("Version : 5\r\nBase Port : 65531\r\n");
    EXPECT_EQ(basePort, 65531);
    for (const char* line : { "Base Port : 65532", "Base Port : 0", "Base Port : -9000", "Base Port : x" }) {
        basePort = 19000;
        loadSystemFile(std::string("Version : 5\r\n") + line + "\r\n127.0.0.1\tX\t9000\t0\t2\tA\r\n");
        EXPECT_EQ(basePort, 19000) << line;
        EXPECT_EQ(table.size(), 1u);
    }
}

TEST_F(SystemFilesTest, UnsafeStationFileNamesAreSkippedAndTheSaveGoesOn)
{
    const std::string longest(244, '6'); // with ".dat" and a save's ".XXXXXX", 255 characters
    const std::string tooLong(245, '7');
    for (const std::string& ip : { std::string("../x"), std::string("a/b"), std::string("a\\b"),
             std::string("\xff\xfe"), tooLong, longest, std::string("127.0.0.1") }) {
        table.addSystem(ip, "", kTypeQvx);
        table.setStationStatus(ip, "1", 0);
    }
    save();

    const std::string saved = ReadFile(data() / "system.dat");
    for (const char* line : { "\r\n../x\t../x\t9000\t0\t2\t\r\n", "\r\na/b\ta/b\t", "\r\na\\b\ta\\b\t",
             "\r\n127.0.0.1\t127.0.0.1\t9000\t0\t2\t\r\n" })
        EXPECT_NE(saved.find(line), std::string::npos) << line;
    EXPECT_NE(saved.find("\r\n" + tooLong + "\t"), std::string::npos);

    EXPECT_FALSE(std::filesystem::exists(root() / "x.dat"));
    EXPECT_FALSE(std::filesystem::exists(data() / "a"));
    EXPECT_FALSE(std::filesystem::exists(data() / "a\\b.dat"));
    EXPECT_FALSE(std::filesystem::exists(data() / (tooLong + ".dat")));
    EXPECT_EQ(ReadFile(data() / (longest + ".dat")), "1\r\n");
    EXPECT_EQ(ReadFile(data() / "127.0.0.1.dat"), "1\r\n");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& file : std::filesystem::directory_iterator(data()))
        ++files;
    EXPECT_EQ(files, 3u) << "system.dat and two station files";

    // Loading does not read outside the data folder either.
    WriteFile(root() / "x.dat", "99\r\n");
    load();
    ASSERT_NE(table.findSystem("../x"), nullptr);
    EXPECT_THAT(table.findSystem("../x")->Stations, IsEmpty());
    EXPECT_THAT(table.findSystem("127.0.0.1")->Stations, ElementsAre("1"));
}

// Found by the files fuzzer: a system called "system" had its stations
// written to system.dat, and loaded system.dat's lines as its stations.
TEST_F(SystemFilesTest, ASystemCalledSystemNeverTouchesTheTableFile)
{
    for (const std::string& ip : { std::string("127.0.0.1"), std::string("system"), std::string("SYSTEM") }) {
        table.addSystem(ip, "n", kTypeQvx);
        table.setStationStatus(ip, "41100", 0);
    }
    save();
    load();
    EXPECT_THAT(rows(),
        ElementsAre("127.0.0.1 127.0.0.1 9000 0 2 [n]", "system system 9000 0 2 [n]", "SYSTEM SYSTEM 9000 0 2 [n]"));
    EXPECT_THAT(table.findSystem("system")->Stations, IsEmpty());
    EXPECT_THAT(table.findSystem("127.0.0.1")->Stations, ElementsAre("41100"));
    EXPECT_TRUE(datfile::IsSafeStationFileName("systems"));
}

TEST_F(SystemFilesTest, AFileThatAlreadyHoldsTheTextIsNotRewritten)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.addSystem("127.0.0.2", "", kTypeQvx);
    save();
    const auto inode = [this](const char* name) {
        struct stat info { };
        ::stat((data() / name).c_str(), &info);
        return info.st_ino;
    };
    const auto first = inode("127.0.0.1.dat"), second = inode("127.0.0.2.dat"), systems = inode("system.dat");

    table.setStationStatus("127.0.0.2", "20", 0);
    save();
    EXPECT_EQ(inode("127.0.0.1.dat"), first);
    EXPECT_EQ(inode("system.dat"), systems);
    EXPECT_NE(inode("127.0.0.2.dat"), second) << "a changed file is replaced, not written in place";
    EXPECT_EQ(ReadFile(data() / "127.0.0.2.dat"), "20\r\n");
}

TEST(SystemFileFormat, HeaderSpellingsReadAlikeAndWhatWouldBeLostIsNamed)
{
    const std::string line = "127.0.0.1\t127.9.9.1\t9100\t1\t3\tAlpha";
    struct Case {
        std::string text;
        std::optional<std::int32_t> basePort;
        bool fullLine; // the system line read with all six fields
        std::vector<std::pair<std::size_t, bool>> notes; // line, misread
        std::string mentions;
    };
    const Case cases[] = {
        { "\xEF\xBB\xBFVersion : 5\r\nBase Port : 19000\r\n" + line + "\r\n", 19000, true, {}, "" },
        { "VERSION : 5\r\nbase PORT : 19000\r\n" + line + "\r\n", 19000, true, {}, "" },
        { "Version : 5\rBase Port : 19000\r" + line + "\r", 19000, true, {}, "" },
        { "Version : 5\nBase Port : 19000\n" + line, 19000, true, {}, "" },
        { "Version : 5\r\nBase Port : 19000\r\n\t\t9000\t0\t2\tX\r\n \t127.0.0.7\r\n" + line, 19000, true, {}, "" },
        { "Vers 5\r\n" + line + "\r\n", std::nullopt, false, { { 1, true } }, "\"Vers 5\"" },
        { "Version : 5\r\nBase Port : 70000\r\n" + line, std::nullopt, true, { { 2, true } }, "70000" },
        { "Version : 5\r\nBase Port : 99999999999\r\n", std::nullopt, false, { { 2, true } }, "99999999999" },
        { "Version : 5\r\nBase Port : 0\r\n", std::nullopt, false, { { 2, true } }, " 0 " },
        { "Version : 5\r\nBase Port : x\r\n", std::nullopt, false, { { 2, true } }, "x" },
        { "Version : 5\r\n" + line + "\r\n" + line, std::nullopt, true, { { 2, false } }, "Base Port" },
        { "Version : 6\r\nBase Port : 19000\r\n" + line, 19000, false, { { 1, false } }, "version 6" },
        { line + "\r\n", std::nullopt, false, { { 1, false } }, "no version line" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const datfile::SystemFile file = datfile::ParseSystemFile(c.text);
        EXPECT_EQ(file.basePort, c.basePort);
        const bool fullLine = file.lines.size() == 1 && file.lines[0].IpAddress == "127.0.0.1"
            && file.lines[0].ToIp == "127.9.9.1" && file.lines[0].Port == 9100 && file.lines[0].Name == "Alpha";
        EXPECT_EQ(fullLine, c.fullLine);
        std::vector<std::pair<std::size_t, bool>> notes;
        for (const datfile::ReadNote& note : file.notes) {
            notes.emplace_back(note.line, note.misread);
            EXPECT_NE((" " + note.text + " ").find(c.mentions), std::string::npos) << note.text;
        }
        EXPECT_EQ(notes, c.notes);
    }
}

TEST_F(SystemFilesTest, SymbolicLinksInTheDataFolderAreNeitherReadNorWrittenThrough)
{
    WriteFile(root() / "outside.dat", "secret\r\n");
    WriteFile(data() / "system.dat", "Version : 5\r\nBase Port : 9000\r\n127.0.0.1\t127.0.0.1\t9000\t0\t2\tA\r\n");
    std::filesystem::create_symlink(root() / "outside.dat", data() / "127.0.0.1.dat");
    LoadedSystems loaded = LoadSystems(table);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_THAT(table.findSystem("127.0.0.1")->Stations, IsEmpty());
    ASSERT_EQ(loaded.notes.size(), 1u);
    EXPECT_THAT(loaded.notes[0], ::testing::HasSubstr("127.0.0.1.dat: cannot read it (a symbolic link"));

    table.setStationStatus("127.0.0.1", "41100", 0);
    const SaveReport report = SaveSystems(table, 9000);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].file, data() / "127.0.0.1.dat");
    EXPECT_EQ(ReadFile(root() / "outside.dat"), "secret\r\n");
    EXPECT_TRUE(std::filesystem::is_symlink(data() / "127.0.0.1.dat"));

    std::filesystem::rename(data() / "system.dat", root() / "system.dat");
    std::filesystem::create_symlink(root() / "system.dat", data() / "system.dat");
    loaded = LoadSystems(table);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(loaded.damage.size(), 1u) << "a save would replace the table by an empty one";
}

// Files replaced a batch at a time: each ends with the last text asked for
// it, across batch boundaries and with a file named twice in one batch; one
// that cannot be written is told and keeps its old version, and no sibling
// is left behind.
TEST_F(SystemFilesTest, AFileBatchReplacesEachFileAsAskedAndTellsWhatFailed)
{
    WriteFile(root() / "outside.dat", "secret\r\n");
    std::filesystem::create_directories(data());
    std::filesystem::create_symlink(root() / "outside.dat", data() / "link.dat");
    WriteFile(data() / "same.dat", "kept");
    std::vector<std::string> failed;
    {
        FileBatch batch(
            [&](const std::filesystem::path& path, const std::string&) { failed.push_back(path.filename().string()); },
            3);
        // same.dat goes back to what it held before the batch.
        const std::pair<const char*, const char*> files[] = { { "a.dat", "a1" }, { "b.dat", "b" }, { "a.dat", "a2" },
            { "link.dat", "x" }, { "same.dat", "new" }, { "c.dat", "c" }, { "same.dat", "kept" } };
        for (const auto& [name, text] : files)
            batch.replace(data() / name, text);
        batch.finish();
    }
    EXPECT_THAT(failed, ElementsAre("link.dat"));
    EXPECT_EQ(ReadFile(root() / "outside.dat"), "secret\r\n");
    const std::map<std::string, std::string> expected { { "a.dat", "a2" }, { "b.dat", "b" }, { "c.dat", "c" },
        { "same.dat", "kept" } };
    std::map<std::string, std::string> found;
    for (const auto& file : std::filesystem::directory_iterator(data()))
        if (!file.is_symlink())
            found[file.path().filename().string()] = ReadFile(file.path());
    EXPECT_EQ(found, expected);
}

TEST_F(SystemFilesTest, AStationFileIsReadOnlyUpToWhatIsKeptAndSaysWhatItLeftOut)
{
    std::string kept;
    for (std::size_t i = 0; i < kMaxStations; ++i)
        kept += std::to_string(40000 + i) + "\r\n";
    WriteFile(data() / "127.0.0.1.dat", kept);
    WriteFile(data() / "127.0.0.2.dat", kept + std::string(100000, '\n') + "after\r\n");
    WriteFile(data() / "system.dat",
        "Version : 5\r\nBase Port : "
        "9000\r\n127.0.0.1\t127.0.0.1\t9000\t0\t2\tA\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tB\r\n");
    const LoadedSystems loaded = LoadSystems(table);
    for (const char* ip : { "127.0.0.1", "127.0.0.2" }) {
        ASSERT_EQ(table.findSystem(ip)->Stations.size(), kMaxStations) << ip;
        EXPECT_EQ(table.findSystem(ip)->Stations.back(), std::to_string(40000 + kMaxStations - 1));
    }
    ASSERT_EQ(loaded.notes.size(), 1u) << "a file of exactly what is kept says nothing";
    EXPECT_THAT(loaded.notes[0], ::testing::HasSubstr("127.0.0.2.dat: only the first 3000 stations are kept"));
}

TEST_F(SystemFilesTest, TheFileAsLoadedIsCopiedOnceBeforeTheFirstSaveThatChangesIt)
{
    const std::string original = "Version : 5\r\nBase Port : 9000\r\n127.0.0.1\t127.0.0.1\t9000\t0\t2\tA\r\n";
    WriteFile(data() / "system.dat", original);
    SystemFileBackup backup { LoadSystems(table).systemFileText };
    EXPECT_TRUE(WriteSnapshot(TakeSnapshot(table, 9000), &backup).ok());
    EXPECT_FALSE(std::filesystem::exists(data() / "system.dat.bak")) << "nothing changed";

    // Without its copy the old file must stay.
    std::filesystem::create_directory(data() / "system.dat.bak");
    table.addSystem("127.0.0.2", "B", kTypeQvx);
    SaveReport report = WriteSnapshot(TakeSnapshot(table, 9000), &backup);
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(report.failures[0].file, data() / "system.dat.bak");
    EXPECT_EQ(report.failures[1].file, data() / "system.dat");
    EXPECT_EQ(ReadFile(data() / "system.dat"), original);

    std::filesystem::remove(data() / "system.dat.bak");
    EXPECT_TRUE(WriteSnapshot(TakeSnapshot(table, 9000), &backup).ok());
    table.addSystem("127.0.0.3", "C", kTypeQvx);
    EXPECT_TRUE(WriteSnapshot(TakeSnapshot(table, 9000), &backup).ok());
    EXPECT_EQ(ReadFile(data() / "system.dat.bak"), original) << "the copy is of the file as loaded";
    EXPECT_NE(ReadFile(data() / "system.dat").find("127.0.0.3"), std::string::npos);
}
