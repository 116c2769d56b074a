// Patch runs against a server that lies, never stops, breaks off or aims at
// the launcher's own files, in real game folders (some on a file system
// small enough to fill).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "SmallDisk.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "patch/Transfer.h"
#include "state/LocalFiles.h"

using ::testing::ElementsAre;

namespace {

const char kServerUnavailable[] = "Patch Server Unavailable";
const char kVerifyFailed[] = "Verify Unsuccessful Error";
const char kCannotWrite[] = "Launcher Cannot Update File";
const char kSecurity[] = "DEBUG: Filename Security Violation";
const std::string kBuild = "/lanternvale_patch/build_1/";

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Serves `files` under the build path; `faults` overrides single paths.
struct HostileServer {
    explicit HostileServer(std::map<std::string, std::string> files)
        : server([this](const TestRequest& r) {
              auto fault = faults.find(r.path);
              if (fault != faults.end())
                  return fault->second;
              return TestHttpServer::Files(this->files)(r);
          }),
          files(std::move(files)) {
        PointAt(server.Port());
    }
    bool Requested(const std::string& prefix) const {
        for (const TestRequest& r : server.Requests())
            if (r.path.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    TestHttpServer server;
    std::map<std::string, std::string> files;
    std::map<std::string, TestReply> faults;
};

TestReply Endless(std::optional<size_t> announced = std::nullopt) {
    TestReply reply;
    reply.kind = TestReply::Kind::kEndless;
    reply.announcedLength = announced;
    return reply;
}

class HostileRun : public ::testing::Test {
  protected:
    FreshSettings settings;
};

}  // namespace

TEST_F(HostileRun, TheLaunchersOwnFilesAreNeverWrittenInAnyLetterCase) {
    TestFolder game;
    std::string manifest;
    std::map<std::string, std::string> files;
    std::vector<std::string> hostile;
    for (size_t i = 0; i < kLauncherLocalFileCount; ++i) {
        hostile.push_back(kLauncherLocalFiles[i]);
        hostile.push_back(Upper(kLauncherLocalFiles[i]));
    }
    hostile.push_back(TemporaryNameFor("file_versions.txt"));
    hostile.push_back("current2.txt.");
    // A folder in the place of a marker would stand for the marker.
    hostile.push_back("NoxPatch2011_was_restarted.txt/x");
    hostile.push_back("Windowed_Mode.txt/x");
    hostile.push_back("NoxPatch2011_updating.txt\\y");
    for (const std::string& name : hostile) {
        manifest += name + " 1 SIZE:7\n";
        files[kBuild + name] = "HOSTILE";
    }
    // The two programs a build may update stay ordinary game files.
    manifest +=
        "NoxPatch2011_new.exe 1 SIZE:3\nNoxOptions.exe 1 SIZE:3\nsub/current2.txt 1 SIZE:3\n";
    for (const char* name : {"NoxPatch2011_new.exe", "NoxOptions.exe", "sub/current2.txt"})
        files[kBuild + name] = "new";
    files[kBuild + "current2.txt"] = manifest;
    HostileServer server(files);
    const std::string address = ReadFile("patch_server_address.txt");
    WriteFile("NoxPatch2011_Options.cfg", "NOAUTODOWNLOAD\n");

    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    std::vector<std::string> captions = surface.BoxCaptions();
    EXPECT_EQ(std::count(captions.begin(), captions.end(), kSecurity),
              static_cast<long>(hostile.size()));
    EXPECT_EQ(captions.back(), kVerifyFailed);
    for (const RecordingSurface::Box& box : surface.boxes) {
        if (box.caption == kSecurity) {
            // The name unchanged, but for the trailing dot, which the rule for
            // names Windows cannot hold defuses as well.
            std::string shown = box.text;
            if (shown == "current2.txt0")
                shown.back() = '.';
            if (shown == "NoxPatch2011_updating.txt/y")
                shown = "NoxPatch2011_updating.txt\\y";
            EXPECT_NE(std::find(hostile.begin(), hostile.end(), shown), hostile.end())
                << "shown as " << box.text;
        }
    }

    for (const std::string& name : hostile) {
        // The manifest itself is fetched once, as the manifest.
        EXPECT_EQ(server.server.CountRequests(kBuild + name), name == kManifestFileName ? 1 : 0)
            << name;
        if (FileExists(name)) {
            EXPECT_NE(ReadFile(name), "HOSTILE") << name;
        }
    }
    EXPECT_EQ(ReadFile("patch_server_address.txt"), address);
    EXPECT_EQ(ReadFile("NoxPatch2011_Options.cfg"), "NOAUTODOWNLOAD\n");
    EXPECT_FALSE(FileExists("windowed_mode.txt"));
    EXPECT_FALSE(FileExists("Windowed_Mode.txt"));
    EXPECT_FALSE(FileExists("NoxPatch2011_updating.txt"));
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
    EXPECT_EQ(ReadFile("current2.txt"), manifest);
    EXPECT_EQ(ReadFile("NoxOptions.exe"), "new");
    EXPECT_EQ(ReadFile("sub/current2.txt"), "new");
}

TEST_F(HostileRun, ANameWithAFragmentMarkIsRejectedAndNothingElseIsFetchedForIt) {
    TestFolder game;
    HostileServer server({{kBuild + "current2.txt", "a#b.dat 1 SIZE:1\nok.dat 1 SIZE:2\n"},
                          {kBuild + "a", "A"},
                          {kBuild + "ok.dat", "ok"}});
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    ASSERT_FALSE(surface.boxes.empty());
    EXPECT_EQ(surface.boxes[0].caption, kSecurity);
    EXPECT_EQ(surface.boxes[0].text, "a0b.dat");
    EXPECT_FALSE(server.Requested(kBuild + "a"));
    EXPECT_FALSE(FileExists("a#b.dat"));
    EXPECT_EQ(ReadFile("ok.dat"), "ok");
}

TEST_F(HostileRun, AnswersLongerThanTheEntryAreCutAndFailVerification) {
    // On a small disk where the machine allows it: an unbounded download
    // would fill it and end in the write failure box instead.
    SmallDisk disk(512 << 10);
    std::optional<TestFolder> fallback;
    if (!disk.Mounted())
        fallback.emplace();
    HostileServer server({{kBuild + "current2.txt",
                           "endless.dat 1 SIZE:1000\nlonger.dat 1 SIZE:5000\n"
                           "exact.dat 1 SIZE:0\nok.dat 1 SIZE:2\n"},
                          {kBuild + "longer.dat", std::string(20000, 'l')},
                          {kBuild + "exact.dat", "x"},
                          {kBuild + "ok.dat", "ok"}});
    server.faults[kBuild + "endless.dat"] = Endless();
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kVerifyFailed));
    EXPECT_FALSE(FileExists("endless.dat"));
    EXPECT_FALSE(FileExists("longer.dat"));
    EXPECT_FALSE(FileExists("exact.dat"));
    EXPECT_EQ(ReadFile("ok.dat"), "ok");
    EXPECT_EQ(ReadFile("file_versions.txt"), "ok.dat 1\n");
}

TEST_F(HostileRun, AFailingWriteEndsTheTransferWithTheWriteFailureBox) {
    TestFolder game;
    // The size query learns nothing (no length) and the body never ends: only
    // the failing write can stop it.
    HostileServer server({{kBuild + "current2.txt", "first.dat 1 SIZE:5\nendless.dat 1\n"},
                          {kBuild + "first.dat", "first"}});
    server.faults[kBuild + "endless.dat"] = Endless();
    RecordingSurface surface;
    {
        FileSizeLimit limit(1 << 20);
        EXPECT_FALSE(surface.RunPatch());
    }
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kCannotWrite));
    EXPECT_FALSE(FileExists("endless.dat"));  // the part written only took space
    EXPECT_EQ(ReadFile("file_versions.txt"), "first.dat 1\n");
}

TEST_F(HostileRun, AFullDiskDuringADownloadIsAWriteFailure) {
    SmallDisk disk(256 << 10);
    if (!disk.Mounted())
        GTEST_SKIP() << "no right to mount a small file system here";
    HostileServer server({{kBuild + "current2.txt", "endless.dat 1\n"}});
    server.faults[kBuild + "endless.dat"] = Endless();
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kCannotWrite));
    EXPECT_FALSE(FileExists("endless.dat"));
    EXPECT_TRUE(FileExists("file_versions.txt"));  // saved once the space was back
}

TEST_F(HostileRun, SizesNoDiskHoldsDownloadNothingAndKeepEveryFile) {
    // Sizes at the top of the range must not wrap around in the sum of what
    // the stage needs and so pass as fitting.
    TestFolder game;
    WriteFile("a.dat", "old a");
    HostileServer server({{kBuild + "current2.txt",
                           "a.dat 2 SIZE:9223372036854775807\nb.dat 1 SIZE:4611686018427387904\n"
                           "c.dat 1 SIZE:4611686018427387904\n"},
                          {kBuild + "a.dat", "new a"},
                          {kBuild + "b.dat", "b"},
                          {kBuild + "c.dat", "c"}});
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kCannotWrite));
    for (const char* name : {"a.dat", "b.dat", "c.dat"})
        EXPECT_EQ(server.server.CountRequests(kBuild + name), 0) << name;
    EXPECT_EQ(ReadFile("a.dat"), "old a");
}

TEST_F(HostileRun, ADiskTooFullForTheBuildDownloadsNothingAndKeepsEveryFile) {
    SmallDisk disk(1 << 20);
    if (!disk.Mounted())
        GTEST_SKIP() << "no right to mount a small file system here";
    const std::string oldA(100000, 'o');
    WriteFile("a.dat", oldA);
    WriteFile("b.dat", "old b");
    WriteFile("file_versions.txt", "a.dat 1\nb.dat 1\n");
    HostileServer server({{kBuild + "current2.txt", "a.dat 2 SIZE:300000\nb.dat 2 SIZE:900000\n"},
                          {kBuild + "a.dat", std::string(300000, 'n')},
                          {kBuild + "b.dat", std::string(900000, 'n')}});
    RecordingSurface full;
    EXPECT_FALSE(full.RunPatch());
    EXPECT_THAT(full.BoxCaptions(), ElementsAre(kCannotWrite));
    EXPECT_EQ(server.server.CountRequests(kBuild + "a.dat"), 0);
    EXPECT_EQ(server.server.CountRequests(kBuild + "b.dat"), 0);
    EXPECT_EQ(ReadFile("a.dat"), oldA);
    EXPECT_EQ(ReadFile("b.dat"), "old b");
    EXPECT_EQ(ReadFile("file_versions.txt"), "a.dat 1\nb.dat 1\n");

    // What the new files replace counts once each is in place: a build
    // larger than the free space fits when the old files give theirs back,
    // one staged file at a time beside its old one.
    WriteFile("a.dat", std::string(400000, 'o'));
    WriteFile("b.dat", std::string(100000, 'o'));
    server.files[kBuild + "current2.txt"] = "a.dat 2 SIZE:400000\nb.dat 2 SIZE:450000\n";
    server.files[kBuild + "a.dat"] = std::string(400000, 'n');
    server.files[kBuild + "b.dat"] = std::string(450000, 'n');
    RecordingSurface fits;
    // 850 000 new bytes with roughly 520 000 free: at most 450 000 of them
    // are ever beside the files they replace.
    EXPECT_TRUE(fits.RunPatch()) << ::testing::PrintToString(fits.BoxCaptions());
    EXPECT_EQ(ReadFile("b.dat"), std::string(450000, 'n'));
}

TEST_F(HostileRun, AManifestThatDoesNotArriveWholeFailsAtStageZeroAndKeepsTheLocalCopy) {
    TestFolder game;
    RunContext run = TestRun();
    run.limits.lowSpeedSeconds = 1;  // stalls end within a second instead of a minute
    const std::string previous = "game.bin 1 GAME_EXE SIZE:3\n";
    const std::string manifest = "game.bin 2 GAME_EXE SIZE:3\nmore.dat 1 SIZE:4\n";
    const size_t firstLine = manifest.find('\n') + 1;
    struct Case {
        const char* what;
        TestReply reply;
    };
    std::vector<Case> cases;
    {
        TestReply r;
        r.kind = TestReply::Kind::kShortBody;
        r.body = manifest;
        r.sendBytes = firstLine;
        cases.push_back({"cut after its first line", r});
        r.kind = TestReply::Kind::kResetInBody;
        cases.push_back({"reset after its first line", r});
        r.kind = TestReply::Kind::kStallInBody;
        cases.push_back({"stalled after its first line", r});
        cases.push_back({"longer than a manifest may be", Endless(size_t{kManifestLimit} + 1)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("current2.txt", previous);
        HostileServer server({{kBuild + "game.bin", "new"}});
        server.faults[kBuild + "current2.txt"] = c.reply;
        RecordingSurface surface;
        EXPECT_FALSE(surface.RunPatch(run));
        EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kServerUnavailable));
        EXPECT_EQ(ReadFile("current2.txt"), previous);
        EXPECT_FALSE(server.Requested(kBuild + "game.bin"));
        FilesToPatch local;
        LoadLocalManifest(local);
        std::string exe;
        local.GetGameExe(exe);
        EXPECT_EQ(exe, "game.bin");
    }
}

TEST_F(HostileRun, AReadOnlyLocalManifestFailsTheFetchInsteadOfBeingUsedStale) {
    TestFolder game;
    const std::string previous = "game.bin 1 GAME_EXE SIZE:3\n";
    WriteFile("current2.txt", previous);
    ASSERT_EQ(::chmod("current2.txt", 0444), 0);
    HostileServer server(
        {{kBuild + "current2.txt", "game.bin 2 GAME_EXE SIZE:3\n"}, {kBuild + "game.bin", "new"}});
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kServerUnavailable));
    EXPECT_EQ(ReadFile("current2.txt"), previous);
    EXPECT_FALSE(server.Requested(kBuild + "game.bin"));
}

TEST_F(HostileRun, ABuildFolderAnswerThatIsTooLongOrBrokenChangesNothing) {
    TestFolder game;
    RunContext run = TestRun();
    run.limits.lowSpeedSeconds = 1;  // stalls end within a second instead of a minute
    WriteFile("build_folder.txt", "build_1/\n");
    TestReply broken;
    broken.kind = TestReply::Kind::kShortBody;
    broken.body = "build_9/\nand more";
    broken.sendBytes = 9;
    for (const TestReply& reply : {Endless(), Endless(kBuildFolderLimit + 1), broken}) {
        HostileServer server({});
        server.faults["/lanternvale_patch/build_folder.txt"] = reply;
        ReadPatchServerAddress();
        FetchBuildFolder(run);
        EXPECT_EQ(g_patchServer.buildPath, "/lanternvale_patch/build_1/");
        EXPECT_EQ(ReadFile("build_folder.txt"), "build_1/\n");
    }
}

TEST_F(HostileRun, AManifestTrickledJustAboveTheStallRateEndsAtItsDeadline) {
    TestFolder game;
    RunContext run = TestRun();
    run.limits.lowSpeedBytesPerSecond = 10;  // the trickle stays above it
    run.limits.textFileDeadlineSeconds = 1;
    TestReply trickle;
    trickle.kind = TestReply::Kind::kTrickle;
    trickle.body = std::string(1 << 20, 'm');  // a day's trickle without a deadline
    trickle.trickleMicroseconds = 20000;
    HostileServer server({});
    server.faults[kBuild + "current2.txt"] = trickle;
    server.files["/lanternvale_patch/build_folder.txt"] = "build_1/";
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch(run));
    EXPECT_THAT(surface.BoxCaptions(), ElementsAre(kServerUnavailable));
    EXPECT_FALSE(FileExists("current2.txt"));
}
