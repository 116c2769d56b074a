#include "patch/RunSurface.h"

#include <cstdint>
#include <limits>

RunSurface* g_patchDialog = nullptr;

ScaledProgress ScaledProgress::ForRange(int64_t low, int64_t high) {
    ScaledProgress p;
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    while (p.shift < 62 && ((high >> p.shift) > kMax || (low >> p.shift) < kMin ||
                            (high >> p.shift) < kMin || (low >> p.shift) > kMax))
        ++p.shift;
    return p;
}

int32_t ScaledProgress::Scale(int64_t value) const {
    int64_t v = value >> shift;
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}
