#include <gtest/gtest.h>

#include <clocale>
#include <limits>

#include "fileset/FilesToPatch.h"
#include "patch/RunSurface.h"

TEST(Progress, MegabyteTextUsesMebibytesAndIgnoresTheLocale) {
    EXPECT_EQ(DownloadProgressText(1572864, 10485760),
              "Downloading updates to game:  1.5 of 10.0 MB complete");
    // Beyond 32 bits the figures stay right.
    EXPECT_EQ(DownloadProgressText(3221225472LL, 5368709120LL),
              "Downloading updates to game:  3072.0 of 5120.0 MB complete");
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        EXPECT_EQ(DownloadProgressText(1572864, 10485760),
                  "Downloading updates to game:  1.5 of 10.0 MB complete");
        std::setlocale(LC_ALL, "C");
    }
}

TEST(Progress, ScalingKeepsRangeAndPositionWithin32Bits) {
    ScaledProgress small = ScaledProgress::ForRange(0, 1000);
    EXPECT_EQ(small.shift, 0);
    EXPECT_EQ(small.Scale(500), 500);

    const int64_t total = 6LL * 1024 * 1024 * 1024;  // 6 GiB
    ScaledProgress big = ScaledProgress::ForRange(0, total);
    EXPECT_LE(big.Scale(total), std::numeric_limits<int32_t>::max());
    EXPECT_GT(big.Scale(total), std::numeric_limits<int32_t>::max() / 2);  // little resolution lost
    EXPECT_EQ(big.Scale(total / 2) * 2, big.Scale(total));
    // A position past the end (a file larger than announced) never wraps.
    EXPECT_EQ(big.Scale(std::numeric_limits<int64_t>::max()), std::numeric_limits<int32_t>::max());
    // A block of 16 KiB still moves the bar.
    EXPECT_GT(big.Scale(total / 2 + 16384), big.Scale(total / 2));
}
