#pragma once
// The one transfer engine: every request to the patch server goes through
// it. A Transfer is the state of one answer: where its bytes go, how many it
// may bring, what arrived, their SHA-256, and how it ended. A TransferHandle
// is a reusable libcurl easy handle that carries one Transfer at a time; the
// TransferPool drives them, one or several at once, and a stage that reuses
// its pool for all its files keeps its connections open.
//
// Judging is split in two: the engine says whether the body arrived whole
// (TransferOutcome::Complete); the caller says whether the answer is one it
// wants (status 200, the right size, the right hash).

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "patch/Limits.h"

struct RunContext;

// libcurl's receive buffer for game-file downloads: larger blocks mean fewer
// synchronous progress updates for the same bytes.
inline constexpr long kDownloadBufferSize = 2 * 1024 * 1024;

// Where the bytes of an answer go.
class TransferSink {
  public:
    virtual ~TransferSink() = default;
    // Takes the whole block, or returns false: the transfer then ends at once
    // as a failed write.
    virtual bool Write(const char* data, size_t size) = 0;
    // Drops everything taken so far: the next block is the body's first
    // again. False when it cannot (then a resumed transfer ends there).
    virtual bool Restart() { return false; }
};

// Appends to a stdio stream the caller opened and closes.
class FileSink : public TransferSink {
  public:
    explicit FileSink(FILE* file) : file_(file) {}
    bool Write(const char* data, size_t size) override;
    bool Restart() override;

  private:
    FILE* file_;
};

// Appends to a string the caller owns.
class StringSink : public TransferSink {
  public:
    explicit StringSink(std::string* out) : out_(out) {}
    bool Write(const char* data, size_t size) override;
    bool Restart() override;

  private:
    std::string* out_;
};

// Empties an open stdio stream for writing from its first byte again.
bool RestartFile(FILE* file);

struct TransferOutcome {
    enum class End {
        kNotRun,
        kFinished,     // libcurl ended the transfer without an error
        kBroken,       // no connection, a reset, a stall, fewer bytes than announced
        kOverLimit,    // the body would have passed its bound and was cut there
        kWriteFailed,  // the sink refused a block
    };
    End end = End::kNotRun;
    CURLcode code = CURLE_OK;
    long status = 0;               // HTTP status, 0 without an answer
    int64_t bytes = 0;             // bytes the sink took
    int64_t announcedLength = -1;  // the answer's Content-Length, -1 without one
    std::string sha256;            // lower-case hex of the bytes taken, when asked for

    // The body arrived whole: the transfer finished and, when the answer
    // announced a length, exactly that many bytes were taken.
    bool Complete() const;
};

// A Content-Range value "bytes START-END/TOTAL" with START <= END < TOTAL;
// nothing for any other text (a range of an unknown total included).
struct ContentRange {
    int64_t start = 0;
    int64_t end = 0;
    int64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

class Transfer {
  public:
    // Without a sink the body is read and dropped.
    explicit Transfer(TransferSink* sink = nullptr);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // The sink never gets more than `bytes` of body (negative: no bound of the
    // caller's). The answer's announced length bounds it as well; an answer
    // that announces more than the bound is cut at its first block.
    void SetByteLimit(int64_t bytes);
    // An answer that announces no length is cut at its first block too (for
    // requests that want only the status and the length).
    void CutUnannouncedBodies() { cutUnannounced_ = true; }
    // Hashes the bytes the sink takes while they stream.
    void EnableSha256() { hashed_ = true; }
    // A transfer that ends early after a 200 answer (a reset, a stall, fewer
    // bytes than announced or than `expectedSize`) goes on from the byte
    // where it stopped with a Range request, up to kResumeAttempts times.
    // Only a 206 whose Content-Range starts at that byte and whose total is
    // the file's continues it; a 200 starts the file again from its first
    // byte, as does an ETag or Last-Modified that differs from the first
    // answer's; any other answer ends the attempts. The outcome then tells
    // of the file as a whole: status 200, broken or finished, the bytes and
    // the hash of everything in it. `expectedSize` negative: the first
    // answer's Content-Length, if any.
    void EnableResume(int64_t expectedSize);

    // Back to where it was before its first attempt, with nothing taken:
    // for another server to bring it whole. False when the sink cannot
    // start over.
    bool Rewind();
    // The attempt it wants next goes to another server: it goes on at the
    // byte it reached, without holding that server to the first one's
    // validators (the bytes' hash judges the whole).
    void ContinueElsewhere();
    bool Hashed() const { return hashed_; }
    // Its size was given before the first answer (EnableResume).
    bool SizeGiven() const { return givenExpectedSize_ >= 0; }
    // Whether its attempt may be ended now for another server to go on
    // with it, losing nothing: hashed, of a given size, and either nothing
    // taken yet or a 200 answer being taken with an attempt left.
    bool MovableMidway() const;

    // Attempts made so far, the first one included, and how often the
    // player's cap paused the transfer.
    int Attempts() const { return attempts_; }
    int Pauses() const { return pauses_; }

    const TransferOutcome& Outcome() const { return outcome_; }

  private:
    friend class TransferPool;

    // Prepares `handle` to carry this transfer from `url`; the pool calls
    // Finish when it ends. A resumable transfer may then want another
    // attempt: the pool attaches it again after NextAttemptPause().
    void Attach(CURL* handle, const std::string& url, RunContext& run);
    void Finish(CURL* handle, CURLcode code);
    bool WantsAnotherAttempt() const { return wantsAnother_; }
    // Makes the last attempt the end of the transfer (its outcome stays as
    // Finish left it, broken).
    void EndAttempts() { wantsAnother_ = false; }
    // Under the player's cap the transfer pauses its handle instead of
    // waiting inside its callback. ResumeIfDue unpauses it once the cap lets
    // reading go on, else tells how long that is still away.
    bool Paused() const { return paused_; }
    std::chrono::steady_clock::duration ResumeIfDue();
    std::chrono::milliseconds NextAttemptPause() const;

    static size_t OnData(char* data, size_t size, size_t count, void* userData);
    void LogRequest(long status) const;
    static size_t OnHeader(char* data, size_t size, size_t count, void* userData);
    size_t Take(const char* data, size_t size);
    // At the end of an answer's headers: whether its body is taken.
    bool AcceptAnswer();
    bool ContinuesAt(int64_t offset, int64_t length);
    bool RestartBody();

    // The body path: each block passes these in order, one concern each.
    class Writer;
    class BoundWriter;
    class SinkWriter;
    class HashWriter;
    class CapWriter;
    std::vector<std::unique_ptr<Writer>> writers_;
    HashWriter* hash_ = nullptr;

    TransferSink* sink_;
    CURL* handle_ = nullptr;
    RunContext* run_ = nullptr;  // the run of the last Attach
    int64_t limit_ = -1;
    bool cutUnannounced_ = false;
    bool hashed_ = false;
    bool sawBody_ = false;
    TransferOutcome::End cutAs_ = TransferOutcome::End::kNotRun;
    TransferOutcome outcome_;
    // For the run log (patch/RunLog.h).
    std::string url_;
    std::chrono::steady_clock::time_point started_;

    // Resuming. The answer in progress and the first answer's validators.
    struct Answer {
        long status = 0;
        std::string contentRange;
        std::string etag;
        std::string lastModified;
    };
    bool resumable_ = false;
    int64_t expectedSize_ = -1;
    int64_t givenExpectedSize_ = -1;
    int attempts_ = 0;
    int extraAttempts_ = 0;     // one for each move to another server
    int64_t attemptStart_ = 0;  // bytes in the sink when this attempt's body began
    bool restartNext_ = false;  // the file changed: ask for it whole
    bool stopAttempts_ = false;
    bool wantsAnother_ = false;
    bool tookAnswer_ = false;  // a 200 or a fitting 206 is being taken
    bool rangeRequested_ = false;
    bool paused_ = false;
    int pauses_ = 0;
    long firstStatus_ = 0;
    Answer answer_;
    Answer first_;
};

class TransferHandle {
  public:
    // A fresh easy handle with the run's stall limits, TLS and proxy, and no
    // signals (transfers run on a worker thread).
    explicit TransferHandle(RunContext& run);
    ~TransferHandle();
    TransferHandle(const TransferHandle&) = delete;
    TransferHandle& operator=(const TransferHandle&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    CURL* Get() const { return handle_; }

    // Large blocks and a socket receive buffer that holds a whole one; under
    // the player's cap, blocks and a buffer sized to the cap instead, shared
    // between the transfers that read at once.
    void UseLargeBlocks(int transfersAtOnce = 1);

  private:
    RunContext& run_;
    CURL* handle_;
    int receiveBuffer_ = 0;
};

// What a stage hands the driver for one of its entries: where from, and the
// transfer prepared with where its bytes go, its bound, its hash and whether
// it may resume. It must outlive its end.
struct TransferJob {
    TransferJob() = default;
    TransferJob(std::string url, Transfer* transfer) : url(std::move(url)), transfer(transfer) {}

    std::string url;
    Transfer* transfer = nullptr;  // none: the entry needs no request
    // Set: the same file as a path under a server's tree, which any healthy
    // server of the run's may answer when it has several (patch/Mirrors.h);
    // with one, `url` is asked as ever.
    std::string relative;
    // What a good answer brings, where the stage knows: a server whose
    // answer is other is skipped and the transfer goes on from another.
    // Only a job with both may go to any server; the others go to the
    // server the text files came from.
    int64_t expectedSize = -1;
    std::string expectedSha256;
};

// The one transfer driver: up to `width` transfers in flight on libcurl's
// multi interface, each slot a reusable easy handle, so the connections stay
// open for further entries. Width 1 is one request after the other on one
// connection. Every handle and transfer takes its settings from `run`, which
// must outlive the pool. Everything runs on the calling thread: sinks and judges are
// called from within Run. Nothing in it sleeps: the player's cap pauses
// handles and a resumed attempt is a time at which it starts.
class TransferPool {
  public:
    TransferPool(RunContext& run, int width);
    ~TransferPool();
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;

    explicit operator bool() const { return multi_ != nullptr && !slots_.empty(); }
    // Every slot's handle, for the stage's own settings.
    template <class Configure>
    void ConfigureHandles(Configure configure) {
        for (Slot& slot : slots_)
            configure(*slot.handle);
    }

    // Entry i's job, or nothing while it must wait for a transfer in flight
    // to end first.
    using Starter = std::function<std::optional<TransferJob>(size_t index)>;
    // What the stage makes of entry i once its transfer has ended.
    using Judge = std::function<void(size_t index, const TransferOutcome& outcome)>;

    // Starts a stage's entries 0..count-1 in their order as slots free up and
    // judges each as it ends. A throw from either callback ends the stage:
    // the transfers that ended by then are still judged (what that throws is
    // dropped), the others are stopped, and the first throw goes on.
    void Run(size_t count, const Starter& start, const Judge& judge);
    // One transfer from `url` to its end.
    const TransferOutcome& Perform(Transfer& transfer, const std::string& url);

  private:
    struct Slot {
        std::unique_ptr<TransferHandle> handle;
        Transfer* transfer = nullptr;
        size_t tag = 0;
        std::string url;
        // A resumed transfer waits for its next attempt off the multi stack.
        std::optional<std::chrono::steady_clock::time_point> retryAt;
        bool endedOffStack = false;
        // With several servers: the one asked (-1: none chosen) and what
        // its answer is held to.
        int server = -1;
        std::string relative;
        int64_t expectedSize = -1;
        std::string expectedSha256;
        std::chrono::steady_clock::time_point startedAt;
        int64_t bytesBefore = 0;  // what other servers brought of it
        int slowMoves = 0;        // times it was moved for a faster server
        // A move on trial: the server it left and what it brought there.
        int triedFrom = -1;
        double rateBefore = 0;
        // What it brings now: bytes a second over the last whole window
        // of speedSampleSeconds (below 0 before the first), and the window
        // being filled.
        double rate = -1;
        std::chrono::steady_clock::time_point windowStart;
        int64_t windowBytes = 0;
    };
    bool HasRoom() const { return inFlight_ < slots_.size(); }
    bool Idle() const { return inFlight_ == 0; }
    void Start(const TransferJob& job, size_t tag);
    // Why the server of a slot whose transfer just ended (or wants another
    // attempt) is not to be asked again; empty when its answer was good.
    std::string ServerFault(const Slot& slot) const;
    // With several servers: skips the slot's server when it failed and
    // moves the transfer to the next healthy one. True when it did (the
    // transfer is in flight again); false leaves the end to the caller.
    bool FailOver(Slot& slot);
    // The slot's server is done with its transfer; `measured`: at the
    // speed it brought over the whole transfer, or with `now` over its
    // last window.
    void ReleaseServer(Slot& slot, bool measured, bool now = false);
    // From the slot's server, after `startedAt`: its speed is measured anew.
    void BeginOnServer(Slot& slot);
    // Tells the servers what their transfers in flight bring now, before
    // one of them is chosen.
    void ObserveServers();
    // Sends the slot's transfer to server `next`: from the byte it reached
    // where the whole file's hash will judge it, else from the start. False
    // when it can do neither.
    bool GoOnFrom(Slot& slot, size_t next);
    // At most once a second: a transfer far slower than another server
    // would bring its rest (or, when long, slower than another may be) goes
    // on from that server.
    void MoveSlowTransfers();
    // Ends the slot's attempt and goes on from server `next`.
    void MoveTo(Slot& slot, size_t next);
    // Attaches the slot's transfer and puts it on the stack.
    void Attempt(Slot& slot, std::chrono::steady_clock::time_point now);
    // Drives the transfers in flight until at least one has ended (or, with
    // `wait` false, once), and returns the tags of those that have, in the
    // order they ended.
    std::vector<size_t> WaitForEnded(bool wait);
    // Starts due attempts and unpauses what the cap allows; how long until
    // the next such event.
    std::chrono::steady_clock::duration Tend();
    // Ends every transfer still in flight at once, unfinished.
    void Stop();

    RunContext& run_;
    CURLM* multi_;
    std::vector<Slot> slots_;
    size_t inFlight_ = 0;
    std::chrono::steady_clock::time_point nextSpeedCheck_;
    bool allStarted_ = false;  // the run has nothing left to start
};
