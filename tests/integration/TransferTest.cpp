#include <gtest/gtest.h>

#include <string>

#include "TestHttpServer.h"
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
    // Each path names the fault it serves.
    static TestReply Serve(const TestRequest& r) {
        TestReply reply;
        reply.body = std::string(100000, 'b');
        if (r.path == "/million-a") {
            reply.body = std::string(1000000, 'a');
            reply.blockSize = 997;
        } else if (r.path == "/abc") {
            reply.body = "abc";
        } else if (r.path == "/short") {
            reply.kind = TestReply::Kind::kShortBody;
            reply.sendBytes = 4000;
        } else if (r.path == "/reset") {
            reply.kind = TestReply::Kind::kResetInBody;
            reply.sendBytes = 4000;
        } else if (r.path == "/unannounced") {
            reply.kind = TestReply::Kind::kNoLength;
        } else if (r.path == "/endless") {
            reply.kind = TestReply::Kind::kEndless;
        } else if (r.path == "/endless-announced") {
            reply.kind = TestReply::Kind::kEndless;
            reply.announcedLength = size_t{1} << 40;
        } else if (r.path == "/stall") {
            reply.kind = TestReply::Kind::kStallInBody;
            reply.sendBytes = 1000;
        } else if (r.path == "/trickle") {
            reply.kind = TestReply::Kind::kTrickle;
            reply.body = std::string(2000, 't');
            reply.trickleMicroseconds = 5000;  // about 200 bytes a second
        } else if (r.path == "/header-flood") {
            reply.headers = {{"X-Flood", std::string(4 << 20, 'h')}};
        } else if (r.path == "/missing") {
            reply.status = 404;
            reply.body = "not here";
        }
        return reply;
    }
    // Stalls end within a second here instead of a minute.
    void SetUp() override {
        saved = g_transferLimits;
        g_transferLimits.lowSpeedSeconds = 1;
    }
    void TearDown() override { g_transferLimits = saved; }

    TestHttpServer server{Serve};
    TransferLimits saved;
};

}  // namespace

TEST_F(Engine, HashesWhatItWritesWhileItStreams) {
    TransferHandle handle;
    MemorySink sink;
    Transfer transfer(&sink);
    transfer.EnableSha256();
    const TransferOutcome& outcome = handle.Perform(transfer, Url("/million-a"));
    EXPECT_TRUE(outcome.Complete());
    EXPECT_GT(sink.blocks, 1);
    EXPECT_EQ(outcome.bytes, 1000000);
    EXPECT_EQ(outcome.sha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    Transfer small;
    small.EnableSha256();
    EXPECT_EQ(handle.Perform(small, Url("/abc")).sha256,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Transfer unhashed;
    EXPECT_EQ(handle.Perform(unhashed, Url("/abc")).sha256, "");
    EXPECT_EQ(server.ConnectionCount(), 1);  // one handle, one connection
}

TEST_F(Engine, ABodyThatDoesNotArriveWholeIsNeverComplete) {
    for (const char* path : {"/short", "/reset", "/stall", "/trickle"}) {
        TransferHandle handle;
        MemorySink sink;
        Transfer transfer(&sink);
        const TransferOutcome& outcome = handle.Perform(transfer, Url(path));
        EXPECT_EQ(outcome.end, TransferOutcome::End::kBroken) << path;
        EXPECT_FALSE(outcome.Complete()) << path;
        EXPECT_EQ(outcome.status, 200) << path;
        EXPECT_EQ(outcome.bytes, static_cast<int64_t>(sink.body.size())) << path;
    }
    // Without a length, the end of the connection is the end of the body.
    TransferHandle handle;
    Transfer transfer;
    const TransferOutcome& outcome = handle.Perform(transfer, Url("/unannounced"));
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.announcedLength, -1);
    EXPECT_EQ(outcome.bytes, 100000);
}

TEST_F(Engine, NeverTakesMoreThanItsBoundOrTheAnnouncedLength) {
    TransferHandle handle;
    {
        MemorySink sink;
        Transfer transfer(&sink);
        transfer.SetByteLimit(300000);
        const TransferOutcome& outcome = handle.Perform(transfer, Url("/endless"));
        EXPECT_EQ(outcome.end, TransferOutcome::End::kOverLimit);
        EXPECT_LE(outcome.bytes, 300000);
        EXPECT_EQ(static_cast<int64_t>(sink.body.size()), outcome.bytes);
    }
    {
        // An answer that announces more than may be taken is cut at once.
        MemorySink sink;
        Transfer transfer(&sink);
        transfer.SetByteLimit(300000);
        const TransferOutcome& outcome = handle.Perform(transfer, Url("/endless-announced"));
        EXPECT_EQ(outcome.end, TransferOutcome::End::kOverLimit);
        EXPECT_EQ(outcome.bytes, 0);
        EXPECT_EQ(outcome.announcedLength, int64_t{1} << 40);
    }
    {
        MemorySink sink;
        Transfer transfer(&sink);
        transfer.SetByteLimit(99999);  // one byte short of the answer
        EXPECT_EQ(handle.Perform(transfer, Url("/plain")).end, TransferOutcome::End::kOverLimit);
        EXPECT_EQ(sink.body, "");
    }
    {
        Transfer exact;
        exact.SetByteLimit(100000);
        EXPECT_TRUE(handle.Perform(exact, Url("/any")).Complete());
    }
    {
        Transfer lengthOnly;
        lengthOnly.SetByteLimit(1 << 20);
        lengthOnly.CutUnannouncedBodies();
        const TransferOutcome& outcome = handle.Perform(lengthOnly, Url("/unannounced"));
        EXPECT_EQ(outcome.end, TransferOutcome::End::kOverLimit);
        EXPECT_EQ(outcome.bytes, 0);
        EXPECT_EQ(outcome.status, 200);
    }
}

TEST_F(Engine, ARefusedWriteEndsTheTransferAtOnce) {
    TransferHandle handle;
    MemorySink sink;
    sink.refuseAfter = 200000;
    Transfer transfer(&sink);
    // Endless and unbounded: only the failed write can end it.
    const TransferOutcome& outcome = handle.Perform(transfer, Url("/endless"));
    EXPECT_EQ(outcome.end, TransferOutcome::End::kWriteFailed);
    EXPECT_FALSE(outcome.Complete());
    EXPECT_LE(outcome.bytes, 200000);

    // The handle carries the next transfer as if nothing happened.
    Transfer next;
    EXPECT_TRUE(handle.Perform(next, Url("/abc")).Complete());
}

TEST_F(Engine, StatusAndLengthOfErrorAnswers) {
    TransferHandle handle;
    MemorySink sink;
    Transfer transfer(&sink);
    const TransferOutcome& outcome = handle.Perform(transfer, Url("/missing"));
    EXPECT_EQ(outcome.status, 404);
    EXPECT_EQ(outcome.announcedLength, 8);
    EXPECT_TRUE(outcome.Complete());  // whole, but not an answer anyone wants

    // Headers without end are no answer either.
    Transfer flooded;
    EXPECT_EQ(handle.Perform(flooded, Url("/header-flood")).end, TransferOutcome::End::kBroken);

    TransferHandle nowhere;
    Transfer refused;
    const TransferOutcome& none = nowhere.Perform(refused, "http://127.0.0.1:1/x");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.end, TransferOutcome::End::kBroken);
}
