#include <gtest/gtest.h>

#include <map>
#include <string>

#include "TestHttpServer.h"
#include "TestRun.h"
#include "patch/Transfer.h"

namespace {

// Collects the body in memory; can be told to refuse a block.
class MemorySink : public TransferSink {
  public:
    bool Write(const char* data, size_t size) override {
        if (refuseAfter >= 0 && static_cast<int64_t>(body.size() + size) > refuseAfter)
            return false;
        body.append(data, size);
        ++blocks;
        return true;
    }
    std::string body;
    int blocks = 0;
    int64_t refuseAfter = -1;
};

class Engine : public ::testing::Test {
  protected:
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
    }
    // Each path names the fault it serves; anything else is 100000 bytes.
    static TestReply Serve(const TestRequest& r) {
        using Kind = TestReply::Kind;
        static const std::map<std::string, TestReply> kReplies = {
            {"/million-a", {.body = std::string(1000000, 'a'), .blockSize = 997}},
            {"/abc", {.body = "abc"}},
            {"/short", {.kind = Kind::kShortBody, .sendBytes = 4000}},
            {"/reset", {.kind = Kind::kResetInBody, .sendBytes = 4000}},
            {"/unannounced", {.kind = Kind::kNoLength}},
            {"/endless", {.kind = Kind::kEndless}},
            {"/endless-announced", {.kind = Kind::kEndless, .announcedLength = size_t{1} << 40}},
            {"/stall", {.kind = Kind::kStallInBody, .sendBytes = 1000}},
            // About 200 bytes a second.
            {"/trickle",
             {.kind = Kind::kTrickle, .body = std::string(2000, 't'), .trickleMicroseconds = 5000}},
            {"/header-flood", {.headers = {{"X-Flood", std::string(4 << 20, 'h')}}}},
            {"/missing", {.status = 404, .body = "not here"}},
        };
        auto known = kReplies.find(r.path);
        TestReply reply = known == kReplies.end() ? TestReply{} : known->second;
        if (reply.body.empty())
            reply.body = std::string(100000, 'b');
        return reply;
    }
    // Stalls end within a second here instead of a minute.
    void SetUp() override { run.limits.lowSpeedSeconds = 1; }

    TestHttpServer server{Serve};
    RunContext run = TestRun();
};

}  // namespace

TEST_F(Engine, HashesWhatItWritesWhileItStreams) {
    TransferPool pool(run, 1);
    MemorySink sink;
    Transfer transfer(&sink);
    transfer.EnableSha256();
    const TransferOutcome& outcome = pool.Perform(transfer, Url("/million-a"));
    EXPECT_TRUE(outcome.Complete());
    EXPECT_GT(sink.blocks, 1);
    EXPECT_EQ(outcome.bytes, 1000000);
    EXPECT_EQ(outcome.sha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    Transfer small;
    small.EnableSha256();
    EXPECT_EQ(pool.Perform(small, Url("/abc")).sha256,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Transfer unhashed;
    EXPECT_EQ(pool.Perform(unhashed, Url("/abc")).sha256, "");
    EXPECT_EQ(server.ConnectionCount(), 1);  // one handle, one connection
}

TEST_F(Engine, ABodyThatDoesNotArriveWholeIsNeverComplete) {
    for (const char* path : {"/short", "/reset", "/stall", "/trickle"}) {
        TransferPool pool(run, 1);
        MemorySink sink;
        Transfer transfer(&sink);
        const TransferOutcome& outcome = pool.Perform(transfer, Url(path));
        EXPECT_EQ(outcome.end, TransferOutcome::End::kBroken) << path;
        EXPECT_FALSE(outcome.Complete()) << path;
        EXPECT_EQ(outcome.status, 200) << path;
        EXPECT_EQ(outcome.bytes, static_cast<int64_t>(sink.body.size())) << path;
    }
    // Without a length, the end of the connection is the end of the body.
    TransferPool pool(run, 1);
    Transfer transfer;
    const TransferOutcome& outcome = pool.Perform(transfer, Url("/unannounced"));
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.announcedLength, -1);
    EXPECT_EQ(outcome.bytes, 100000);
}

// One handle for all the cases: a transfer cut at its bound or by a refused
// write leaves it fit for the next.
TEST_F(Engine, ABoundOrARefusedWriteEndsTheTransferAtOnce) {
    using End = TransferOutcome::End;
    struct Case {
        const char* path;
        int64_t limit;
        bool lengthOnly;  // CutUnannouncedBodies
        int64_t refuseAfter;
        End end;
        int64_t mostBytes;
        int64_t announced;
    } cases[] = {
        // Endless and unbounded: only the failed write can end it.
        {"/endless", -1, false, 200000, End::kWriteFailed, 200000, -1},
        {"/endless", 300000, false, -1, End::kOverLimit, 300000, -1},
        // An answer that announces more than may be taken is cut at once.
        {"/endless-announced", 300000, false, -1, End::kOverLimit, 0, int64_t{1} << 40},
        {"/plain", 99999, false, -1, End::kOverLimit, 0, 100000},  // one byte short
        {"/any", 100000, false, -1, End::kFinished, 100000, 100000},
        {"/unannounced", 1 << 20, true, -1, End::kOverLimit, 0, -1},
        {"/abc", -1, false, -1, End::kFinished, 3, 3},
    };
    TransferPool pool(run, 1);
    for (const Case& c : cases) {
        MemorySink sink;
        sink.refuseAfter = c.refuseAfter;
        Transfer transfer(&sink);
        transfer.SetByteLimit(c.limit);
        if (c.lengthOnly)
            transfer.CutUnannouncedBodies();
        const TransferOutcome& outcome = pool.Perform(transfer, Url(c.path));
        EXPECT_EQ(outcome.end, c.end) << c.path;
        EXPECT_EQ(outcome.Complete(), c.end == End::kFinished) << c.path;
        EXPECT_LE(outcome.bytes, c.mostBytes) << c.path;
        EXPECT_EQ(static_cast<int64_t>(sink.body.size()), outcome.bytes) << c.path;
        EXPECT_EQ(outcome.announcedLength, c.announced) << c.path;
        EXPECT_EQ(outcome.status, 200) << c.path;
    }
}

TEST_F(Engine, StatusAndLengthOfErrorAnswers) {
    TransferPool pool(run, 1);
    MemorySink sink;
    Transfer transfer(&sink);
    const TransferOutcome& outcome = pool.Perform(transfer, Url("/missing"));
    EXPECT_EQ(outcome.status, 404);
    EXPECT_EQ(outcome.announcedLength, 8);
    EXPECT_TRUE(outcome.Complete());  // whole, but not an answer anyone wants

    // Headers without end are no answer either.
    Transfer flooded;
    EXPECT_EQ(pool.Perform(flooded, Url("/header-flood")).end, TransferOutcome::End::kBroken);

    TransferPool nowhere(run, 1);
    Transfer refused;
    const TransferOutcome& none = nowhere.Perform(refused, "http://127.0.0.1:1/x");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.end, TransferOutcome::End::kBroken);
}

// What a resumed transfer accepts as the rest of its file ("" for nothing).
TEST(ContentRange, OnlyAWholeRangeInsideItsTotal) {
    const std::pair<const char*, const char*> cases[] = {
        {"bytes 0-9/10", "0-9/10"},
        {"Bytes 120000-399999/400000", "120000-399999/400000"},
        {"bytes 5-5/999999999999999999", "5-5/999999999999999999"},
        {"bytes 0-9/1000000000000000000", ""},  // 19 digits
        {"bytes 0-10/10", ""},
        {"bytes 5-4/10", ""},
        {"bytes */400000", ""},
        {"bytes 0-9/*", ""},
        {"bytes 0-9", ""},
        {"bytes -1-9/10", ""},
        {"bytes +0-9/10", ""},
        {"bytes 0-9/10 ", ""},
        {"bytes  0-9/10", ""},
        {"bytes 0/9-10", ""},
        {"items 0-9/10", ""},
        {"", ""},
    };
    for (const auto& [value, expected] : cases) {
        const std::optional<ContentRange> r = ParseContentRange(value);
        EXPECT_EQ(r ? std::to_string(r->start) + "-" + std::to_string(r->end) + "/" +
                          std::to_string(r->total)
                    : "",
                  expected)
            << value;
    }
}
