// The self-update hand-off across real processes: an old launcher fetches a
// different NoxPatch2011_new.exe, hands over to it, the new program replaces
// NoxPatch2011.exe and starts it, and the restarted launcher patches again.
// A replace that fails or is cut short leaves a launcher that starts, and the
// programs a real launcher starts get nothing of it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FakeRun.h"
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

// Starts `program` in the current folder under a file-size limit, which
// stands in for a full disk: past it a write fails (SIGXFSZ ignored) or the
// process is killed at that very write (SIGXFSZ at its default).
pid_t StartLimited(const std::string& program, rlim_t limit, bool ignoreSizeSignal,
                   const std::string& log) {
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::signal(SIGXFSZ, ignoreSizeSignal ? SIG_IGN : SIG_DFL);
        struct rlimit size {
            limit, limit
        };
        ::setrlimit(RLIMIT_FSIZE, &size);
        ::execve(path.c_str(), argv, environ);
        ::_exit(127);
    }
    return pid;
}

std::optional<int> WaitForExit(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit))
        return std::nullopt;
    return status;
}

class HandOff : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("LV_GIVEN_TO_THE_LAUNCHER", "1", 1);
    }

    // Starts NoxPatch2011.exe as a player would and expects its window up and
    // its auto-play to start the game, which gets only what the launcher was
    // given: no descriptor, signal state or variable of the launcher's own.
    void ExpectALauncherThatStarts(const std::string& log) {
        WriteFile("NoxPatch2011_Options.cfg", "NOAUTODOWNLOAD AUTOPLAY\n");
        WriteFile("current2.txt", "game.bin 1 GAME_EXE\n");
        std::filesystem::copy_file(FAKE_GAME_PATH, "game.bin",
                                   std::filesystem::copy_options::overwrite_existing);
        ::chmod("game.bin", 0755);
        ::unlink("game.bin.ran");
        const pid_t launcher = StartLauncher(log);
        ASSERT_GT(launcher, 0);
        const bool played =
            WaitFor([] { return ReadFakeRun("game.bin").has_value(); }, std::chrono::seconds(60));
        ::kill(launcher, SIGKILL);
        ::waitpid(launcher, nullptr, 0);
        ASSERT_TRUE(played) << ReadFile(log);
        const FakeRun run = *ReadFakeRun("game.bin");
        EXPECT_EQ(run.argumentCount, 0);
        for (int fd : run.descriptors)
            EXPECT_LE(fd, 2) << "descriptor " << fd << " of the launcher reached the game";
        EXPECT_EQ(MaskWithoutLibrarySignals(run.ignoredSignals), 0u) << run.ignoredSignals;
        EXPECT_EQ(MaskWithoutLibrarySignals(run.blockedSignals), 0u) << run.blockedSignals;
        EXPECT_EQ(run.environment.count("LV_GIVEN_TO_THE_LAUNCHER=1"), 1u);
        for (const std::string& entry : run.environment)
            EXPECT_NE(entry.rfind("QTWEBENGINE_", 0), 0u) << entry;
        EXPECT_FALSE(FileExists("NoxPatch2011_updating.txt"));
    }
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

TEST_F(HandOff, AReplaceThatFailsOrIsCutShortLeavesALauncherThatStarts) {
    const std::string buildA = ReadFile(LAUNCHER_PATH);
    const std::string buildB = buildA + "\nbuild stamp: B\n";
    WriteFile("NoxPatch2011.exe", buildA);
    ASSERT_EQ(::chmod("NoxPatch2011.exe", 0755), 0);
    auto layOutHandOff = [&] {
        WriteFile("NoxPatch2011_new.exe", buildB);
        ::chmod("NoxPatch2011_new.exe", 0755);
        WriteFile("NoxPatch2011_updating.txt", "");
    };
    constexpr rlim_t kLimit = 64 * 1024;

    // A full disk: the update role gives up (its box then waits for a
    // player), keeping NoxPatch2011.exe as it was.
    layOutHandOff();
    pid_t role = StartLimited("./NoxPatch2011_new.exe", kLimit, true, "full.log");
    ASSERT_GT(role, 0);
    // It clears the marker and drops the successor (NoxPatch2011.exe is
    // intact, so the next run fetches the successor again) before its box.
    const bool gaveUp = WaitFor(
        [] {
            return !FileExists("NoxPatch2011_updating.txt") && !FileExists("NoxPatch2011_new.exe");
        },
        std::chrono::seconds(60));
    ::kill(role, SIGKILL);
    ::waitpid(role, nullptr, 0);
    ASSERT_TRUE(gaveUp) << ReadFile("full.log");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), buildA);
    EXPECT_FALSE(FileExists("NoxPatch2011.exe.tmp"));
    ExpectALauncherThatStarts("after-full.log");

    // Killed in the middle of its copy: the limit's signal ends it at the
    // first write past the limit.
    layOutHandOff();
    role = StartLimited("./NoxPatch2011_new.exe", kLimit, false, "killed.log");
    ASSERT_GT(role, 0);
    std::optional<int> status = WaitForExit(role, std::chrono::seconds(60));
    ASSERT_TRUE(status) << ReadFile("killed.log");
    ASSERT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGXFSZ) << ReadFile("killed.log");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), buildA);
    EXPECT_EQ(ReadFile("NoxPatch2011.exe.tmp").size(), kLimit);  // it was cut short there
    EXPECT_TRUE(FileExists("NoxPatch2011_updating.txt"));

    // The marker it left is stale to the launcher the player starts next,
    // which clears it and shows its window.
    ExpectALauncherThatStarts("stale.log");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), buildA);

    // The whole hand-off after all that: the successor replaces the launcher
    // and starts it, and the restarted launcher opens its window.
    WriteFile("NoxPatch2011_updating.txt", "");
    role = StartLimited("./NoxPatch2011_new.exe", RLIM_INFINITY, false, "handoff.log");
    status = WaitForExit(role, std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << ReadFile("handoff.log");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), buildB);
    EXPECT_FALSE(FileExists("NoxPatch2011.exe.tmp"));
    EXPECT_FALSE(FileExists("NoxPatch2011_updating.txt"));
    // Its window takes the restart marker as it opens.
    EXPECT_TRUE(WaitFor([] { return !FileExists("NoxPatch2011_was_restarted.txt"); },
                        std::chrono::seconds(60)));
    std::vector<pid_t> running = ProcessesRunning(game.Path() + "/NoxPatch2011.exe");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(running[0]) + "/exe"), buildB);
}
