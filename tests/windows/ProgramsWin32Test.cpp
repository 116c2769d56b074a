// Starting programs and replacing a program file on Windows: what a started
// program gets, and that a running program's file cannot be replaced until
// it has ended, which is the wait the self-update relies on.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

#include "TestFolder.h"
#include "Win32TestSupport.h"
#include "app/UpdateRole.h"

namespace {

std::string CurrentFolder() {
    char buffer[MAX_PATH] = {};
    ::GetCurrentDirectoryA(sizeof buffer, buffer);
    return buffer;
}

// Starts `name` and returns its report once it has ended.
std::map<std::string, std::string> RunProbe(const std::string& name) {
    std::optional<int> pid = platform::StartProgram(name);
    EXPECT_TRUE(pid) << name;
    if (!pid)
        return {};
    EXPECT_TRUE(WaitForProcessEnd(*pid));
    return ReadProbeReport();
}

// An inheritable handle on "inheritable.dat", its value left for the probe.
struct InheritableHandle {
    InheritableHandle() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        handle = ::CreateFileA("inheritable.dat", GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, 0, nullptr);
        WriteFile("probe_handle.txt", std::to_string(reinterpret_cast<uintptr_t>(handle)) + "\n");
    }
    ~InheritableHandle() { ::CloseHandle(handle); }
    HANDLE handle;
};

// Starts `name` while it waits for probe_release.txt; Release() lets it end.
struct HeldProgram {
    explicit HeldProgram(const std::string& name) {
        WriteFile("probe_hold.txt", "");
        std::optional<int> started = platform::StartProgram(name);
        pid = started.value_or(0);
        running = started && WaitForFile("probe_report.txt");
    }
    ~HeldProgram() { Release(); }
    void Release() {
        if (pid == 0)
            return;
        ::DeleteFileA("probe_hold.txt");
        WriteFile("probe_release.txt", "");
        ended = WaitForProcessEnd(pid);
        pid = 0;
    }
    int pid = 0;
    bool running = false;
    bool ended = false;
};

}  // namespace

TEST(ProgramsWin32, StartedProgramGetsNoArgumentsNoHandlesAndTheGameFolder) {
    TestFolder folder;
    PlaceProbe("game.exe");
    InheritableHandle held;
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);

    // The probe can tell: a start that passes handles on is seen.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessA("game.exe", nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process));
    ::WaitForSingleObject(process.hProcess, 60000);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    EXPECT_EQ(ReadProbeReport()["handle"], "inherited");

    std::map<std::string, std::string> report = RunProbe("game.exe");
    EXPECT_EQ(report["argc"], "1");
    EXPECT_EQ(report["handle"], "none");
    EXPECT_EQ(report["folder"], CurrentFolder());
}

TEST(ProgramsWin32, ProgramInASubfolderRunsInTheGameFolderAndNothingIsSearched) {
    TestFolder folder;
    MakeDirs("bin");
    PlaceProbe("bin/game.exe");
    std::map<std::string, std::string> report = RunProbe("bin/game.exe");  // as a manifest names it
    EXPECT_EQ(report["folder"], CurrentFolder());
    EXPECT_EQ(platform::BaseName(report["program"]), "game.exe");

    EXPECT_FALSE(platform::StartProgram(""));
    EXPECT_FALSE(platform::StartProgram("missing.exe"));
    EXPECT_FALSE(platform::StartProgram("bin/game"));  // no ".exe" is added
    EXPECT_FALSE(platform::StartProgram("cmd.exe"));   // the system folder is not searched
    EXPECT_FALSE(platform::StartProgram("bin"));
}

TEST(ProgramsWin32, StartedProgramGetsTheEnvironmentTheLauncherStartedWith) {
    TestFolder folder;
    PlaceProbe("game.exe");
    ::SetEnvironmentVariableA("LV_PROBE_VALUE", "as started");
    platform::KeepStartEnvironment();
    ::SetEnvironmentVariableA("LV_PROBE_VALUE", "changed later");
    EXPECT_EQ(RunProbe("game.exe")["env"], "as started");

    ::SetEnvironmentVariableA("LV_PROBE_VALUE", nullptr);
    platform::KeepStartEnvironment();
    EXPECT_EQ(RunProbe("game.exe")["env"], "(unset)");
}

TEST(ProgramsWin32, RunningProgramIsReplacedOnlyOnceItHasEnded) {
    TestFolder folder;
    PlaceProbe("NoxPatch2011.exe");
    const std::string old = ReadFile("NoxPatch2011.exe");
    WriteFile("new.exe", "the new program");

    HeldProgram program("NoxPatch2011.exe");
    ASSERT_TRUE(program.running);
    EXPECT_FALSE(platform::ReplaceFileAtomically("new.exe", "NoxPatch2011.exe"));
    EXPECT_FALSE(platform::CopyFileOver("new.exe", "NoxPatch2011.exe"));
    EXPECT_FALSE(platform::DeleteFileByName("NoxPatch2011.exe"));
    EXPECT_TRUE(ReadFile("NoxPatch2011.exe") == old);
    EXPECT_FALSE(FileExists("NoxPatch2011.exe.tmp"));
    // Its size can still be read, as the update selection does.
    EXPECT_EQ(platform::OpenExistingForReadSize("NoxPatch2011.exe"),
              static_cast<int64_t>(old.size()));

    program.Release();
    ASSERT_TRUE(program.ended);
    EXPECT_TRUE(platform::ReplaceFileAtomically("new.exe", "NoxPatch2011.exe"));
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), "the new program");
    EXPECT_FALSE(FileExists("NoxPatch2011.exe.tmp"));
    EXPECT_EQ(ReadFile("new.exe"), "the new program");
}

TEST(ProgramsWin32, ReplaceCreatesAMissingTargetAndNeedsItsSource) {
    TestFolder folder;
    WriteFile("new.exe", std::string(200000, 'n'));
    EXPECT_TRUE(platform::ReplaceFileAtomically("new.exe", "target.exe"));
    EXPECT_EQ(ReadFile("target.exe"), std::string(200000, 'n'));

    EXPECT_FALSE(platform::ReplaceFileAtomically("missing.exe", "target.exe"));
    EXPECT_EQ(ReadFile("target.exe"), std::string(200000, 'n'));
    EXPECT_FALSE(FileExists("target.exe.tmp"));

    // A temporary file left by a killed attempt is taken over.
    WriteFile("target.exe.tmp", "left over");
    WriteFile("new.exe", "second");
    EXPECT_TRUE(platform::ReplaceFileAtomically("new.exe", "target.exe"));
    EXPECT_EQ(ReadFile("target.exe"), "second");
    EXPECT_FALSE(FileExists("target.exe.tmp"));
}

TEST(ProgramsWin32, UpdateRoleWaitsForTheOldLauncherToEndAndStartsTheNewOne) {
    TestFolder folder;
    PlaceProbe("NoxPatch2011.exe");
    // The new program is the probe with bytes appended, so that it differs
    // and still runs.
    WriteFile("NoxPatch2011_new.exe", ReadFile("NoxPatch2011.exe") + "new version");
    WriteFile("NoxPatch2011_updating.txt", "");

    HeldProgram oldLauncher("NoxPatch2011.exe");
    ASSERT_TRUE(oldLauncher.running);
    ::DeleteFileA("probe_report.txt");

    int attempts = 0;
    int failedWhileRunning = 0;
    std::vector<std::string> boxes;
    UpdateRole role;
    role.ownProgramName = "NoxPatch2011_new.exe";
    role.showBox = [&](const std::string& caption, const std::string&) {
        boxes.push_back(caption);
    };
    role.retryInterval = std::chrono::milliseconds(10);
    role.copy = [&](const std::string& source, const std::string& target) {
        bool replaced = platform::ReplaceFileAtomically(source, target);
        ++attempts;
        if (!replaced && oldLauncher.pid != 0)
            ++failedWhileRunning;
        // The old launcher ends after a few refused attempts.
        if (attempts == 3)
            oldLauncher.Release();
        return replaced;
    };
    int restarted = role.Run();

    EXPECT_EQ(failedWhileRunning, 3);
    EXPECT_GT(attempts, 3);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), ReadFile("NoxPatch2011_new.exe"));
    EXPECT_FALSE(FileExists("NoxPatch2011_updating.txt"));
    EXPECT_TRUE(FileExists("NoxPatch2011_was_restarted.txt"));
    ASSERT_NE(restarted, 0);
    ASSERT_TRUE(WaitForProcessEnd(restarted));
    std::map<std::string, std::string> report = ReadProbeReport();
    EXPECT_EQ(platform::BaseName(report["program"]), "NoxPatch2011.exe");
    EXPECT_EQ(report["argc"], "1");
}
