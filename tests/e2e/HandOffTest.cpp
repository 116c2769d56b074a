// The self-update hand-off across real processes: an old launcher fetches a
// different NoxPatch2011_new.exe, hands over to it, the new program replaces
// NoxPatch2011.exe and starts it, and the restarted launcher patches again.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

timespec ModifiedAt(const std::string& name) {
    struct stat st {};
    ::stat(name.c_str(), &st);
    return st.st_mtim;
}

pid_t StartLauncher(const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = "./NoxPatch2011.exe";
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

class HandOff : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("QT_QPA_PLATFORM", "offscreen", 1); }
    void TearDown() override {
        // Every launcher this test started, by its process id.
        for (const char* name : {"/NoxPatch2011.exe", "/NoxPatch2011_new.exe"})
            for (pid_t pid : ProcessesRunning(game.Path() + name))
                ::kill(pid, SIGKILL);
        if (first > 0)
            ::waitpid(first, nullptr, 0);
    }

    TestFolder game;
    TempDir server;
    pid_t first = -1;
};

}  // namespace

TEST_F(HandOff, OldLauncherReplacesItselfAndTheNewOnePatchesAgain) {
    // Build A is the launcher as built; build B is the same program with a
    // different build stamp appended, which the loader ignores.
    const std::string buildA = ReadFile(LAUNCHER_PATH);
    const std::string buildB = buildA + "\nbuild stamp: B\n";
    WriteFile("NoxPatch2011.exe", buildA);
    ASSERT_EQ(::chmod("NoxPatch2011.exe", 0755), 0);

    PublishBuild(server.Path(), {{"NoxPatch2011_new.exe", buildB, 2, ""},
                                 {"game.dat", "game data", 1, "GAME_EXE"}});
    NginxServer nginx(server.Path());
    PointAt(nginx.Port());
    const std::string manifest = "/lanternvale_patch/build_1/current2.txt";

    first = StartLauncher("first.log");
    ASSERT_GT(first, 0);

    // The old launcher ends once it has handed over.
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return ::waitpid(first, &status, WNOHANG) == first; },
                        std::chrono::seconds(120)))
        << ReadFile("first.log");
    first = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile("first.log");
    // Its run wrote the ledger before it handed over.
    const std::string ledgerAfterFirstRun = "NoxPatch2011_new.exe 2\ngame.dat 1\n";
    EXPECT_EQ(ReadFile("file_versions.txt"), ledgerAfterFirstRun);
    const timespec firstLedgerWrite = ModifiedAt("file_versions.txt");

    // The new program replaced NoxPatch2011.exe and the restarted launcher
    // ran a second complete patch run.
    ASSERT_TRUE(
        WaitFor([&] { return nginx.CountRequests(manifest) >= 2; }, std::chrono::seconds(120)))
        << "no second run; first launcher said:\n"
        << ReadFile("first.log");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), buildB);

    // The second run ends by writing the ledger back again.
    ASSERT_TRUE(WaitFor(
        [&] {
            timespec now = ModifiedAt("file_versions.txt");
            return now.tv_sec > firstLedgerWrite.tv_sec || (now.tv_sec == firstLedgerWrite.tv_sec &&
                                                            now.tv_nsec > firstLedgerWrite.tv_nsec);
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(ReadFile("file_versions.txt"), ledgerAfterFirstRun);
    EXPECT_FALSE(FileExists("NoxPatch2011_updating.txt"));
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
    EXPECT_EQ(nginx.CountRequests(manifest), 2);
    // Nothing was fetched a second time: the new program is current.
    EXPECT_EQ(nginx.CountRequests("/lanternvale_patch/build_1/NoxPatch2011_new.exe"), 1);

    // The restarted launcher is still up (its window after a successful run,
    // which starts no further hand-off) and runs build B.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<pid_t> running = ProcessesRunning(game.Path() + "/NoxPatch2011.exe");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(running[0]) + "/exe"), buildB);
    EXPECT_TRUE(ProcessesRunning(game.Path() + "/NoxPatch2011_new.exe").empty());
    EXPECT_EQ(nginx.CountRequests(manifest), 2);
}
