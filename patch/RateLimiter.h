#pragma once
// The player's bandwidth cap: one token bucket shared by every transfer of a
// run, so that the cap holds for all of them together, parallel ones
// included. The engine reports each block it received; the bucket answers
// how long reading must be held back. It never sleeps itself: the transfer
// driver pauses the handles that read and goes on serving its timers.
//
// Over any interval T the bytes reported stay below
//   rate * T + kSlackSeconds * rate + the blocks read once the wait is over,
// so with blocks of BlockSize() the excess over 10 s is a few percent at most.
// Used on the run's worker thread only.

#include <chrono>
#include <cstdint>

class RateLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    // Below this the smallest libcurl blocks (1 KiB), one from each of a few
    // parallel transfers, would be a large part of what a ten-second window
    // allows; lower caps are raised to it.
    static constexpr int64_t kMinimumBytesPerSecond = 16 * 1024;
    // What the bucket may save up while transfers are slower than the cap.
    static constexpr double kSlackSeconds = 0.1;
    // One block may hold this much of a second's allowance, shared between
    // the transfers reading at once.
    static constexpr double kBlockSeconds = 0.1;

    explicit RateLimiter(int64_t bytesPerSecond, Clock::time_point start = Clock::now());

    int64_t BytesPerSecond() const { return rate_; }
    // Everything accounted so far, and the largest single block.
    int64_t Consumed() const { return consumed_; }
    int64_t LargestBlock() const { return largestBlock_; }

    // Accounts bytes that arrived at `now`.
    void Consume(int64_t bytes, Clock::time_point now);
    // How long reading must wait from `now`; zero when it may go on.
    Clock::duration Delay(Clock::time_point now);

    // The receive block size (CURLOPT_BUFFERSIZE) for each of `transfers`
    // reading at once, within libcurl's limits.
    long BlockSize(int transfers) const;
    // A socket receive buffer of about half a second of the cap, so the line
    // carries no long burst beyond what the bucket lets through.
    int ReceiveBufferSize() const;

  private:
    void Refill(Clock::time_point now);

    int64_t rate_;
    double tokens_;  // bytes that may still arrive; negative: owed
    Clock::time_point last_;
    int64_t consumed_ = 0;
    int64_t largestBlock_ = 0;
};
