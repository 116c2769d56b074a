// Broken game-file transfers resumed within the run, against a server that
// breaks them on purpose; every case checks the exact requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "patch/Transfer.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const char kVerifyFailed[] = "Verify Unsuccessful Error";
const std::string kBuild = "/lanternvale_patch/build_1/";
const std::string kPath = kBuild + "big.dat";
constexpr size_t kSize = 400000;

std::string Content(char seed) {
    std::string s(kSize, '\0');
    for (size_t i = 0; i < kSize; ++i)
        s[i] = static_cast<char>(seed + i * 13 % 241);
    return s;
}

// The byte a "Range: bytes=N-" asks for, or -1 without one.
int64_t RangeStart(const TestRequest& request) {
    std::string range = request.Header("Range");
    if (range.rfind("bytes=", 0) != 0)
        return -1;
    return std::stoll(range.substr(6));
}

// What a good server answers: the rest from the asked byte, or the whole.
TestReply Serve(const TestRequest& request, const std::string& body,
                const std::string& etag = "\"v1\"") {
    TestReply reply;
    reply.headers = {{"ETag", etag}};
    int64_t start = RangeStart(request);
    if (start < 0) {
        reply.body = body;
        return reply;
    }
    reply.status = 206;
    reply.body = body.substr(static_cast<size_t>(start));
    reply.headers.push_back({"Content-Range", "bytes " + std::to_string(start) + "-" +
                                                  std::to_string(body.size() - 1) + "/" +
                                                  std::to_string(body.size())});
    return reply;
}

// The same answer broken after `bytes` of its body.
TestReply Broken(TestReply reply, size_t bytes, TestReply::Kind kind) {
    reply.kind = kind;
    reply.sendBytes = bytes;
    return reply;
}

// Every case at one transfer and at several in flight.
class Resume : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        run_.limits.lowSpeedSeconds = 1;  // a stall ends within a second
        run_.width = GetParam();
    }

    // A patch run of one file whose transfers `answer` serves; the attempt
    // number counts from 1.
    bool Run(std::function<TestReply(const TestRequest&, int attempt)> answer) {
        attempts_ = 0;
        server_ = std::make_unique<TestHttpServer>([this, answer](const TestRequest& r) {
            if (r.path == kPath)
                return answer(r, ++attempts_);
            return TestHttpServer::Files(
                {{kBuild + "current2.txt", "big.dat 3 SIZE:" + std::to_string(kSize) + "\n"}})(r);
        });
        PointAt(server_->Port());
        return surface_->RunPatch(run_);
    }

    // "Range" of every request for the file, "-" for none.
    std::vector<std::string> Ranges() const {
        std::vector<std::string> ranges;
        for (const TestRequest& r : server_->Requests())
            if (r.path == kPath)
                ranges.push_back(r.Header("Range").empty() ? "-" : r.Header("Range"));
        return ranges;
    }

    // Up to the run's own "done" (range 0 to 1, position 1) after the stage.
    void ExpectProgressNeverBack() const {
        ASSERT_FALSE(surface_->positions.empty());
        EXPECT_TRUE(std::is_sorted(surface_->positions.begin(), surface_->positions.end() - 1));
        std::vector<double> figures;
        for (const std::string& stage : surface_->stages)
            if (stage.rfind("Downloading updates to game:  ", 0) == 0)
                figures.push_back(std::stod(stage.substr(30)));
        EXPECT_TRUE(std::is_sorted(figures.begin(), figures.end()));
    }

    FreshSettings settings_;
    TestFolder game_;
    std::unique_ptr<RecordingSurface> surface_ = std::make_unique<RecordingSurface>();
    std::unique_ptr<TestHttpServer> server_;
    std::atomic<int> attempts_{0};
    RunContext run_ = TestRun();
};

}  // namespace

TEST_P(Resume, ResetAt30PercentOrAStallContinuesFromTheByteWhereItStopped) {
    const std::string body = Content('a');
    for (TestReply::Kind fault : {TestReply::Kind::kResetInBody, TestReply::Kind::kStallInBody}) {
        ASSERT_TRUE(Run([&](const TestRequest& r, int attempt) {
            TestReply reply = Serve(r, body);
            return attempt == 1 ? Broken(reply, kSize * 3 / 10, fault) : reply;
        })) << surface_->BoxCaptions().size();
        EXPECT_EQ(ReadFile("big.dat"), body);
        EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=120000-"));
        EXPECT_EQ(surface_->positions.back(), 1);  // the run's own "done"
        EXPECT_EQ(*(surface_->positions.end() - 2), static_cast<int64_t>(kSize));
        ExpectProgressNeverBack();
        surface_ = std::make_unique<RecordingSurface>();
        RemoveTree("big.dat");
        RemoveTree("file_versions.txt");
    }
}

TEST_P(Resume, SeveralResetsInARowUpToTheLastAttemptThenBrokenOffAsBefore) {
    const std::string body = Content('b');
    // Each attempt brings 50000 more bytes, then the connection drops.
    auto dropping = [&](int succeedAt) {
        return [&, succeedAt](const TestRequest& r, int attempt) {
            TestReply reply = Serve(r, body);
            if (attempt >= succeedAt)
                return reply;
            return Broken(reply, 50000, TestReply::Kind::kResetInBody);
        };
    };
    ASSERT_TRUE(Run(dropping(1 + kResumeAttempts)));
    EXPECT_EQ(ReadFile("big.dat"), body);
    EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=50000-", "bytes=100000-", "bytes=150000-",
                                      "bytes=200000-", "bytes=250000-"));

    // One reset more than there are attempts: the run fails as a transfer
    // broken off always did (ledger entry, verification deletes the file).
    RemoveTree("big.dat");
    surface_ = std::make_unique<RecordingSurface>();
    EXPECT_FALSE(Run(dropping(2 + kResumeAttempts)));
    EXPECT_THAT(surface_->BoxCaptions(), ElementsAre(kVerifyFailed));
    EXPECT_EQ(Ranges().size(), 1u + kResumeAttempts);
    EXPECT_FALSE(FileExists("big.dat"));
    ExpectProgressNeverBack();
}

TEST_P(Resume, ServerThatIgnoresRangesRestartsTheFileAndTheBarHolds) {
    const std::string body = Content('c');
    ASSERT_TRUE(Run([&](const TestRequest&, int attempt) {
        TestReply reply;
        reply.body = body;  // always 200, whole
        return attempt == 1 ? Broken(reply, 300000, TestReply::Kind::kResetInBody) : reply;
    }));
    EXPECT_EQ(ReadFile("big.dat"), body);  // not 300000 old bytes and then the whole
    EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=300000-"));
    ExpectProgressNeverBack();
    EXPECT_EQ(*(surface_->positions.end() - 2), static_cast<int64_t>(kSize));
}

TEST_P(Resume, RefusedOrMisfittingRangesEndTheAttemptsAndNothingWrongIsWritten) {
    const std::string body = Content('d');
    struct Case {
        const char* name;
        std::function<void(TestReply&)> spoil;
    } cases[] = {
        {"416",
         [](TestReply& r) {
             r = TestReply{};
             r.status = 416;
             r.body = "<html>range not satisfiable</html>";
         }},
        {"other start", [](TestReply& r) { r.headers.back().second = "bytes 0-399999/400000"; }},
        {"other total",
         [](TestReply& r) { r.headers.back().second = "bytes 100000-399999/500000"; }},
        {"garbled", [](TestReply& r) { r.headers.back().second = "bytes */400000"; }},
        {"no range", [](TestReply& r) { r.headers.pop_back(); }},
    };
    for (const Case& c : cases) {
        surface_ = std::make_unique<RecordingSurface>();
        RemoveTree("big.dat");
        // Written as the 206 arrives: a wrong answer must not reach the file.
        EXPECT_FALSE(Run([&](const TestRequest& r, int attempt) {
            TestReply reply = Serve(r, body);
            if (attempt == 1)
                return Broken(reply, 100000, TestReply::Kind::kResetInBody);
            c.spoil(reply);
            return reply;
        })) << c.name;
        EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=100000-")) << c.name;
        EXPECT_THAT(surface_->BoxCaptions(), ElementsAre(kVerifyFailed)) << c.name;
        EXPECT_FALSE(FileExists("big.dat")) << c.name;
    }
}

TEST_P(Resume, FileReplacedBetweenAttemptsIsFetchedWholeAgain) {
    const std::string before = Content('e');
    const std::string after = Content('f');
    ASSERT_TRUE(Run([&](const TestRequest& r, int attempt) {
        if (attempt == 1)
            return Broken(Serve(r, before), 200000, TestReply::Kind::kResetInBody);
        return Serve(r, after, "\"v2\"");
    }));
    EXPECT_EQ(ReadFile("big.dat"), after);
    // The 206 of the new file is dropped; then the new file from its start.
    EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=200000-", "-"));
    ExpectProgressNeverBack();
}

TEST_P(Resume, AServerThatOnlyDatesItsFilesTellsAReplacementByTheDate) {
    const std::string before = Content('g');
    const std::string after = Content('h');
    auto dated = [](TestReply reply, const char* date) {
        reply.headers.erase(reply.headers.begin());  // no ETag
        reply.headers.push_back({"Last-Modified", date});
        return reply;
    };
    ASSERT_TRUE(Run([&](const TestRequest& r, int attempt) {
        if (attempt == 1)
            return Broken(dated(Serve(r, before), "Tue, 08 Dec 2026 10:00:00 GMT"), 200000,
                          TestReply::Kind::kResetInBody);
        return dated(Serve(r, after), "Wed, 09 Dec 2026 10:00:00 GMT");
    }));
    EXPECT_EQ(ReadFile("big.dat"), after);
    EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=200000-", "-"));
}

TEST_P(Resume, AResumedAttemptThatGetsTheWholeFileStartsItAgain) {
    const std::string body = Content('p');
    ASSERT_TRUE(Run([&](const TestRequest& r, int attempt) {
        TestReply reply = Serve(r, body);
        if (attempt == 1)
            return Broken(reply, 120000, TestReply::Kind::kResetInBody);
        if (attempt == 2) {
            reply = TestReply{};
            reply.body = body;  // a 200 to the range: start again
            return Broken(reply, 50000, TestReply::Kind::kResetInBody);
        }
        return reply;
    }));
    EXPECT_EQ(ReadFile("big.dat"), body);
    EXPECT_THAT(Ranges(), ElementsAre("-", "bytes=120000-", "bytes=50000-"));
    ExpectProgressNeverBack();
}

TEST_P(Resume, UnbrokenTransfersAskNoRange) {
    const std::string body = Content('g');
    ASSERT_TRUE(Run([&](const TestRequest& r, int) { return Serve(r, body); }));
    EXPECT_THAT(Ranges(), ElementsAre("-"));
    for (const TestRequest& r : server_->Requests())
        EXPECT_EQ(r.Header("Range"), "") << r.path;
}

namespace {

// A sink that can start again, for the engine on its own.
class RestartableSink : public TransferSink {
  public:
    bool Write(const char* data, size_t size) override {
        body.append(data, size);
        return true;
    }
    bool Restart() override {
        body.clear();
        ++restarts;
        return true;
    }
    std::string body;
    int restarts = 0;
};

}  // namespace

TEST_P(Resume, HashCoversTheWholeFileAcrossAttemptsAndRestarts) {
    const std::string body = Content('h');
    // mode 0: unbroken, the reference; 1: resumed with ranges; 2: restarted.
    std::string reference;
    for (int mode : {0, 1, 2}) {
        std::atomic<int> attempt{0};
        TestHttpServer server([&](const TestRequest& r) {
            TestReply reply = mode == 2 ? TestReply{} : Serve(r, body);
            if (mode == 2)
                reply.body = body;
            if (mode != 0 && ++attempt < 3)
                return Broken(reply, 100000 * static_cast<size_t>(attempt),
                              TestReply::Kind::kResetInBody);
            return reply;
        });
        RestartableSink sink;
        Transfer transfer(&sink);
        transfer.SetByteLimit(kSize);
        transfer.EnableSha256();
        transfer.EnableResume(kSize);
        TransferPool pool(run_, GetParam());
        const TransferOutcome& outcome =
            pool.Perform(transfer, "http://127.0.0.1:" + std::to_string(server.Port()) + "/f");
        EXPECT_TRUE(outcome.Complete()) << mode;
        EXPECT_EQ(outcome.status, 200);
        EXPECT_EQ(outcome.bytes, static_cast<int64_t>(kSize));
        EXPECT_EQ(sink.body, body);
        EXPECT_EQ(transfer.Attempts(), mode == 0 ? 1 : 3);
        EXPECT_EQ(sink.restarts, mode == 2 ? 2 : 0);
        if (mode == 0)
            reference = outcome.sha256;
        EXPECT_EQ(outcome.sha256, reference) << mode;
    }
    EXPECT_EQ(reference.size(), 64u);
}

INSTANTIATE_TEST_SUITE_P(Width, Resume, ::testing::Values(1, 3));
