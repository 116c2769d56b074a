#include "patch/RateLimiter.h"

#include <algorithm>
#include <cmath>

namespace {

// libcurl's bounds for CURLOPT_BUFFERSIZE.
constexpr long kSmallestBlock = 1024;
constexpr long kLargestBlock = 2 * 1024 * 1024;

}  // namespace

RateLimiter::RateLimiter(int64_t bytesPerSecond, Clock::time_point start)
    : rate_(std::max(bytesPerSecond, kMinimumBytesPerSecond)),
      tokens_(static_cast<double>(rate_) * kSlackSeconds),
      last_(start) {}

void RateLimiter::Refill(Clock::time_point now) {
    if (now <= last_)
        return;
    double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(tokens_ + seconds * static_cast<double>(rate_),
                       static_cast<double>(rate_) * kSlackSeconds);
    last_ = now;
}

void RateLimiter::Consume(int64_t bytes, Clock::time_point now) {
    Refill(now);
    tokens_ -= static_cast<double>(bytes);
    consumed_ += bytes;
    largestBlock_ = std::max(largestBlock_, bytes);
}

RateLimiter::Clock::duration RateLimiter::Delay(Clock::time_point now) {
    Refill(now);
    if (tokens_ >= 0)
        return Clock::duration::zero();
    auto wait = std::chrono::duration<double>(-tokens_ / static_cast<double>(rate_));
    // Rounded up, so that a waiter woken on time finds the debt paid.
    return std::chrono::ceil<Clock::duration>(wait);
}

long RateLimiter::BlockSize(int transfers) const {
    double share = static_cast<double>(rate_) * kBlockSeconds / std::max(transfers, 1);
    // Clamped before the conversion: a large cap's share does not fit a
    // 32-bit long (Windows).
    return static_cast<long>(
        std::clamp(share, static_cast<double>(kSmallestBlock), static_cast<double>(kLargestBlock)));
}

int RateLimiter::ReceiveBufferSize() const {
    return static_cast<int>(std::clamp<int64_t>(rate_ / 2, 16 * 1024, 4 * 1024 * 1024));
}
