#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "Concat.h"
#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "patch/HttpFetch.h"
#include "state/FileVersionFile.h"

using ::testing::ElementsAre;

namespace {

const char kServerUnavailable[] = "Patch Server Unavailable";
const char kPatchProblem[] = "Uh oh!  A problem during the patch process";
const char kVerifyFailed[] = "Verify Unsuccessful Error";
const char kCannotWrite[] = "Launcher Cannot Update File";

std::string Bytes(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 7 % 251);
    return s;
}

class PatchRun : public ::testing::Test {
  protected:
    FreshSettings settings;
    TestFolder game;
    TempDir serverRoot;
};

// The manifest path of build_1 on the test server.
const std::string kBuild = "/lanternvale_patch/build_1/";

}  // namespace

TEST_F(PatchRun, FreshInstallThenNothingThenOneChangedFile) {
    std::vector<BuildFile> build = {
        {"game.bin", Bytes(3 << 20, 'g'), 1, "GAME_EXE"},
        {"data/maps/a.dat", "map a", 1, ""},
        {"tools\\tc.bin", "test client", 2, "TEST_CLIENT"},
        {"nosize.dat", "size comes from the server", 4, "", false},
    };
    PublishBuild(serverRoot.Path(), build);
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    RecordingSurface first;
    ASSERT_TRUE(first.RunPatch());
    EXPECT_TRUE(first.boxes.empty());
    EXPECT_EQ(ReadFile("game.bin"), build[0].content);
    EXPECT_EQ(ReadFile("data/maps/a.dat"), "map a");
    EXPECT_EQ(ReadFile("tools/tc.bin"), "test client");
    EXPECT_EQ(first.m_gameExe, "game.bin");
    EXPECT_EQ(first.m_testClient, "tools/tc.bin");
    EXPECT_EQ(first.stages.back(), "You may now click Play to enter the game.");
    EXPECT_EQ(first.statuses, std::vector<std::string>{"Checking for game updates..."});
    EXPECT_EQ(ReadFile("file_versions.txt"),
              "game.bin 1\ndata/maps/a.dat 1\ntools/tc.bin 2\nnosize.dat 4\n");

    const int gets = static_cast<int>(nginx.AccessLog().size());
    RecordingSurface second;
    ASSERT_TRUE(second.RunPatch());
    // build_folder.txt, current2.txt and the one size query; no download.
    EXPECT_EQ(static_cast<int>(nginx.AccessLog().size()) - gets, 3);
    EXPECT_EQ(second.rangeHigh, 1);  // the bar ends full even with nothing to do
    EXPECT_EQ(second.positions.back(), 1);

    build[1].content = "map a, version 2";
    build[1].version = 2;
    PublishBuild(serverRoot.Path(), build);
    RecordingSurface third;
    ASSERT_TRUE(third.RunPatch());
    EXPECT_EQ(nginx.CountRequests(kBuild + "data/maps/a.dat"), 2);
    EXPECT_EQ(nginx.CountRequests(kBuild + "game.bin"), 1);
    EXPECT_EQ(ReadFile("data/maps/a.dat"), "map a, version 2");
}

TEST_F(PatchRun, StageLineSequenceOfOneRun) {
    PublishBuild(serverRoot.Path(), {{"a.dat", "a", 1, "", false},
                                     {"b.dat", "b", 1, "", false},
                                     {"c.dat", Bytes(300000, 'c'), 1, "GAME_EXE"}});
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch());
    // The megabyte texts depend on how the bytes arrive; everything else is fixed.
    std::vector<std::string> fixed;
    std::vector<std::string> megabytes;
    for (const std::string& stage : surface.stages)
        (stage.rfind("Downloading updates to game:  ", 0) == 0 ? megabytes : fixed)
            .push_back(stage);
    EXPECT_THAT(
        fixed,
        ElementsAre("Connecting to patch server...", "Downloading info from patch server...",
                    "Checking files...", "Downloading file sizes...",
                    "Checking files for updates... 1 of 2", "Checking files for updates... 2 of 2",
                    "Determining which files to download...", "Downloading files...",
                    "Verifying files...", " ", "You may now click Play to enter the game."));
    // 300 002 bytes in all: at most two texts, shown between those two stages.
    ASSERT_GE(megabytes.size(), 1u);
    ASSERT_LE(megabytes.size(), 2u);
    for (const std::string& text : megabytes)
        EXPECT_THAT(text, ::testing::MatchesRegex(
                              "Downloading updates to game:  0\\.[123] of 0\\.3 MB complete"));
    auto at = std::find(surface.stages.begin(), surface.stages.end(), megabytes[0]);
    EXPECT_EQ(*(at - 1), "Downloading files...");
    EXPECT_TRUE(std::is_sorted(surface.positions.begin() + 1, surface.positions.end() - 1));
}

TEST_F(PatchRun, UnreachableManifestIsServerUnavailableAndTheLedgerIsStillWritten) {
    MakeDirs(serverRoot.Path() + "/lanternvale_patch/build_1");
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    WriteFile("file_versions.txt", "kept.dat 3\n");
    RecordingSurface surface;
    surface.m_gameExe = "before.bin";
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kServerUnavailable));
    EXPECT_EQ(surface.stages.back(), "Downloading info from patch server...");
    EXPECT_EQ(surface.m_gameExe, "before.bin");
    EXPECT_EQ(surface.finishedCount, 1);
    EXPECT_EQ(ReadFile("file_versions.txt"), "kept.dat 3\n");
}

TEST_F(PatchRun, FailureMidDownloadKeepsEarlierFilesRecorded) {
    bool broken = true;
    std::map<std::string, std::string> files = {
        {"/lanternvale_patch/build_folder.txt", "build_1/\n"},
        {kBuild + "current2.txt", "a.dat 1 SIZE:1\nb.dat 1 SIZE:1\nc.dat 1 SIZE:1\n"},
        {kBuild + "a.dat", "a"},
        {kBuild + "b.dat", "b"},
        {kBuild + "c.dat", "c"}};
    TestHttpServer server([&](const TestRequest& r) {
        TestReply reply;
        if (broken && r.path == kBuild + "b.dat") {
            reply.status = 404;
            reply.body = "gone";
        } else {
            reply = TestHttpServer::Files(files)(r);
        }
        return reply;
    });
    PointAt(server.Port());
    RecordingSurface failed;
    EXPECT_FALSE(failed.RunPatch());
    EXPECT_THAT(failed.BoxCaptions(), ElementsAre(kPatchProblem));
    EXPECT_EQ(ReadFile("file_versions.txt"), "a.dat 1\n");
    EXPECT_EQ(server.CountRequests(kBuild + "c.dat"), 0);

    broken = false;
    RecordingSurface retried;
    EXPECT_TRUE(retried.RunPatch());
    EXPECT_EQ(server.CountRequests(kBuild + "a.dat"), 1);
    EXPECT_EQ(ReadFile("b.dat"), "b");
}

TEST_F(PatchRun, SizeQueryFailureStopsAtThatFile) {
    std::map<std::string, std::string> files = {
        {kBuild + "current2.txt", "a.dat 1\nb.dat 1\nc.dat 1\n"}, {kBuild + "a.dat", "a"}};
    TestHttpServer server(TestHttpServer::Files(files));
    PointAt(server.Port());
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kPatchProblem));
    EXPECT_EQ(server.CountRequests(kBuild + "b.dat"), 1);
    EXPECT_EQ(server.CountRequests(kBuild + "c.dat"), 0);
}

TEST_F(PatchRun, TargetThatCannotBeWrittenShowsTheWriteFailureBox) {
    PublishBuild(serverRoot.Path(), {{"a.dat", "a"}, {"b.dat", "b"}});
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    MakeDirs("b.dat");
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kCannotWrite));
    EXPECT_EQ(ReadFile("file_versions.txt"), "a.dat 1\n");
}

TEST_F(PatchRun, TruncatedOrUnannouncedBodiesFailVerificationAndAreDeleted) {
    const std::string full = Bytes(50000, 't');
    std::map<std::string, std::string> files = {
        {kBuild + "current2.txt", "short.dat 1 SIZE:50000\nstream.dat 1\nok.dat 1 GAME_EXE\n"},
        {kBuild + "ok.dat", "fine"}};
    TestHttpServer server([&](const TestRequest& r) {
        TestReply reply;
        if (r.path == kBuild + "short.dat") {
            reply.kind = TestReply::Kind::kShortBody;
            reply.body = full;
            reply.sendBytes = 20000;
        } else if (r.path == kBuild + "stream.dat") {
            reply.kind = TestReply::Kind::kNoLength;
            reply.body = full;
        } else {
            reply = TestHttpServer::Files(files)(r);
        }
        return reply;
    });
    PointAt(server.Port());
    RecordingSurface surface;
    surface.m_gameExe = "unchanged";
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kVerifyFailed));
    EXPECT_EQ(surface.stages.back(), " ");
    EXPECT_EQ(surface.m_gameExe, "unchanged");
    EXPECT_FALSE(FileExists("short.dat"));
    EXPECT_FALSE(FileExists("stream.dat"));
    EXPECT_EQ(ReadFile("ok.dat"), "fine");
}

TEST_F(PatchRun, UnsafeNamesNeverWriteOutsideTheFolderAndFailTheRun) {
    TempDir outside;
    std::string escape = outside.Path() + "/pwned.dat";
    std::map<std::string, std::string> files = {
        {kBuild + "current2.txt", "good.dat 1 SIZE:4\n../pwned.dat 1 SIZE:4\n" + escape +
                                      " 1 SIZE:4\nNoxPatch2011.exe 1 SIZE:4\nlast.dat 1 SIZE:4\n"},
        {kBuild + "good.dat", "good"},
        {kBuild + "last.dat", "last"}};
    TestHttpServer server(TestHttpServer::Files(files));
    PointAt(server.Port());
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    std::vector<std::string> captions = surface.BoxCaptions();
    EXPECT_EQ(std::count(captions.begin(), captions.end(), "DEBUG: Filename Security Violation"),
              3);
    EXPECT_EQ(surface.boxes.back().caption, kVerifyFailed);
    EXPECT_FALSE(FileExists(escape));
    EXPECT_FALSE(FileExists("../pwned.dat"));
    EXPECT_FALSE(FileExists("NoxPatch2011.exe"));
    EXPECT_EQ(ReadFile("good.dat"), "good");
    EXPECT_EQ(ReadFile("last.dat"), "last");  // fetched; verification stops before it
}

TEST_F(PatchRun, NewLauncherProgramSetsThePendingFlagOnlyWhenItDiffers) {
    WriteFile("NoxPatch2011.exe", "launcher build A");
    PublishBuild(serverRoot.Path(), {{"NoxPatch2011_new.exe", "launcher build A", 1, ""},
                                     {"bin/NoxPatch2011_new.exe", "other", 1, ""}});
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    RecordingSurface same;
    same.m_launcherUpdatePending = true;  // cleared by the run
    ASSERT_TRUE(same.RunPatch());
    EXPECT_FALSE(same.m_launcherUpdatePending);

    PublishBuild(serverRoot.Path(), {{"NoxPatch2011_new.exe", "launcher build B", 2, ""}});
    RecordingSurface differs;
    ASSERT_TRUE(differs.RunPatch());
    EXPECT_TRUE(differs.m_launcherUpdatePending);
}

TEST_F(PatchRun, EachStageUsesOneConnection) {
    std::map<std::string, std::string> files = {
        {"/lanternvale_patch/build_folder.txt", "build_1/\n"}};
    // A file too large to drain during the size query is cut off, which costs
    // one reconnect; it comes first so the reconnect shows.
    std::string manifest = "big.dat 1\n";
    files[kBuild + "big.dat"] = Bytes(1 << 20, 'b');
    for (int i = 0; i < 30; ++i) {
        std::string name = Concat({"f", std::to_string(i), ".dat"});
        files[kBuild + name] = Bytes(2000 + i, 'a');
        manifest += name + " 1\n";
    }
    files[kBuild + "current2.txt"] = manifest;
    TestHttpServer server(TestHttpServer::Files(files));
    PointAt(server.Port());
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch());
    // build_folder.txt, current2.txt, the size stage and its one reconnect,
    // the download stage.
    EXPECT_EQ(server.ConnectionCount(), 5);
    EXPECT_EQ(ReadFile("big.dat"), files[kBuild + "big.dat"]);
}

TEST_F(PatchRun, StalledDownloadFailsTheRunInsteadOfHangingIt) {
    std::map<std::string, std::string> files = {
        {kBuild + "current2.txt", "slow.dat 1 SIZE:100000\n"}};
    TestHttpServer server([&](const TestRequest& r) {
        if (r.path != kBuild + "slow.dat")
            return TestHttpServer::Files(files)(r);
        TestReply reply;
        reply.kind = TestReply::Kind::kStallInBody;
        reply.body = Bytes(100000, 's');
        reply.sendBytes = 1000;
        return reply;
    });
    PointAt(server.Port());
    RunContext run = TestRun();
    run.limits.lowSpeedSeconds = 1;
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch(run));
    // The transfer ended with status 200 but too few bytes: verification
    // catches it and removes the partial file.
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kVerifyFailed));
    EXPECT_FALSE(FileExists("slow.dat"));
}

TEST_F(PatchRun, FilesOf2GiBAndMoreCompareByTheirFullLength) {
    // Sparse local files: only their length is compared.
    const int64_t big = 5LL << 30;
    WriteFile("huge.pak", "");
    ASSERT_EQ(::truncate("huge.pak", big), 0);
    WriteFile("edge.pak", "");
    ASSERT_EQ(::truncate("edge.pak", 1LL << 31), 0);
    WriteFile("file_versions.txt", "huge.pak 2\nedge.pak 1\n");
    std::map<std::string, std::string> files = {
        {kBuild + "current2.txt",
         "huge.pak 2 SIZE:" + std::to_string(big) + "\nedge.pak 1 SIZE:2147483648\n"}};
    TestHttpServer server(TestHttpServer::Files(files));
    PointAt(server.Port());
    RecordingSurface surface;
    EXPECT_TRUE(surface.RunPatch());
    EXPECT_EQ(server.CountRequests(kBuild + "huge.pak"), 0);
    EXPECT_EQ(server.CountRequests(kBuild + "edge.pak"), 0);
    EXPECT_TRUE(surface.boxes.empty());
}
