// The player's cap reaches every transfer of a run: from the settings file,
// or from lvpatch's --limit-rate instead. How well the bucket holds the rate
// is its own unit test; the figures are in bench/README.md.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "patch/Transfer.h"
#include "state/Settings.h"
#include "tools/lvpatch/ConsoleSurface.h"

using ::testing::HasSubstr;

namespace {

const std::string kBuild = "/lanternvale_patch/build_1/";
const std::string kLvpatch = LVPATCH_PATH;

class RateCap : public ::testing::Test {
  protected:
    RateCap()
        : server_(
              TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_1/\n"},
                                     {kBuild + "current2.txt", "a.dat 1\nb.dat 1 SIZE:300000\n"},
                                     {kBuild + "a.dat", std::string(200000, 'a')},
                                     {kBuild + "b.dat", std::string(300000, 'b')}})) {
        PointAt(server_.Port());
    }
    FreshSettings settings_;
    TestFolder game_;
    TestHttpServer server_;
    RunContext run_ = TestRun();
};

}  // namespace

TEST_F(RateCap, SettingCapsEveryTransferOfTheRunInSmallBlocks) {
    WriteFile(Settings::kFileName, "# the house line\nlimit_rate = 8 MiB/s\n");
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run_));
    ASSERT_TRUE(run_.network.limiter);
    const RateLimiter& limiter = *run_.network.limiter;
    EXPECT_EQ(limiter.BytesPerSecond(), 8 << 20);
    // The text files and both game files, all in one bucket.
    EXPECT_GE(limiter.Consumed(), 200000 + 300000);
    EXPECT_LE(limiter.LargestBlock(), limiter.BlockSize(1));
    EXPECT_EQ(ReadFile("b.dat"), std::string(300000, 'b'));
}

TEST_F(RateCap, NoFileOrOffMeansNoCapAndTheFlagWinsOverTheFile) {
    RecordingSurface uncapped;
    ASSERT_TRUE(uncapped.RunPatch(run_));
    EXPECT_FALSE(run_.network.limiter);

    WriteFile(Settings::kFileName, "limit_rate = off\n");
    RemoveTree("a.dat");
    RecordingSurface off;
    ASSERT_TRUE(off.RunPatch(run_));
    EXPECT_FALSE(run_.network.limiter);

    // As lvpatch --limit-rate 256KiB/s sets it, over a file that says off.
    run_.rateOverride.active = true;
    run_.rateOverride.bytesPerSecond = 256 * 1024;
    RemoveTree("a.dat");
    RecordingSurface flagged;
    ASSERT_TRUE(flagged.RunPatch(run_));
    ASSERT_TRUE(run_.network.limiter);
    EXPECT_EQ(run_.network.limiter->BytesPerSecond(), 256 * 1024);
    EXPECT_GE(run_.network.limiter->Consumed(), 200000);
}

TEST_F(RateCap, LvpatchTakesARateOrOffAndRefusesAnythingElse) {
    ProcessResult capped = RunProcess({kLvpatch, "--limit-rate", "16MiB/s", "--dir", game_.Path()});
    EXPECT_EQ(capped.exitCode, 0) << capped.err;
    EXPECT_EQ(ReadFile("a.dat"), std::string(200000, 'a'));
    ProcessResult off = RunProcess({kLvpatch, "--limit-rate=off", "--dir", game_.Path()});
    EXPECT_EQ(off.exitCode, 0) << off.err;
    for (const char* bad : {"fast", "0", "500 kB/s", "-1MiB/s", "2T", "1.M", "99999999999999G"}) {
        ProcessResult refused = RunProcess({kLvpatch, "--limit-rate", bad});
        EXPECT_EQ(refused.exitCode, 2) << bad;
        EXPECT_THAT(refused.err, HasSubstr("is not a rate such as 500K, 2M")) << bad;
    }
    // What curl, wget and aria2 take.
    const std::pair<const char*, int64_t> typed[] = {
        {"2097152", 2097152}, {"500K", 512000},         {"500k", 512000},    {"2M", 2097152},
        {"1.5m", 1572864},    {"1G", int64_t{1} << 30}, {"2MiB/s", 2097152}, {"64 KiB/s", 65536}};
    for (const auto& [text, bytes] : typed)
        EXPECT_EQ(ParseConsoleRate(text), bytes) << text;
    ProcessResult missing = RunProcess({kLvpatch, "--limit-rate"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err, HasSubstr("--limit-rate needs a value"));
}

// Transfers share the cap by pausing their handles, one at a time or several
// at once, and the driver unpauses them as the bucket allows.
class RateCapWidth : public RateCap, public ::testing::WithParamInterface<int> {};

TEST_P(RateCapWidth, TransfersPauseAndResumeUnderOneBucket) {
    run_.network.limiter.emplace(2 << 20);
    const int width = GetParam();
    constexpr size_t kTransfers = 3;
    TransferPool pool(run_, width);
    pool.ConfigureHandles([&](TransferHandle& handle) { handle.UseLargeBlocks(width); });
    std::vector<std::string> bodies(kTransfers);
    std::vector<std::unique_ptr<StringSink>> sinks;
    std::vector<std::unique_ptr<Transfer>> transfers;
    for (size_t i = 0; i < kTransfers; ++i) {
        sinks.push_back(std::make_unique<StringSink>(&bodies[i]));
        transfers.push_back(std::make_unique<Transfer>(sinks.back().get()));
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(server_.Port()) + kBuild + "b.dat";
    std::vector<size_t> ended;
    pool.Run(
        kTransfers,
        [&](size_t i) {
            return std::optional<TransferJob>(TransferJob{url, transfers[i].get()});
        },
        [&](size_t i, const TransferOutcome&) { ended.push_back(i); });
    EXPECT_EQ(ended.size(), kTransfers);
    int pauses = 0;
    for (size_t i = 0; i < kTransfers; ++i) {
        EXPECT_TRUE(transfers[i]->Outcome().Complete()) << i;
        EXPECT_EQ(bodies[i], std::string(300000, 'b')) << i;
        pauses += transfers[i]->Pauses();
    }
    const RateLimiter& limiter = *run_.network.limiter;
    EXPECT_EQ(limiter.Consumed(), 3 * 300000);
    EXPECT_LE(limiter.LargestBlock(), limiter.BlockSize(width));
    EXPECT_GT(pauses, 0);  // 900 KB against 200 KB of slack: the bucket had to pause them
}

INSTANTIATE_TEST_SUITE_P(Width, RateCapWidth, ::testing::Values(1, 3));
