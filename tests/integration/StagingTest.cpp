// A game file is replaced only by bytes that passed every check: whatever
// else a server sends, or however a run ends, the installed file stays byte
// for byte and mode for mode, and no staging file outlives the next start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "base/Sha256.h"
#include "patch/Limits.h"
#include "patch/Transfer.h"
#include "state/LocalFiles.h"

namespace {

const std::string kBuild = "/lanternvale_patch/build_1/";
const std::string kOld = "#!/bin/sh\necho the installed game\n";
const std::string kNew(300000, 'n');

std::vector<std::string> StagingFiles() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator("."))
        if (entry.path().extension() == kStagingSuffix)
            found.push_back(entry.path().string());
    return found;
}

TestReply Reply(int status, std::string body) {
    TestReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

struct Case {
    const char* what;
    TestReply reply;  // what the server sends for game.sh
};

std::vector<Case> Cases() {
    TestReply cut = Reply(200, kNew);
    cut.kind = TestReply::Kind::kShortBody;
    cut.sendBytes = 256 << 10;
    TestReply reset = Reply(200, kNew);
    reset.kind = TestReply::Kind::kResetInBody;
    reset.sendBytes = 1000;
    TestReply redirect = Reply(302, std::string(100000, 'r'));
    redirect.headers = {{"Location", "/elsewhere"}};
    std::string wrong = kNew;
    wrong[1000] = 'x';
    return {
        {"a long error body", Reply(404, std::string(256 << 10, 'e'))},
        {"a redirect's body", redirect},
        {"an answer cut short", cut},
        {"a connection reset in the body", reset},
        {"bytes other than the published ones", Reply(200, wrong)},
        {"more bytes than the manifest says", Reply(200, kNew + "tail")},
    };
}

// Runs at one transfer at a time and at several.
class Staging : public ::testing::TestWithParam<int> {
  protected:
    Staging() { run.width = GetParam(); }

    RunContext run = TestRun();
    FreshSettings settings;
};

}  // namespace

TEST_P(Staging, AnAnswerThatIsNotThePublishedFileLeavesTheInstalledOneAsItWas) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.what);
        TestFolder game;
        WriteFile("game.sh", kOld);
        ::chmod("game.sh", 0755);
        WriteFile("file_versions.txt", "game.sh 1\n");
        const std::string manifest = "game.sh 2 GAME_EXE SIZE:" + std::to_string(kNew.size()) +
                                     " SHA256:" + Sha256Hex(kNew) + "\n";
        TestHttpServer server([&](const TestRequest& r) {
            if (r.path == kBuild + "current2.txt")
                return Reply(200, manifest);
            if (r.path == kBuild + "game.sh")
                return c.reply;
            return TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_1/"}})(r);
        });
        PointAt(server.Port());
        RecordingSurface surface;
        EXPECT_FALSE(surface.RunPatch(run));
        EXPECT_EQ(ReadFile("game.sh"), kOld);
        struct stat st {};
        ASSERT_EQ(::stat("game.sh", &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        EXPECT_EQ(ReadFile("file_versions.txt"), "game.sh 1\n");
        EXPECT_THAT(StagingFiles(), ::testing::IsEmpty());
    }
}

TEST_P(Staging, AStageEndedByAnotherFilesFailureKeepsTheInstalledFiles) {
    // big.dat is half way when small.dat's 404 ends the stage (with one
    // transfer at a time, small.dat comes first and big.dat is never asked).
    TestFolder game;
    run.limits.lowSpeedSeconds = 1;  // stalls end within a second instead of a minute
    WriteFile("big.dat", kOld);
    TestReply stalled = Reply(200, kNew);
    stalled.kind = TestReply::Kind::kStallInBody;
    stalled.sendBytes = 100000;
    TestHttpServer server([&](const TestRequest& r) {
        if (r.path == kBuild + "current2.txt")
            return Reply(
                200, "small.dat 1 SIZE:5\nbig.dat 2 SIZE:" + std::to_string(kNew.size()) + "\n");
        if (r.path == kBuild + "big.dat")
            return stalled;
        if (r.path == kBuild + "small.dat") {
            // Late enough that big.dat has begun.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return Reply(404, "gone");
        }
        return TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_1/"}})(r);
    });
    PointAt(server.Port());
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch(run));
    EXPECT_EQ(ReadFile("big.dat"), kOld);
    EXPECT_THAT(StagingFiles(), ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Width, Staging, ::testing::Values(1, 4));

TEST(StagingKill, AKilledDownloadLeavesTheInstalledFileAndTheNextStartRemovesWhatItStaged) {
    TestFolder game;
    WriteFile("game.sh", kOld);
    WriteFile("keep.lvpart.txt", "not a staging file");
    TestReply stalled = Reply(200, kNew);
    stalled.kind = TestReply::Kind::kStallInBody;
    stalled.sendBytes = 256 << 10;
    bool stall = true;
    std::mutex lock;
    TestHttpServer server([&](const TestRequest& r) {
        if (r.path == kBuild + "current2.txt")
            return Reply(200, "game.sh 2 GAME_EXE SIZE:" + std::to_string(kNew.size()) + "\n");
        std::lock_guard<std::mutex> guard(lock);
        if (r.path == kBuild + "game.sh")
            return stall ? stalled : Reply(404, "");
        return TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_1/"}})(r);
    });
    PointAt(server.Port());

    const int pid = StartQuietly({LVPATCH_PATH, "--dir", game.Path()});
    // Killed once the part that arrived is on the disk.
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::string> staged = StagingFiles();
        if (!staged.empty() && std::filesystem::file_size(staged[0]) > 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    KillNow(pid);
    ASSERT_THAT(StagingFiles(), ::testing::SizeIs(1));
    EXPECT_EQ(ReadFile("game.sh"), kOld);

    {
        std::lock_guard<std::mutex> guard(lock);
        stall = false;
    }
    FreshSettings settings;
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_EQ(ReadFile("game.sh"), kOld);
    EXPECT_THAT(StagingFiles(), ::testing::IsEmpty());
    EXPECT_EQ(ReadFile("keep.lvpart.txt"), "not a staging file");
}

TEST(StagingNames, AFileWhoseNameLeavesNoRoomForTheStagingTailStillInstalls) {
    TestFolder game;
    FreshSettings settings;
    const std::string longName = "data/" + std::string(250, 'L');
    const std::string otherLong = "data/" + std::string(249, 'L') + "M";
    TestHttpServer server([&](const TestRequest& r) {
        if (r.path == kBuild + "current2.txt")
            return Reply(200, longName + " 1 SIZE:3\n" + otherLong + " 1 SIZE:5\n");
        return TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_1/"},
                                      {kBuild + longName, "one"},
                                      {kBuild + otherLong, "other"}})(r);
    });
    PointAt(server.Port());
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << ::testing::PrintToString(surface.BoxCaptions());
    EXPECT_EQ(ReadFile(longName), "one");
    EXPECT_EQ(ReadFile(otherLong), "other");
    EXPECT_NE(StagingNameFor(longName), StagingNameFor(otherLong));
}
