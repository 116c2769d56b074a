// The size and download stages at one request in flight and at several: the
// same files, texts and ledger, the connections reused, and the first failure
// ending the stage with the transfers still in flight stopped and the files
// already complete recorded.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "Concat.h"
#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "base/Sha256.h"
#include "patch/Transfer.h"

namespace {

using namespace std::chrono_literals;

const char kPatchProblem[] = "Uh oh!  A problem during the patch process";
const char kCannotWrite[] = "Launcher Cannot Update File";
const std::string kBuild = "/lanternvale_patch/build_1/";

std::string Bytes(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 13 % 251);
    return s;
}

std::set<std::string> LedgerNames() {
    std::istringstream ledger(ReadFile("file_versions.txt"));
    std::set<std::string> names;
    std::string name;
    int version;
    while (ledger >> name >> version)
        names.insert(name);
    return names;
}

// build_folder.txt and the manifest, for handlers that script the rest.
std::optional<TestReply> TextFile(const TestRequest& request, const std::string& manifest) {
    if (request.path == "/lanternvale_patch/build_folder.txt")
        return TestReply{TestReply::Kind::kNormal, 200, "build_1/\n"};
    if (request.path == kBuild + "current2.txt")
        return TestReply{TestReply::Kind::kNormal, 200, manifest};
    return std::nullopt;
}

class Width : public ::testing::TestWithParam<int> {
  protected:
    Width() { run.width = width; }

    const int width = GetParam();
    RunContext run = TestRun();
    FreshSettings settings;
    TestFolder game;
    TempDir serverRoot;
};

}  // namespace

// A fresh install from nginx, half the sizes asked for: every file whole,
// every name recorded, the size texts counting 1 to N in manifest order, the
// megabyte count over all files, and no more connections than slots.
TEST_P(Width, InstallMatchesOneAfterTheOther) {
    std::vector<BuildFile> build;
    int64_t total = 0;
    for (int i = 0; i < 24; ++i) {
        BuildFile file{
            Concat({"d", std::to_string(i % 3), "/f", std::to_string(i), ".dat"}),
            Bytes((i % 4 == 0 || i == 5 ? 300000 : 5000) + i, static_cast<char>('a' + i)), 1 + i,
            ""};
        file.withSize = i % 2 == 0;
        total += static_cast<int64_t>(file.content.size());
        build.push_back(file);
    }
    PublishBuild(serverRoot.Path(), build);
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run));
    EXPECT_TRUE(surface.boxes.empty());
    std::set<std::string> expected;
    for (const BuildFile& file : build) {
        EXPECT_EQ(ReadFile(file.name), file.content) << file.name;
        expected.insert(file.name);
        // With several in flight, a small file without a SIZE tag arrives
        // whole with its size request and is not asked for again; a large
        // one is cut there and fetched. One at a time asks for each again.
        const bool kept = width > 1 && file.content.size() <= 64 * 1024;
        EXPECT_EQ(nginx.CountRequests(kBuild + file.name), file.withSize || kept ? 1 : 2)
            << file.name;
    }
    EXPECT_EQ(LedgerNames(), expected);

    std::vector<std::string> sizeTexts;
    for (const std::string& stage : surface.stages)
        if (stage.rfind("Checking files for updates...", 0) == 0)
            sizeTexts.push_back(stage);
    ASSERT_EQ(sizeTexts.size(), 12u);
    for (size_t k = 0; k < sizeTexts.size(); ++k)
        EXPECT_EQ(sizeTexts[k],
                  "Checking files for updates... " + std::to_string(k + 1) + " of 12");
    // The bar ends full for the run; before that it reached every byte.
    EXPECT_NE(std::find(surface.positions.begin(), surface.positions.end(), total),
              surface.positions.end());
    // The two text fetches, then at most one connection per slot and stage,
    // and one more where the large file's size request was cut.
    EXPECT_LE(nginx.ConnectionCount(), 2 + 2 * width + 1);

    // Everything current now: nothing is fetched again.
    const size_t gets = nginx.AccessLog().size();
    RecordingSurface again;
    ASSERT_TRUE(again.RunPatch(run));
    EXPECT_EQ(nginx.AccessLog().size() - gets, 2u + 12u);
}

TEST_P(Width, BodiesKeptFromTheSizeStageAreCheckedLikeDownloads) {
    // Two small files without SIZE tags, one of them not the bytes its hash
    // names: kept from the size request (several in flight) or fetched again
    // (one at a time), it is refused as a download is.
    std::vector<BuildFile> build = {
        {"good.dat", "good bytes", 1, "SHA256:" + Sha256Hex("good bytes"), false},
        {"bad.dat", "bytes a man in the middle sent", 1, "SHA256:" + Sha256Hex("published"), false},
    };
    PublishBuild(serverRoot.Path(), build);
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch(run));
    EXPECT_THAT(surface.BoxCaptions(), ::testing::ElementsAre("Verify Unsuccessful Error"));
    EXPECT_EQ(ReadFile("good.dat"), "good bytes");
    EXPECT_FALSE(FileExists("bad.dat"));
    EXPECT_EQ(LedgerNames(), std::set<std::string>{"good.dat"});
    EXPECT_EQ(nginx.CountRequests(kBuild + "good.dat"), width > 1 ? 1 : 2);
    EXPECT_EQ(nginx.CountRequests(kBuild + "bad.dat"), width > 1 ? 1 : 2);
}

// The requests really overlap: each file's answer waits until all slots hold
// a request (or a few seconds pass), so one request at a time sees one.
TEST_P(Width, KeepsUpToTheWidthInFlight) {
    std::atomic<int> inFlight{0};
    std::atomic<int> most{0};
    std::string manifest;
    for (int i = 0; i < 2 * width; ++i)
        manifest += Concat({"f", std::to_string(i), ".dat 1 SIZE:5\n"});
    TestHttpServer server([&](const TestRequest& request) {
        if (std::optional<TestReply> text = TextFile(request, manifest))
            return *text;
        const int now = ++inFlight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        for (int i = 0; i < 500 && most.load() < width; ++i)
            std::this_thread::sleep_for(10ms);
        --inFlight;
        return TestReply{TestReply::Kind::kNormal, 200, "12345"};
    });
    PointAt(server.Port());
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run));
    EXPECT_EQ(most.load(), width);
    EXPECT_EQ(LedgerNames().size(), static_cast<size_t>(2 * width));
}

// f2 fails once f0 and f1 have been answered; the files after it never
// answer. The stage ends with the failure box at once (the stalled transfers
// are stopped, not waited for), f0 and f1 stay recorded, nothing else is.
TEST_P(Width, FirstFailureStopsTheRestAndKeepsWhatCompleted) {
    std::atomic<int> answered{0};
    std::string manifest;
    for (int i = 0; i < 8; ++i)
        manifest += Concat({"f", std::to_string(i), ".dat 1 SIZE:4\n"});
    TestHttpServer server([&](const TestRequest& request) {
        if (std::optional<TestReply> text = TextFile(request, manifest))
            return *text;
        if (request.path == kBuild + "f0.dat" || request.path == kBuild + "f1.dat") {
            ++answered;
            return TestReply{TestReply::Kind::kNormal, 200, "good"};
        }
        if (request.path == kBuild + "f2.dat") {
            for (int i = 0; i < 500 && answered.load() < 2; ++i)
                std::this_thread::sleep_for(10ms);
            std::this_thread::sleep_for(100ms);
            return TestReply{TestReply::Kind::kNormal, 404, "not here"};
        }
        return TestReply{TestReply::Kind::kStall};
    });
    PointAt(server.Port());
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch(run));
    EXPECT_THAT(surface.BoxCaptions(), ::testing::ElementsAre(kPatchProblem));
    EXPECT_EQ(LedgerNames(), (std::set<std::string>{"f0.dat", "f1.dat"}));
    EXPECT_EQ(ReadFile("f0.dat"), "good");
    EXPECT_EQ(server.CountRequests(kBuild + "f7.dat"), 0);
}

// A size request that fails, and a target that cannot be opened for writing,
// end their stages with the boxes one request at a time would show.
TEST_P(Width, FailuresShowTheSameBoxes) {
    std::vector<BuildFile> build;
    for (int i = 0; i < 10; ++i)
        build.push_back({Concat({"f", std::to_string(i), ".dat"}), "content", 1, ""});
    build[3].withSize = false;
    PublishBuild(serverRoot.Path(), build);
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    MakeDirs("f6.dat");  // a folder where the file goes
    RecordingSurface writeFails;
    EXPECT_FALSE(writeFails.RunPatch(run));
    EXPECT_THAT(writeFails.BoxCaptions(), ::testing::ElementsAre(kCannotWrite));
    EXPECT_EQ(LedgerNames().count("f6.dat"), 0u);

    RemoveTree(serverRoot.Path() + kBuild + "f3.dat");
    RecordingSurface sizeFails;
    EXPECT_FALSE(sizeFails.RunPatch(run));
    EXPECT_THAT(sizeFails.BoxCaptions(), ::testing::ElementsAre(kPatchProblem));
}

INSTANTIATE_TEST_SUITE_P(Transfers, Width, ::testing::Values(1, 4));
