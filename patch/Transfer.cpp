#include "patch/Transfer.h"

#include "patch/RunContext.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "base/NameCase.h"
#include "base/Sha256.h"

bool FileSink::Write(const char* data, size_t size) {
    return std::fwrite(data, 1, size, file_) == size;
}

bool FileSink::Restart() {
    return RestartFile(file_);
}

bool StringSink::Write(const char* data, size_t size) {
    out_->append(data, size);
    return true;
}

bool StringSink::Restart() {
    out_->clear();
    return true;
}

bool RestartFile(FILE* file) {
    return std::fflush(file) == 0 && ::ftruncate(::fileno(file), 0) == 0 &&
           std::fseek(file, 0, SEEK_SET) == 0;
}

bool TransferOutcome::Complete() const {
    return end == End::kFinished && (announcedLength < 0 || bytes == announcedLength);
}

// One step of the body path, as libcurl's client writers: it does one thing
// with a block and lets the next step have it, or ends the transfer there.
class Transfer::Writer {
  public:
    explicit Writer(Transfer& transfer) : t_(transfer) {}
    virtual ~Writer() = default;
    // kNotRun hands the block on; any other end ends the transfer at it.
    virtual TransferOutcome::End Write(const char* data, size_t size) = 0;
    // The body begins again at its first byte. False when it cannot.
    virtual bool Restart() { return true; }

  protected:
    Transfer& t_;
};

// Never more than the caller's bound, nor than the answer announces.
class Transfer::BoundWriter : public Transfer::Writer {
  public:
    using Writer::Writer;
    TransferOutcome::End Write(const char*, size_t size) override {
        const int64_t announced = t_.outcome_.announcedLength;
        if (t_.cutUnannounced_ && announced < 0)
            return TransferOutcome::End::kOverLimit;
        int64_t bound = t_.limit_;
        if (announced >= 0 && (bound < 0 || announced < bound))
            bound = announced;
        if (bound >= 0 && (t_.outcome_.bytes + static_cast<int64_t>(size) > bound ||
                           (t_.limit_ >= 0 && announced > t_.limit_)))
            return TransferOutcome::End::kOverLimit;
        return TransferOutcome::End::kNotRun;
    }
};

// Hands the block to the sink (a file, the progress) and counts it.
class Transfer::SinkWriter : public Transfer::Writer {
  public:
    using Writer::Writer;
    TransferOutcome::End Write(const char* data, size_t size) override {
        if (t_.sink_ && !t_.sink_->Write(data, size))
            return TransferOutcome::End::kWriteFailed;
        t_.outcome_.bytes += static_cast<int64_t>(size);
        return TransferOutcome::End::kNotRun;
    }
    bool Restart() override { return !t_.sink_ || t_.sink_->Restart(); }
};

// The SHA-256 of the bytes the sink took.
class Transfer::HashWriter : public Transfer::Writer {
  public:
    using Writer::Writer;
    TransferOutcome::End Write(const char* data, size_t size) override {
        sha_.Update(data, size);
        return TransferOutcome::End::kNotRun;
    }
    bool Restart() override {
        sha_.Finish();  // and a new one begins
        return true;
    }
    std::string FinishHex() { return sha_.FinishHex(); }

  private:
    Sha256 sha_;
};

// The player's cap: the block is taken, and while the bucket is in debt the
// handle reads no more (the pool unpauses it, Transfer::ResumeIfDue).
class Transfer::CapWriter : public Transfer::Writer {
  public:
    CapWriter(Transfer& transfer, RateLimiter& limiter) : Writer(transfer), limiter_(limiter) {}
    TransferOutcome::End Write(const char*, size_t size) override {
        const RateLimiter::Clock::time_point now = RateLimiter::Clock::now();
        limiter_.Consume(static_cast<int64_t>(size), now);
        if (limiter_.Delay(now) > RateLimiter::Clock::duration::zero()) {
            curl_easy_pause(t_.handle_, CURLPAUSE_RECV);
            t_.paused_ = true;
            ++t_.pauses_;
        }
        return TransferOutcome::End::kNotRun;
    }

  private:
    RateLimiter& limiter_;
};

Transfer::Transfer(TransferSink* sink) : sink_(sink) {}

Transfer::~Transfer() = default;

void Transfer::SetByteLimit(int64_t bytes) {
    limit_ = bytes;
}

void Transfer::EnableResume(int64_t expectedSize) {
    resumable_ = true;
    expectedSize_ = expectedSize;
    givenExpectedSize_ = expectedSize;
}

bool Transfer::Rewind() {
    if (!writers_.empty() && !RestartBody())
        return false;
    outcome_ = TransferOutcome{};
    expectedSize_ = givenExpectedSize_;
    attempts_ = 0;
    extraAttempts_ = 0;
    attemptStart_ = 0;
    restartNext_ = false;
    stopAttempts_ = false;
    wantsAnother_ = false;
    tookAnswer_ = false;
    rangeRequested_ = false;
    firstStatus_ = 0;
    answer_ = Answer{};
    first_ = Answer{};
    return true;
}

bool Transfer::MovableMidway() const {
    if (!hashed_ || givenExpectedSize_ < 0 || stopAttempts_ || restartNext_ || paused_)
        return false;
    return outcome_.bytes == 0 ||
           (resumable_ && firstStatus_ == 200 && attempts_ <= kResumeAttempts + extraAttempts_);
}

void Transfer::ContinueElsewhere() {
    first_.etag.clear();
    first_.lastModified.clear();
    ++extraAttempts_;
}

std::chrono::milliseconds Transfer::NextAttemptPause() const {
    return run_->firstResumePause * (1 << std::clamp(attempts_ - 1, 0, kResumeAttempts));
}

void Transfer::Attach(CURL* handle, const std::string& url, RunContext& run) {
    handle_ = handle;
    run_ = &run;
    url_ = url;
    if (writers_.empty()) {
        writers_.push_back(std::make_unique<BoundWriter>(*this));
        writers_.push_back(std::make_unique<SinkWriter>(*this));
        if (hashed_) {
            auto hash = std::make_unique<HashWriter>(*this);
            hash_ = hash.get();
            writers_.push_back(std::move(hash));
        }
        if (run.network.limiter)
            writers_.push_back(std::make_unique<CapWriter>(*this, *run.network.limiter));
    }
    started_ = std::chrono::steady_clock::now();
    ++attempts_;
    wantsAnother_ = false;
    sawBody_ = false;
    cutAs_ = TransferOutcome::End::kNotRun;
    tookAnswer_ = false;
    answer_ = Answer{};
    attemptStart_ = outcome_.bytes;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    // A reused handle must not carry the last transfer's range.
    rangeRequested_ = attempts_ > 1 && !restartNext_ && outcome_.bytes > 0;
    restartNext_ = false;
    std::string range = std::to_string(outcome_.bytes) + "-";
    curl_easy_setopt(handle, CURLOPT_RANGE, rangeRequested_ ? range.c_str() : nullptr);
}

size_t Transfer::OnData(char* data, size_t size, size_t count, void* userData) {
    return static_cast<Transfer*>(userData)->Take(data, size * count);
}

namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// A decimal count of at most 18 digits; nothing else.
std::optional<int64_t> ParseCount(std::string_view text) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* userData) {
    auto* self = static_cast<Transfer*>(userData);
    size_t n = size * count;
    std::string_view line(data, n);
    if (StartsWithIgnoringCase(line, "HTTP/")) {
        self->answer_ = Answer{};  // a new answer begins (after an interim one, say)
        return n;
    }
    if (TrimBlanks(line).empty()) {
        long status = 0;
        curl_easy_getinfo(self->handle_, CURLINFO_RESPONSE_CODE, &status);
        // 1xx answers come before the real one; 0 is a proxy's tunnel answer.
        if (status < 200)
            return n;
        self->answer_.status = status;
        return self->AcceptAnswer() ? n : 0;  // 0 ends the attempt at once
    }
    for (auto [name, field] :
         {std::pair{"Content-Range:", &Answer::contentRange}, std::pair{"ETag:", &Answer::etag},
          std::pair{"Last-Modified:", &Answer::lastModified}}) {
        std::string_view prefix(name);
        if (StartsWithIgnoringCase(line, prefix))
            self->answer_.*field = std::string(TrimBlanks(line.substr(prefix.size())));
    }
    return n;
}

bool Transfer::AcceptAnswer() {
    if (!resumable_)
        return true;
    curl_off_t length = -1;
    curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (attempts_ == 1) {
        // The first answer is judged by the stage, as without resuming.
        if (answer_.status == 200) {
            firstStatus_ = 200;
            first_ = answer_;
            tookAnswer_ = true;
            if (expectedSize_ < 0)
                expectedSize_ = length;
        }
        return true;
    }
    if (answer_.status == 200) {
        // The server ignored the range or sent a new file: start it again.
        if (!RestartBody()) {
            stopAttempts_ = true;
            return false;
        }
        first_ = answer_;
        tookAnswer_ = true;
        return true;
    }
    if (answer_.status == 206 && rangeRequested_) {
        auto differs = [](const std::string& a, const std::string& b) {
            return !a.empty() && !b.empty() && a != b;
        };
        if (differs(first_.etag, answer_.etag) ||
            differs(first_.lastModified, answer_.lastModified)) {
            restartNext_ = true;  // the rest belongs to another file
            return false;
        }
        if (!ContinuesAt(outcome_.bytes, length)) {
            stopAttempts_ = true;
            return false;
        }
        tookAnswer_ = true;
        return true;
    }
    stopAttempts_ = true;
    return false;
}

bool Transfer::RestartBody() {
    for (const std::unique_ptr<Writer>& writer : writers_)
        if (!writer->Restart())
            return false;
    outcome_.bytes = 0;
    attemptStart_ = 0;
    return true;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    if (!StartsWithIgnoringCase(value, "bytes "))
        return std::nullopt;
    value.remove_prefix(6);
    size_t dash = value.find('-');
    size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    std::optional<int64_t> start = ParseCount(value.substr(0, dash));
    std::optional<int64_t> end = ParseCount(value.substr(dash + 1, slash - dash - 1));
    std::optional<int64_t> total = ParseCount(value.substr(slash + 1));
    if (!start || !end || !total || *end < *start || *end >= *total)
        return std::nullopt;
    return ContentRange{*start, *end, *total};
}

// A range that starts at `offset`, of the file's total, with a body that is
// exactly that range.
bool Transfer::ContinuesAt(int64_t offset, int64_t length) {
    std::optional<ContentRange> range = ParseContentRange(answer_.contentRange);
    if (!range || range->start != offset)
        return false;
    if (length >= 0 && length != range->end - range->start + 1)
        return false;
    if (expectedSize_ >= 0)
        return range->total == expectedSize_;
    expectedSize_ = range->total;
    return true;
}

size_t Transfer::Take(const char* data, size_t size) {
    if (!sawBody_) {
        sawBody_ = true;
        curl_off_t length = -1;
        curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        // A continued answer announces the rest; the bound is the whole.
        outcome_.announcedLength = length < 0 ? -1 : attemptStart_ + length;
    }
    for (const std::unique_ptr<Writer>& writer : writers_) {
        const TransferOutcome::End end = writer->Write(data, size);
        if (end != TransferOutcome::End::kNotRun) {
            cutAs_ = end;
            return 0;  // less than the block ends the transfer at once
        }
    }
    return size;
}

std::chrono::steady_clock::duration Transfer::ResumeIfDue() {
    if (!paused_ || !run_->network.limiter)
        return std::chrono::steady_clock::duration::zero();
    auto wait = run_->network.limiter->Delay(RateLimiter::Clock::now());
    if (wait > wait.zero())
        return wait;
    paused_ = false;
    curl_easy_pause(handle_, CURLPAUSE_CONT);
    return wait.zero();
}

void Transfer::Finish(CURL* handle, CURLcode code) {
    outcome_.code = code;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (!sawBody_ && (attempts_ == 1 || tookAnswer_)) {
        curl_off_t length = -1;
        curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        outcome_.announcedLength = length < 0 ? -1 : attemptStart_ + length;
    }
    TransferOutcome::End end = cutAs_;
    if (end == TransferOutcome::End::kNotRun)
        end = code == CURLE_OK ? TransferOutcome::End::kFinished : TransferOutcome::End::kBroken;
    handle_ = nullptr;

    if (resumable_ && firstStatus_ == 200) {
        // The file is judged as a whole: its first answer was a 200.
        outcome_.status = 200;
        bool early = end == TransferOutcome::End::kBroken ||
                     (end == TransferOutcome::End::kFinished && expectedSize_ >= 0 &&
                      outcome_.bytes < expectedSize_);
        if (early && !stopAttempts_ && attempts_ <= kResumeAttempts + extraAttempts_) {
            wantsAnother_ = true;
            outcome_.end = TransferOutcome::End::kBroken;
            LogRequest(status);  // each attempt is a request of its own
            return;
        }
        outcome_.end = early ? TransferOutcome::End::kBroken : end;
    } else {
        outcome_.status = status;
        outcome_.end = end;
    }
    if (hash_)
        outcome_.sha256 = hash_->FinishHex();
    LogRequest(status);
}

// The attempt's own answer and bytes; the outcome tells of the whole file.
void Transfer::LogRequest(long status) const {
    if (!run_->log)
        return;
    static const char* const kEnds[] = {"not run", "finished", "broken", "over-limit",
                                        "write-failed"};
    RunLog::Request request;
    request.url = url_;
    request.status = status;
    request.bytes = outcome_.bytes - attemptStart_;
    request.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    request.end = kEnds[static_cast<int>(outcome_.end)];
    if (outcome_.code != CURLE_OK)
        request.error = curl_easy_strerror(outcome_.code);
    run_->log->OnRequest(request);
}

namespace {

// The socket receive buffer the handle asks for (an int behind `size`).
int SetReceiveBuffer(void* size, curl_socket_t socket, curlsocktype purpose) {
    // Windows takes the value as const char*, POSIX as const void*.
    if (purpose == CURLSOCKTYPE_IPCXN)
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, static_cast<const char*>(size), sizeof(int));
    return CURL_SOCKOPT_OK;
}

// Under the player's cap a transfer gets no more than its share of the cap;
// one that brings a quarter of that share or more is not slow. Without a
// cap, no bound.
double QuarterOfCapShare(const RunContext& run) {
    if (!run.network.limiter)
        return std::numeric_limits<double>::infinity();
    return static_cast<double>(run.network.limiter->BytesPerSecond() / std::max(1, run.width) / 4);
}

// Below this a transfer counts as stalled; a transfer held to its share of
// the cap must not look stalled.
long LowSpeedLimit(const RunContext& run) {
    const double quarter = QuarterOfCapShare(run);
    const long limit = run.limits.lowSpeedBytesPerSecond;
    return quarter < static_cast<double>(limit) ? std::max(1L, static_cast<long>(quarter)) : limit;
}

}  // namespace

TransferHandle::TransferHandle(RunContext& run) : run_(run), handle_(curl_easy_init()) {
    if (!handle_)
        return;
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, run.limits.connectTimeoutSeconds);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, LowSpeedLimit(run));
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, run.limits.lowSpeedSeconds);
    ApplyTlsOptions(handle_, run.tls);
    ApplyProxy(handle_, run.network.proxy);
    // Under a cap even small answers come in blocks the cap can hold.
    if (run.network.limiter)
        curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, run.network.limiter->BlockSize(1));
}

TransferHandle::~TransferHandle() {
    if (handle_)
        curl_easy_cleanup(handle_);
}

void TransferHandle::UseLargeBlocks(int transfersAtOnce) {
    if (run_.network.limiter) {
        // Large blocks and a large buffer would let bursts past the cap.
        curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE,
                         run_.network.limiter->BlockSize(transfersAtOnce));
        receiveBuffer_ = run_.network.limiter->ReceiveBufferSize();
    } else {
        // A receive buffer that holds a whole libcurl block, so that a front
        // end whose progress update takes a while finds a full block waiting
        // instead of being handed many small ones.
        curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
        receiveBuffer_ = static_cast<int>(kDownloadBufferSize) * 2;
    }
    curl_easy_setopt(handle_, CURLOPT_SOCKOPTFUNCTION, SetReceiveBuffer);
    curl_easy_setopt(handle_, CURLOPT_SOCKOPTDATA, &receiveBuffer_);
}

TransferPool::TransferPool(RunContext& run, int width) : run_(run), multi_(curl_multi_init()) {
    if (!multi_)
        return;
    // One request per connection at a time: no pipelining.
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
    for (int i = 0; i < width; ++i) {
        auto handle = std::make_unique<TransferHandle>(run);
        if (!*handle) {
            slots_.clear();
            return;
        }
        Slot slot;
        slot.handle = std::move(handle);
        slots_.push_back(std::move(slot));
    }
}

TransferPool::~TransferPool() {
    Stop();
    slots_.clear();  // the easy handles go before the multi handle
    if (multi_)
        curl_multi_cleanup(multi_);
}

void TransferPool::Start(const TransferJob& job, size_t tag) {
    ServerSet& servers = run_.servers;
    for (Slot& slot : slots_) {
        if (slot.transfer)
            continue;
        slot.transfer = job.transfer;
        slot.tag = tag;
        slot.url = job.url;
        slot.server = -1;
        slot.relative = job.relative;
        slot.expectedSize = job.expectedSize;
        slot.expectedSha256 = job.expectedSha256;
        slot.bytesBefore = 0;
        slot.slowMoves = 0;
        slot.triedFrom = -1;
        if (!job.relative.empty() && servers.Several()) {
            // Only bytes the hash and the manifest's size judge may come
            // from any server; the rest (a size query, a file the manifest
            // gives no size or hash for) from the server the text files
            // came from, which speaks for the build as the manifest does.
            if (!job.expectedSha256.empty() && job.expectedSize >= 0) {
                servers.CheckBuilds(run_);
                ObserveServers();
                slot.server = servers.Choose();
            }
            const size_t index = slot.server >= 0 ? static_cast<size_t>(slot.server) : servers.text;
            if (slot.server >= 0)
                servers.Started(index);
            if (index != 0 || slot.server >= 0)
                slot.url = servers.At(index).address.Url(job.relative);
        }
        slot.startedAt = std::chrono::steady_clock::now();
        BeginOnServer(slot);
        ++inFlight_;
        Attempt(slot, slot.startedAt);
        return;
    }
}

std::string TransferPool::ServerFault(const Slot& slot) const {
    const Transfer& transfer = *slot.transfer;
    const TransferOutcome& outcome = transfer.Outcome();
    auto stopped = [&] {
        return std::to_string(outcome.bytes) + " bytes into " + slot.relative +
               (outcome.code != CURLE_OK ? std::string(": ") + curl_easy_strerror(outcome.code)
                                         : std::string());
    };
    if (transfer.WantsAnotherAttempt())
        return "it broke off " + stopped();
    // A disk that is full is not the server's fault.
    if (outcome.end == TransferOutcome::End::kWriteFailed)
        return {};
    if (outcome.status == 0)
        return slot.relative + " got no answer" +
               (outcome.code != CURLE_OK ? std::string(": ") + curl_easy_strerror(outcome.code)
                                         : std::string());
    if (outcome.status != 200)
        return slot.relative + " answered " + std::to_string(outcome.status);
    if (outcome.end == TransferOutcome::End::kBroken)
        return "it broke off " + stopped();
    if (slot.expectedSize >= 0 && (outcome.end == TransferOutcome::End::kOverLimit ||
                                   !outcome.Complete() || outcome.bytes != slot.expectedSize))
        return slot.relative + " came with " +
               (outcome.end == TransferOutcome::End::kOverLimit ? std::string("more")
                                                                : std::to_string(outcome.bytes)) +
               " bytes, the manifest says " + std::to_string(slot.expectedSize);
    if (!slot.expectedSha256.empty() && outcome.sha256 != slot.expectedSha256)
        return slot.relative + " does not have the published SHA-256";
    return {};
}

void TransferPool::ReleaseServer(Slot& slot, bool measured, bool now) {
    if (slot.server < 0)
        return;
    double speed = -1;
    if (measured && now) {
        speed = slot.rate;
    } else if (measured) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - slot.startedAt)
                .count();
        // What this server brought: a transfer continued here from another
        // had those bytes already.
        const int64_t bytes = slot.transfer ? slot.transfer->Outcome().bytes - slot.bytesBefore : 0;
        if (seconds > 0 && bytes > 0)
            speed = static_cast<double>(bytes) / seconds;
    }
    run_.servers.Ended(static_cast<size_t>(slot.server), speed, measured && now);
    slot.server = -1;
}

void TransferPool::BeginOnServer(Slot& slot) {
    slot.rate = -1;
    slot.windowStart = slot.startedAt;
    slot.windowBytes = slot.transfer->Outcome().bytes;
}

void TransferPool::ObserveServers() {
    ServerSet& servers = run_.servers;
    std::vector<double> sum(servers.Count(), 0);
    std::vector<int> count(servers.Count(), 0);
    for (const Slot& slot : slots_) {
        if (!slot.transfer || slot.server < 0 || slot.rate < 0)
            continue;
        const auto index = static_cast<size_t>(slot.server);
        sum[index] += slot.rate;
        ++count[index];
    }
    for (size_t i = 0; i < servers.Count(); ++i)
        servers.Observe(i, count[i] ? sum[i] / count[i] : -1);
}

bool TransferPool::FailOver(Slot& slot) {
    if (slot.server < 0)
        return false;
    ServerSet& servers = run_.servers;
    const std::string why = ServerFault(slot);
    if (why.empty()) {
        ReleaseServer(slot, true);
        return false;
    }
    const auto failed = static_cast<size_t>(slot.server);
    ReleaseServer(slot, false);
    // Bytes from two servers that do not hash as published do not tell
    // which served the wrong ones: this one brings the file whole first.
    const TransferOutcome& outcome = slot.transfer->Outcome();
    if (slot.bytesBefore > 0 && !slot.transfer->WantsAnotherAttempt() && outcome.Complete() &&
        outcome.bytes == slot.expectedSize && outcome.sha256 != slot.expectedSha256 &&
        servers.At(failed).skipped.empty())
        return GoOnFrom(slot, failed);
    servers.Skip(run_, failed, why);
    ObserveServers();
    const int next = servers.Choose();
    return next >= 0 && GoOnFrom(slot, static_cast<size_t>(next));
}

bool TransferPool::GoOnFrom(Slot& slot, size_t next) {
    Transfer& transfer = *slot.transfer;
    // The bytes so far are good to go on from only where the whole file's
    // hash will judge them; otherwise the next server brings it whole.
    // A size the failed server announced must not judge the next one.
    if (transfer.WantsAnotherAttempt() && transfer.Hashed() && transfer.SizeGiven() &&
        transfer.Outcome().bytes > 0) {
        transfer.ContinueElsewhere();
        slot.bytesBefore = transfer.Outcome().bytes;
    } else if (transfer.Rewind()) {
        slot.bytesBefore = 0;
    } else {
        return false;
    }
    ServerSet& servers = run_.servers;
    slot.server = static_cast<int>(next);
    slot.triedFrom = -1;  // a move on trial ends with any other move
    servers.Started(next);
    slot.url = servers.At(next).address.Url(slot.relative);
    slot.startedAt = std::chrono::steady_clock::now();
    BeginOnServer(slot);
    Attempt(slot, slot.startedAt);
    return true;
}

void TransferPool::MoveSlowTransfers() {
    using Clock = std::chrono::steady_clock;
    // Moving costs a new request and is worth it only for a clear gain; a
    // transfer moves twice at most, so that two servers never pass it back
    // and forth.
    constexpr double kGainFactor = 3;
    constexpr double kGainSeconds = 10;
    constexpr double kRequestSeconds = 2;
    constexpr double kLongSeconds = 30;
    constexpr int kMaxSlowMoves = 2;
    const Clock::time_point now = Clock::now();
    if (now < nextSpeedCheck_)
        return;
    nextSpeedCheck_ = now + std::chrono::seconds(1);
    // Each transfer's speed over its last window: a start that was fast
    // says nothing of a stall that came after it.
    const auto window = std::chrono::seconds(run_.limits.speedSampleSeconds);
    for (Slot& slot : slots_) {
        if (!slot.transfer || slot.server < 0 || slot.retryAt || now - slot.windowStart < window)
            continue;
        const int64_t bytes = slot.transfer->Outcome().bytes;
        // Fewer bytes than the window began with: the server sent the file
        // again from its start (a 200 to a Range request), which says
        // nothing yet of its speed.
        if (bytes >= slot.windowBytes)
            slot.rate = static_cast<double>(bytes - slot.windowBytes) /
                        std::chrono::duration<double>(now - slot.windowStart).count();
        slot.windowStart = now;
        slot.windowBytes = bytes;
    }
    ObserveServers();
    // Under the player's cap every server brings at most the transfer's
    // share of it: only one far below that share is slow.
    const double capped = QuarterOfCapShare(run_);
    ServerSet& servers = run_.servers;
    for (Slot& slot : slots_) {
        if (!slot.transfer || slot.server < 0 || slot.retryAt || slot.endedOffStack ||
            slot.rate < 0 || slot.slowMoves >= kMaxSlowMoves || slot.expectedSize < 0)
            continue;
        Transfer& transfer = *slot.transfer;
        const int64_t bytes = transfer.Outcome().bytes;
        if (bytes >= slot.expectedSize || !transfer.MovableMidway() || slot.rate >= capped)
            continue;
        // A trial that brings less than the server before goes back there.
        if (slot.triedFrom >= 0) {
            const auto back = static_cast<size_t>(std::exchange(slot.triedFrom, -1));
            if (slot.rate < slot.rateBefore && servers.At(back).skipped.empty() &&
                static_cast<int>(back) != slot.server)
                MoveTo(slot, back);
            continue;
        }
        const int other = servers.Choose(slot.server);
        if (other < 0)
            continue;
        const double speed = servers.Speed(static_cast<size_t>(other));
        const auto rest = static_cast<double>(slot.expectedSize - bytes);
        const double here = rest / std::max(1.0, slot.rate);
        const double there = rest / std::max(1.0, speed) + kRequestSeconds;
        const bool faster =
            speed > 0 && here >= kGainFactor * there && here - there >= kGainSeconds;
        // What the others were measured at may say little of the rest: it
        // dates from when they were busy, or from small files, which tell
        // of the round trip more than of the link. A transfer that would
        // still take long tries another once when nothing is known of that
        // one's link, or at the run's end (nothing left to start) when it
        // merely seems faster.
        const bool tail = allStarted_ && speed > slot.rate;
        const bool trial = slot.slowMoves == 0 && here >= kLongSeconds &&
                           (tail || !servers.At(static_cast<size_t>(other)).linkMeasured);
        if (!faster && !trial)
            continue;
        const int from = slot.server;
        const double rateBefore = slot.rate;
        MoveTo(slot, static_cast<size_t>(other));
        if (trial && !faster && slot.server == other) {
            slot.triedFrom = from;
            slot.rateBefore = rateBefore;
        }
    }
}

void TransferPool::MoveTo(Slot& slot, size_t next) {
    ServerSet& servers = run_.servers;
    const std::string from = servers.At(static_cast<size_t>(slot.server)).address.Base();
    const double rate = slot.rate;
    curl_multi_remove_handle(multi_, slot.handle->Get());
    slot.transfer->Finish(slot.handle->Get(), CURLE_ABORTED_BY_CALLBACK);
    ReleaseServer(slot, true, true);
    ++slot.slowMoves;
    if (run_.log)
        run_.log->OnServerNote(slot.relative + ": the rest comes from " +
                               servers.At(next).address.Base() + ", " + from + " brings " +
                               std::to_string(static_cast<int64_t>(rate / 1024)) +
                               " KiB/s of it now");
    if (!GoOnFrom(slot, next))
        slot.endedOffStack = true;  // ends broken, as a failed attempt does
}

void TransferPool::Attempt(Slot& slot, std::chrono::steady_clock::time_point now) {
    slot.retryAt.reset();
    slot.transfer->Attach(slot.handle->Get(), slot.url, run_);
    if (curl_multi_add_handle(multi_, slot.handle->Get()) == CURLM_OK)
        return;
    // An attempt that cannot start counts as one that broke.
    slot.transfer->Finish(slot.handle->Get(), CURLE_FAILED_INIT);
    if (slot.transfer->WantsAnotherAttempt())
        slot.retryAt = now + slot.transfer->NextAttemptPause();
    else
        slot.endedOffStack = true;
}

void TransferPool::Run(size_t count, const Starter& start, const Judge& judge) {
    std::vector<Transfer*> transfers(count, nullptr);
    std::exception_ptr failure;
    size_t next = 0;
    auto startMore = [&] {
        try {
            for (; next < count && HasRoom(); ++next) {
                std::optional<TransferJob> job = start(next);
                if (!job)
                    return;
                if (!job->transfer)
                    continue;
                transfers[next] = job->transfer;
                Start(*job, next);
            }
        } catch (...) {
            failure = std::current_exception();
        }
    };
    // Entries that ended together with a failed one are still judged; the
    // first failure in the order they ended is the one that goes on.
    auto collect = [&](bool wait) {
        for (size_t i : WaitForEnded(wait)) {
            try {
                judge(i, transfers[i]->Outcome());
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };
    for (;;) {
        startMore();
        allStarted_ = next >= count;
        if (failure || Idle())
            break;
        collect(true);
        if (failure)
            break;
    }
    if (failure) {
        collect(false);
        Stop();
        std::rethrow_exception(failure);
    }
}

const TransferOutcome& TransferPool::Perform(Transfer& transfer, const std::string& url) {
    Run(
        1,
        [&](size_t) {
            return std::optional<TransferJob>(TransferJob{url, &transfer});
        },
        [](size_t, const TransferOutcome&) {});
    return transfer.Outcome();
}

std::chrono::steady_clock::duration TransferPool::Tend() {
    using Clock = std::chrono::steady_clock;
    Clock::duration wait = std::chrono::seconds(1);
    const Clock::time_point now = Clock::now();
    for (Slot& slot : slots_) {
        if (!slot.transfer)
            continue;
        if (slot.retryAt) {
            if (*slot.retryAt > now) {
                wait = std::min(wait, *slot.retryAt - now);
                continue;
            }
            Attempt(slot, now);
            continue;
        }
        if (slot.transfer->Paused())
            wait = std::min(wait, slot.transfer->ResumeIfDue());
    }
    return wait;
}

std::vector<size_t> TransferPool::WaitForEnded(bool wait) {
    std::vector<size_t> ended;
    while (inFlight_ > 0) {
        const std::chrono::steady_clock::duration due = Tend();
        for (Slot& slot : slots_) {
            if (!slot.transfer || !slot.endedOffStack)
                continue;
            ReleaseServer(slot, false);
            slot.endedOffStack = false;
            slot.transfer = nullptr;
            --inFlight_;
            ended.push_back(slot.tag);
        }
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            // The stack itself failed: every transfer on it has ended, broken.
            for (Slot& slot : slots_) {
                if (!slot.transfer)
                    continue;
                if (!slot.retryAt) {
                    curl_multi_remove_handle(multi_, slot.handle->Get());
                    slot.transfer->Finish(slot.handle->Get(), CURLE_FAILED_INIT);
                }
                ReleaseServer(slot, false);
                slot.transfer->EndAttempts();
                slot.retryAt.reset();
                slot.endedOffStack = false;
                slot.transfer = nullptr;
                --inFlight_;
                ended.push_back(slot.tag);
            }
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            for (Slot& slot : slots_) {
                if (!slot.transfer || slot.handle->Get() != message->easy_handle)
                    continue;
                const CURLcode code = message->data.result;
                curl_multi_remove_handle(multi_, slot.handle->Get());
                slot.transfer->Finish(slot.handle->Get(), code);
                if (FailOver(slot)) {
                    // Moved to another server, in flight again or ended at
                    // once off the stack.
                    break;
                }
                if (slot.transfer->WantsAnotherAttempt()) {
                    slot.retryAt =
                        std::chrono::steady_clock::now() + slot.transfer->NextAttemptPause();
                    break;
                }
                slot.transfer = nullptr;
                --inFlight_;
                ended.push_back(slot.tag);
                break;
            }
        }
        if (run_.servers.Several())
            MoveSlowTransfers();
        if (!ended.empty() || !wait)
            break;
        // An attempt scheduled by a transfer that ended just now is due
        // sooner than anything Tend knew of before.
        const std::chrono::steady_clock::duration next = std::min(due, Tend());
        if (std::any_of(slots_.begin(), slots_.end(),
                        [](const Slot& slot) { return slot.transfer && slot.endedOffStack; }))
            continue;
        long ms = std::chrono::ceil<std::chrono::milliseconds>(next).count();
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::clamp(ms, 1L, 1000L)), nullptr);
    }
    return ended;
}

void TransferPool::Stop() {
    for (Slot& slot : slots_) {
        if (!slot.transfer)
            continue;
        ReleaseServer(slot, false);
        if (!slot.retryAt)
            curl_multi_remove_handle(multi_, slot.handle->Get());
        slot.retryAt.reset();
        slot.endedOffStack = false;
        slot.transfer = nullptr;
    }
    inFlight_ = 0;
}
