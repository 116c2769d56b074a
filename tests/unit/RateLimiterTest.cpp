#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "patch/RateLimiter.h"

namespace {

using Clock = RateLimiter::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Arrival {
    Clock::time_point at;
    int64_t bytes;
};

// Transfers that read a full block whenever the bucket lets them, the way the
// engine drives them on a line much faster than the cap, for `duration`.
// Time is simulated: each read costs `readCost`.
std::vector<Arrival> Drive(RateLimiter& limiter, int transfers, Clock::time_point start,
                           Clock::duration duration, Clock::duration readCost) {
    std::vector<Arrival> arrivals;
    Clock::time_point now = start;
    long block = limiter.BlockSize(transfers);
    while (now < start + duration) {
        // Every transfer that is not paused delivers one block per round.
        for (int t = 0; t < transfers; ++t) {
            now += readCost;
            limiter.Consume(block, now);
            arrivals.push_back({now, block});
        }
        now += limiter.Delay(now);
    }
    return arrivals;
}

// The most bytes in any window of `window` that starts at an arrival.
int64_t MostInAnyWindow(const std::vector<Arrival>& arrivals, Clock::duration window) {
    int64_t best = 0;
    int64_t sum = 0;
    size_t first = 0;
    for (size_t last = 0; last < arrivals.size(); ++last) {
        sum += arrivals[last].bytes;
        while (arrivals[last].at - arrivals[first].at >= window)
            sum -= arrivals[first++].bytes;
        best = std::max(best, sum);
    }
    return best;
}

}  // namespace

TEST(RateLimiter, CapHoldsWithinFivePercentOverAnyTenSecondsAlsoInParallel) {
    for (int64_t rate :
         {int64_t{16 * 1024}, int64_t{100 * 1024}, int64_t{3 << 20}, int64_t{200 << 20}}) {
        for (int transfers : {1, 4}) {
            Clock::time_point start{};
            RateLimiter limiter(rate, start);
            std::vector<Arrival> arrivals =
                Drive(limiter, transfers, start, seconds(60), std::chrono::microseconds(50));
            int64_t most = MostInAnyWindow(arrivals, seconds(10));
            EXPECT_LE(most, rate * 10 * 105 / 100) << rate << " x" << transfers;
            // And the line is used: the cap is not a much lower rate.
            int64_t total = 0;
            for (const Arrival& a : arrivals)
                total += a.bytes;
            EXPECT_GE(total, rate * 60 * 98 / 100) << rate << " x" << transfers;
        }
    }
}

TEST(RateLimiter, IdleTimeSavesOnlyTheSlack) {
    Clock::time_point start{};
    RateLimiter limiter(100 * 1024, start);
    // A minute with nothing to read (a slow size stage, say) ...
    Clock::time_point later = start + seconds(60);
    EXPECT_EQ(limiter.Delay(later), Clock::duration::zero());
    // ... lets through a tenth of a second of the cap, then the wait is the
    // time the rest needs at the cap.
    limiter.Consume(100 * 1024, later);
    Clock::duration wait = limiter.Delay(later);
    EXPECT_GE(wait, milliseconds(900));
    EXPECT_LE(wait, milliseconds(901));
    EXPECT_EQ(limiter.Delay(later + wait), Clock::duration::zero());
}

TEST(RateLimiter, TinyCapsAreRaisedAndBlocksStayWithinLibcurlsBounds) {
    RateLimiter tiny(10);
    EXPECT_EQ(tiny.BytesPerSecond(), RateLimiter::kMinimumBytesPerSecond);
    EXPECT_EQ(tiny.BlockSize(8), 1024);
    RateLimiter huge(int64_t{1} << 40);
    EXPECT_EQ(huge.BlockSize(1), 2 * 1024 * 1024);
    RateLimiter medium(1 << 20);
    EXPECT_EQ(medium.BlockSize(1), (1 << 20) / 10);
    EXPECT_EQ(medium.BlockSize(4), (1 << 20) / 40);
    // A clock that seems to go back never adds allowance.
    Clock::time_point start = Clock::now();
    RateLimiter limiter(16 * 1024, start);
    limiter.Consume(16 * 1024, start);
    EXPECT_GT(limiter.Delay(start - seconds(5)), milliseconds(800));
}
