#include "store/system_files.h"
#include "store/system_table.h"
#include "store_test_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

using namespace korvel;
using korvel::testing::ReadFile;

namespace {

// A file system of its own, small enough to fill, unmounted on the way out.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& path)
        : path_(path)
    {
        mounted_ = ::mount("korvel-test", path.c_str(), "tmpfs", 0, "size=1m") == 0;
        error_ = mounted_ ? 0 : errno;
    }
    ~SmallFileSystem()
    {
        if (mounted_)
            ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string error() const { return std::strerror(error_); }

private:
    std::string path_;
    bool mounted_ = false;
    int error_ = 0;
};

std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        files[item.path().filename().string()] = ReadFile(item.path());
    return files;
}

} // namespace

TEST(FullDisk, ASaveThatDoesNotFitKeepsEveryOldFileWholeAndTheNextOneCatchesUp)
{
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    const SmallFileSystem disk(mountPoint.path().toStdString());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.error() << "); the full-disk save is not tested";

    const std::filesystem::path folder = mountPoint.path().toStdString() + "/data";
    SystemTable table(folder);
    for (int system = 1; system <= 5; ++system) {
        const std::string ip = "127.0.0." + std::to_string(system);
        table.addSystem(ip, "PBX" + std::to_string(system), kTypeQvx);
        table.setStationStatus(ip, "41100", 0);
    }
    ASSERT_TRUE(SaveSystems(table, 19000).ok());
    table.addSystem("127.0.0.9", "Late", kTypeQvx);
    const auto before = FilesIn(folder);

    // Fill what is left, then give every file more to hold.
    const std::filesystem::path filler = mountPoint.path().toStdString() + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), block.size()))
            ;
    }
    for (SystemEntry& entry : table.entries())
        for (int station = 0; station < 200; ++station)
            table.setStationStatus(entry, std::to_string(50000 + station), 0);

    const SaveReport full = SaveSystems(table, 19000);
    EXPECT_FALSE(full.ok());
    EXPECT_EQ(FilesIn(folder), before) << "every old file whole, no file half written, nothing left beside them";

    std::filesystem::remove(filler);
    const SaveReport roomy = SaveSystems(table, 19000);
    EXPECT_TRUE(roomy.ok()) << (roomy.ok() ? "" : roomy.failures.front().message());
    SystemTable loaded(folder);
    LoadSystems(loaded);
    ASSERT_EQ(loaded.size(), 6u);
    EXPECT_EQ(loaded.findSystem("127.0.0.1")->Stations.size(), 201u);
    EXPECT_EQ(loaded.findSystem("127.0.0.9")->Stations.size(), 200u);
}
