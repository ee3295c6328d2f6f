#include "generated_table.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

extern char** environ;

using namespace korvel;

namespace {

// The save loop in a child process. It reports each generation on its
// standard output once that table has been committed.
class SavingChild {
public:
    SavingChild(const std::string& folder, int firstGeneration, int lastCommitted)
        : lastCommitted_(lastCommitted)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string generation = std::to_string(firstGeneration);
        char* argv[] = { const_cast<char*>(KORVEL_SAVE_LOOP), const_cast<char*>(folder.c_str()),
            const_cast<char*>(generation.c_str()), nullptr };
        if (posix_spawn(&pid_, KORVEL_SAVE_LOOP, &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        fd_ = fds[0];
    }

    ~SavingChild()
    {
        kill();
        if (fd_ >= 0)
            close(fd_);
    }

    bool running() const { return pid_ > 0; }

    // Waits until `saves` more tables have been committed.
    bool waitForSaves(int saves)
    {
        for (int target = lastCommitted_ + saves; lastCommitted_ < target;)
            if (!readReports(10'000))
                return false;
        return true;
    }

    // Kills the child, then takes every report it managed to write.
    void kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        while (readReports(1000)) { }
    }

    int lastCommitted() const { return lastCommitted_; }

private:
    bool readReports(int timeoutMs)
    {
        pollfd poll_fd { fd_, POLLIN, 0 };
        if (poll(&poll_fd, 1, timeoutMs) <= 0)
            return false;
        char buffer[256];
        const ssize_t count = read(fd_, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        pending_.append(buffer, static_cast<std::size_t>(count));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
            lastCommitted_ = std::stoi(pending_.substr(0, end));
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    int lastCommitted_;
    std::string pending_;
};

} // namespace

TEST(SaveKill, AKilledSaveLeavesTheOldTableOrTheNewOneWhole)
{
    // A kill tests the rename, not the disk; on a memory file system the
    // commits' waits for the disk cost nothing and the rounds stay short.
    const QString base
        = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    QTemporaryDir temp(base + QStringLiteral("/korvel-save-kill-XXXXXX"));
    ASSERT_TRUE(temp.isValid());
    const std::string folder = temp.path().toStdString() + "/data";
    {
        SystemTable table(folder);
        generated::Fill(table, 0);
        SaveSystems(table, kDefaultBasePort);
    }

    const unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int onDisk = 0;
    int newer = 0;
    for (int round = 0; round < 12; ++round) {
        SavingChild child(folder, onDisk + 1, onDisk);
        ASSERT_TRUE(child.running());
        // Every other round lets a save finish first, so that kills land in
        // later saves as well as in the first one a child starts.
        ASSERT_TRUE(child.waitForSaves(round % 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        child.kill();

        SystemTable loaded(folder);
        const std::int32_t basePort = LoadSystems(loaded).basePort.value_or(0);
        std::string why;
        const std::optional<int> generation = generated::GenerationOf(loaded, why);
        ASSERT_TRUE(generation) << "round " << round << ": " << why;
        const int committed = child.lastCommitted();
        EXPECT_TRUE(*generation == committed || *generation == committed + 1)
            << "round " << round << ": loaded " << *generation << ", last committed " << committed;
        EXPECT_EQ(basePort, *generation == 0 ? 9000 : 19000);
        newer += *generation > onDisk;
        onDisk = *generation;
    }
    EXPECT_GT(newer, 0) << "no round got past a save";
}
