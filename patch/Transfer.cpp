#include "patch/Transfer.h"

#include "patch/RunLog.h"

#include <openssl/evp.h>

#include "patch/RunNetwork.h"

TransferLimits g_transferLimits;

bool FileSink::Write(const char* data, size_t size) {
    return std::fwrite(data, 1, size, file_) == size;
}

bool TransferOutcome::Complete() const {
    return end == End::kFinished && (announcedLength < 0 || bytes == announcedLength);
}

struct Transfer::Hasher {
    Hasher() : context(EVP_MD_CTX_new()) {
        if (context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    ~Hasher() { EVP_MD_CTX_free(context); }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // A hasher that failed once gives no digest rather than a wrong one.
    void Update(const char* data, size_t size) {
        if (context && EVP_DigestUpdate(context, data, size) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    std::string HexDigest() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!context || EVP_DigestFinal_ex(context, digest, &length) != 1)
            return "";
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            hex.push_back(kHex[digest[i] >> 4]);
            hex.push_back(kHex[digest[i] & 15]);
        }
        return hex;
    }

    EVP_MD_CTX* context;
};

Transfer::Transfer(TransferSink* sink) : sink_(sink) {}

Transfer::~Transfer() = default;

void Transfer::SetByteLimit(int64_t bytes) {
    limit_ = bytes;
}

void Transfer::EnableSha256() {
    hasher_ = std::make_unique<Hasher>();
}

void Transfer::Attach(CURL* handle, const std::string& url) {
    handle_ = handle;
    url_ = url;
    started_ = std::chrono::steady_clock::now();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
}

size_t Transfer::OnData(char* data, size_t size, size_t count, void* userData) {
    return static_cast<Transfer*>(userData)->Take(data, size * count);
}

size_t Transfer::Take(const char* data, size_t size) {
    if (!sawBody_) {
        sawBody_ = true;
        curl_off_t length = -1;
        curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        outcome_.announcedLength = length;
    }
    // Returning less than the block ends the transfer at once.
    if (cutUnannounced_ && outcome_.announcedLength < 0) {
        cutAs_ = TransferOutcome::End::kOverLimit;
        return 0;
    }
    const auto n = static_cast<int64_t>(size);
    int64_t bound = limit_;
    if (outcome_.announcedLength >= 0 && (bound < 0 || outcome_.announcedLength < bound))
        bound = outcome_.announcedLength;
    if (bound >= 0 &&
        (outcome_.bytes + n > bound || (limit_ >= 0 && outcome_.announcedLength > limit_))) {
        cutAs_ = TransferOutcome::End::kOverLimit;
        return 0;
    }
    if (sink_ && !sink_->Write(data, size)) {
        cutAs_ = TransferOutcome::End::kWriteFailed;
        return 0;
    }
    if (hasher_)
        hasher_->Update(data, size);
    outcome_.bytes += n;
    return size;
}

void Transfer::Finish(CURL* handle, CURLcode code) {
    outcome_.code = code;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome_.status);
    if (!sawBody_) {
        curl_off_t length = -1;
        curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        outcome_.announcedLength = length;
    }
    if (cutAs_ != TransferOutcome::End::kNotRun)
        outcome_.end = cutAs_;
    else
        outcome_.end =
            code == CURLE_OK ? TransferOutcome::End::kFinished : TransferOutcome::End::kBroken;
    if (hasher_)
        outcome_.sha256 = hasher_->HexDigest();
    handle_ = nullptr;
    LogRequest();
}

void Transfer::LogRequest() const {
    if (!g_runLog)
        return;
    static const char* const kEnds[] = {"not run", "finished", "broken", "over-limit",
                                        "write-failed"};
    RunLog::Request request;
    request.url = url_;
    request.status = outcome_.status;
    request.bytes = outcome_.bytes;
    request.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    request.end = kEnds[static_cast<int>(outcome_.end)];
    if (outcome_.code != CURLE_OK)
        request.error = curl_easy_strerror(outcome_.code);
    g_runLog->OnRequest(request);
}

namespace {

// A receive buffer that holds a whole libcurl block, so that a front end
// whose progress update takes a while finds a full block waiting instead of
// being handed many small ones.
int EnlargeReceiveBuffer(void*, curl_socket_t socket, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) {
        int size = static_cast<int>(kDownloadBufferSize) * 2;
        // Windows takes the value as const char*, POSIX as const void*.
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                   sizeof size);
    }
    return CURL_SOCKOPT_OK;
}

}  // namespace

TransferHandle::TransferHandle() : handle_(curl_easy_init()) {
    if (!handle_)
        return;
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, g_transferLimits.connectTimeoutSeconds);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, g_transferLimits.lowSpeedBytesPerSecond);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, g_transferLimits.lowSpeedSeconds);
    ApplyRunProxy(handle_);
}

TransferHandle::~TransferHandle() {
    if (handle_)
        curl_easy_cleanup(handle_);
}

void TransferHandle::UseLargeBlocks() {
    curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
    curl_easy_setopt(handle_, CURLOPT_SOCKOPTFUNCTION, EnlargeReceiveBuffer);
}

const TransferOutcome& TransferHandle::Perform(Transfer& transfer, const std::string& url) {
    transfer.Attach(handle_, url);
    CURLcode code = curl_easy_perform(handle_);
    transfer.Finish(handle_, code);
    return transfer.Outcome();
}

#ifndef LV_PARALLEL_TRANSFERS
#define LV_PARALLEL_TRANSFERS 1
#endif
int g_parallelTransfers = LV_PARALLEL_TRANSFERS;

TransferPool::TransferPool(int width) : multi_(curl_multi_init()) {
    if (!multi_)
        return;
    // One request per connection at a time, as on the easy interface.
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
    for (int i = 0; i < width; ++i) {
        auto handle = std::make_unique<TransferHandle>();
        if (!*handle) {
            slots_.clear();
            return;
        }
        slots_.push_back({std::move(handle)});
    }
}

TransferPool::~TransferPool() {
    Stop();
    slots_.clear();  // the easy handles go before the multi handle
    if (multi_)
        curl_multi_cleanup(multi_);
}

bool TransferPool::Start(Transfer& transfer, const std::string& url, size_t tag) {
    for (Slot& slot : slots_) {
        if (slot.transfer)
            continue;
        transfer.Attach(slot.handle->Get(), url);
        if (curl_multi_add_handle(multi_, slot.handle->Get()) != CURLM_OK)
            return false;
        slot.transfer = &transfer;
        slot.tag = tag;
        ++inFlight_;
        return true;
    }
    return false;
}

std::vector<size_t> TransferPool::WaitForEnded() {
    std::vector<size_t> ended;
    while (inFlight_ > 0) {
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK)
            break;
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
                slot.transfer = nullptr;
                --inFlight_;
                ended.push_back(slot.tag);
                break;
            }
        }
        if (!ended.empty())
            break;
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    return ended;
}

void TransferPool::Stop() {
    for (Slot& slot : slots_) {
        if (!slot.transfer)
            continue;
        curl_multi_remove_handle(multi_, slot.handle->Get());
        slot.transfer = nullptr;
    }
    inFlight_ = 0;
}
