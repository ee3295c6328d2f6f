#include "store/system_file_format.h"
#include "store_test_support.h"

#include <QDir>

#include <gmock/gmock.h>

using namespace korvel;
using korvel::testing::WriteFile;

namespace {

// The notes with the folder taken off their file names.
std::vector<std::string> Relative(const std::vector<std::string>& notes, const std::filesystem::path& folder)
{
    std::vector<std::string> relative;
    for (const std::string& note : notes)
        relative.push_back(note.rfind(folder.native() + "/", 0) == 0 ? note.substr(folder.native().size() + 1) : note);
    return relative;
}

} // namespace

// Every line the hub reads otherwise than it is written is named with its
// file and line, and the load itself goes on as it always has.
TEST(LoadProblems, NameTheFileAndLineOfWhatIsReadOtherwise)
{
    QTemporaryDir directory;
    const std::filesystem::path folder = directory.path().toStdString();
    const std::vector<std::string> lines = {
        "Version : 5",
        "Base Port : 70000", // 2
        "127.0.0.2\t127.0.0.2\t9000\t0\t2\tGOOD", // 3
        "127.0.0.3\t127.0.0.3\tnine\t0\t2\tNOPORT", // 4
        "127.0.0.2\t127.0.0.2\t9000\t0\t2\tAGAIN", // 5
        "127.0.0.x\t127.0.0.4\t0\t7\t2\tODD", // 6
        "", // 7: blank lines are nothing to read
        "127.0.0.5\t127.0.0.5\t9000\t0\t2\tLONG" + std::string(260, ' '), // 8
    };
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    WriteFile(folder / "system.dat", text);
    WriteFile(folder / "127.0.0.2.dat", "41100\r\n\r\n12345678901234567\r\n");
    std::string many;
    for (int i = 0; i < 3001; ++i)
        many += std::to_string(50000 + i) + "\r\n";
    WriteFile(folder / "127.0.0.3.dat", many);

    SystemTable table(folder);
    const LoadedSystems loaded = LoadSystems(table);
    const std::vector<std::pair<std::string, std::string>> expected = {
        { "system.dat:4: ", "the port is missing or not a number" },
        { "system.dat:5: ", "listed already on line 3" },
        { "system.dat:6: ", "\"127.0.0.x\" is not an IPv4 address" },
        { "system.dat:6: ", "port 0 is outside" },
        { "system.dat:6: ", "type 7" },
        { "system.dat:8: ", "longer than 254 characters" },
        { "127.0.0.2.dat:2: ", "an empty line" },
        { "127.0.0.2.dat:3: ", "\"12345678901234567\" is longer than the 16" },
        { "127.0.0.3.dat: ", "only the first 3000 stations are kept" },
    };
    const std::vector<std::string> described = Relative(loaded.notes, folder);
    ASSERT_EQ(described.size(), expected.size()) << ::testing::PrintToString(described);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(described[i].rfind(expected[i].first, 0), 0u) << described[i];
        EXPECT_NE(described[i].find(expected[i].second), std::string::npos) << described[i];
    }
    EXPECT_EQ(Relative(loaded.damage, folder),
        std::vector<std::string> { "system.dat:2: Base Port 70000 is out of range (1 to 65531)" });
    EXPECT_EQ(table.systems().size(), 4u) << "the load itself is unchanged: only the duplicate is left out";
}

TEST(LoadProblems, AStationFileThatCannotBeReadIsNamedAndMissingOnesAreNot)
{
    QTemporaryDir directory;
    const std::filesystem::path folder = directory.path().toStdString();
    SystemTable table(folder);
    WriteFile(folder / "system.dat", "Version : 5\r\nBase Port : 9000\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tQ\r\n");
    EXPECT_TRUE(LoadSystems(table).notes.empty()) << "no station file is a system without stations";

    // A folder where the station file should be cannot be read, even by root.
    ASSERT_TRUE(QDir(directory.path()).mkdir("127.0.0.2.dat"));
    const auto notes = Relative(LoadSystems(table).notes, folder);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("127.0.0.2.dat: cannot read it", 0), 0u) << notes[0];
}
