#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "TestFolder.h"
#include "app/UpdateRole.h"
#include "platform/Platform.h"

using ::testing::ElementsAre;

namespace {

struct Boxes {
    std::vector<std::string> captions;
    std::vector<std::string> texts;
    UpdateRole::ShowBox Recorder() {
        return [this](const std::string& caption, const std::string& text) {
            captions.push_back(caption);
            texts.push_back(text);
        };
    }
};

// A stand-in launcher program: a shell script that records its start.
const char kNewProgram[] = "#!/bin/sh\necho started > started.txt\n";

// Holds NoxPatch2011.exe busy the way a running old launcher does: a process
// runs from it until killed.
struct RunningOldLauncher {
    RunningOldLauncher() {
        std::string copy = "cp /bin/sleep NoxPatch2011.exe";
        EXPECT_EQ(std::system(copy.c_str()), 0);
        pid = fork();
        if (pid == 0) {
            execl("./NoxPatch2011.exe", "NoxPatch2011.exe", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait until the kernel counts the file as a running program.
        for (int i = 0; i < 200; ++i) {
            FILE* f = std::fopen("NoxPatch2011.exe", "r+b");
            if (!f)
                break;
            std::fclose(f);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void End() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    ~RunningOldLauncher() { End(); }
    pid_t pid = -1;
};

// The successor under `name`, ready to run, and the updating marker.
void LayOutHandOff(const char* name = "NoxPatch2011_new.exe") {
    WriteFile(name, kNewProgram);
    ::chmod(name, 0755);
    WriteFile("NoxPatch2011_updating.txt", "");
}

// Runs the role to the restarted launcher and waits for that one to end.
void RunToRestart(const UpdateRole& role) {
    int pid = role.Run();
    ASSERT_GT(pid, 0);
    waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(UpdateRole, CopiesStartsTheReplacedLauncherAndClearsTheHandOff) {
    TestFolder folder;
    WriteFile("NoxPatch2011.exe", "old launcher");
    LayOutHandOff();
    ASSERT_TRUE(UpdateHandOffPending());

    Boxes boxes;
    UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder()};
    RunToRestart(role);

    EXPECT_TRUE(boxes.captions.empty());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), kNewProgram);
    EXPECT_FALSE(UpdateHandOffPending());
    EXPECT_TRUE(FileExists("NoxPatch2011_was_restarted.txt"));
    EXPECT_EQ(ReadFile("started.txt"), "started\n");  // the replaced launcher ran
    struct stat st {};
    ::stat("NoxPatch2011.exe", &st);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST(UpdateRole, SuccessorInAnotherLetterCaseIsTheFileThatIsCopied) {
    TestFolder folder;
    WriteFile("NoxPatch2011.exe", "old launcher");
    LayOutHandOff("noxpatch2011_new.exe");
    Boxes boxes;
    UpdateRole role{"noxpatch2011_new.exe", boxes.Recorder()};
    RunToRestart(role);
    EXPECT_TRUE(boxes.captions.empty());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), kNewProgram);
    EXPECT_FALSE(FileExists("NoxPatch2011_new.exe"));
}

TEST(UpdateRole, ReplacesTheProgramWhileTheOldLauncherIsStillEnding) {
    TestFolder folder;
    RunningOldLauncher old;
    LayOutHandOff();
    Boxes boxes;
    UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder()};
    RunToRestart(role);
    EXPECT_TRUE(boxes.captions.empty());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), kNewProgram);
    EXPECT_EQ(::kill(old.pid, 0), 0);  // it ran on, from its own (now unnamed) file
}

TEST(UpdateRole, WhereAReplaceWaitsForTheOldLauncherItIsRetried) {
    TestFolder folder;
    RunningOldLauncher old;
    LayOutHandOff();
    // Read before the ender thread may clear it.
    const pid_t oldPid = old.pid;
    std::thread ender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        old.End();
    });
    Boxes boxes;
    int attempts = 0;
    UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder(), std::chrono::milliseconds(20)};
    role.retryWhileOldLauncherRuns = true;
    // As a system that refuses to replace a running program answers.
    role.copy = [&](const std::string& source, const std::string& target) {
        ++attempts;
        return ::kill(oldPid, 0) != 0 && platform::ReplaceFileAtomically(source, target);
    };
    int pid = role.Run();
    ender.join();
    ASSERT_GT(pid, 0);
    waitpid(pid, nullptr, 0);
    EXPECT_GT(attempts, 1);
    EXPECT_TRUE(boxes.captions.empty());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), kNewProgram);
}

TEST(UpdateRole, GivingUpKeepsTheLauncherAndNeverTheLastProgramAway) {
    for (bool launcherPresent : {true, false}) {
        SCOPED_TRACE(launcherPresent ? "NoxPatch2011.exe present" : "NoxPatch2011.exe missing");
        TestFolder folder;
        if (launcherPresent)
            WriteFile("NoxPatch2011.exe", "old launcher");
        WriteFile("NoxPatch2011_new.exe", kNewProgram);
        WriteFile("NoxPatch2011_updating.txt", "");
        Boxes boxes;
        int attempts = 0;
        UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder(), std::chrono::milliseconds(20),
                        std::chrono::milliseconds(200)};
        role.copy = [&](const std::string&, const std::string&) {
            ++attempts;
            return false;
        };
        EXPECT_EQ(role.Run(), 0);
        // Only where a running program explains a failed replace is it worth
        // waiting; anywhere else the first failure is the answer.
        if (platform::kReplaceFailsWhileTargetRuns)
            EXPECT_GT(attempts, 1);
        else
            EXPECT_EQ(attempts, 1);
        EXPECT_THAT(boxes.captions, ElementsAre("Launcher Update Not Finished"));
        EXPECT_FALSE(UpdateHandOffPending());  // the next start takes the normal role
        EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
        if (launcherPresent) {
            EXPECT_EQ(ReadFile("NoxPatch2011.exe"), "old launcher");
            EXPECT_FALSE(FileExists("NoxPatch2011_new.exe"));  // fetched again by the next run
        } else {
            EXPECT_EQ(ReadFile("NoxPatch2011_new.exe"), kNewProgram);
        }
    }
}

TEST(UpdateRole, StaleMarkerIsClearedWithoutReplacingAnything) {
    TestFolder folder;
    RunningOldLauncher self;  // this process runs from NoxPatch2011.exe
    const std::string launcher = ReadFile("NoxPatch2011.exe");
    WriteFile("NoxPatch2011_new.exe", kNewProgram);
    WriteFile("NoxPatch2011_updating.txt", "");
    Boxes boxes;
    bool copied = false;
    UpdateRole role{"NoxPatch2011.exe", boxes.Recorder(), std::chrono::milliseconds(20),
                    std::chrono::seconds(60)};
    role.copy = [&](const std::string&, const std::string&) { return copied = true; };
    EXPECT_FALSE(role.RunsAsSuccessor());
    EXPECT_EQ(role.Run(), 0);
    EXPECT_FALSE(copied);
    EXPECT_TRUE(boxes.captions.empty());
    EXPECT_FALSE(UpdateHandOffPending());
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), launcher);
    EXPECT_EQ(ReadFile("NoxPatch2011_new.exe"), kNewProgram);
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
}

TEST(UpdateRole, CopyThatDiffersIsErrorCode100AndStartsNothing) {
    TestFolder folder;
    WriteFile("NoxPatch2011_new.exe", kNewProgram);
    WriteFile("NoxPatch2011_updating.txt", "");
    Boxes boxes;
    UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder()};
    role.copy = [](const std::string&, const std::string& target) {
        WriteFile(target, "#!/bin/sh\n");  // short: a copy that went wrong
        return true;
    };
    EXPECT_EQ(role.Run(), 0);
    EXPECT_THAT(boxes.captions, ElementsAre("ERROR CODE 100"));
    EXPECT_EQ(boxes.texts[0],
              "ERROR CODE 100: After copying NoxPatch2011_new.exe to NoxPatch2011.exe as part of "
              "the patch process, the two files are not identical.");
    EXPECT_FALSE(UpdateHandOffPending());
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
}

TEST(UpdateRole, MarkerThatCannotBeDeletedIsErrorCode101) {
    TestFolder folder;
    WriteFile("NoxPatch2011_new.exe", kNewProgram);
    // A folder in the marker's place opens for reading but cannot be deleted
    // as a file, even by root.
    WriteFile("NoxPatch2011_updating.txt/keep", "");
    ASSERT_TRUE(UpdateHandOffPending());
    Boxes boxes;
    UpdateRole role{"NoxPatch2011_new.exe", boxes.Recorder()};
    EXPECT_EQ(role.Run(), 0);
    EXPECT_THAT(boxes.captions, ElementsAre("ERROR CODE 101"));
    EXPECT_EQ(boxes.texts[0],
              "ERROR CODE 101: After copying NoxPatch2011_new.exe to NoxPatch2011.exe as part of "
              "the patch process, the patch program was unable to delete "
              "NoxPatch2011_updating.txt.  As a result, if the patch program is restarted, it'll "
              "think it has to patch itself again.");
    EXPECT_EQ(ReadFile("NoxPatch2011.exe"), kNewProgram);  // the copy itself happened
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
}
