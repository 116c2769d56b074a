#pragma once
// Writing the objects of patch/DeltaObject.h: a compressed copy of a file, or
// a delta that rebuilds it from an earlier build's copy, each segment a zstd
// frame with the long-distance matcher, a delta's against a window of the old
// file (the whole old file while it fits one window, else the stretch around
// the segment's place in it).

#include <cstdint>
#include <string>

#include "patch/DeltaObject.h"

namespace lvpublish {

inline constexpr int kDefaultDeltaLevel = 19;

struct WrittenObject {
    int64_t bytes = 0;
    std::string sha256;
};

// How the new file is cut and how much of the old one each piece may use:
// at most the decoder's limits (patch/DeltaObject.h), which are the default.
struct ObjectShape {
    int64_t segment = delta::kSegmentBytes;
    int64_t window = delta::kMaxWindowBytes;
};

// Writes to `outPath` the object that rebuilds `newPath`, against `oldPath`
// or, with `oldPath` empty, alone. False with `error` when a file cannot be
// read or written or zstd refuses; `outPath` is then removed.
bool WriteObject(const std::string& newPath, const std::string& oldPath, int level,
                 const std::string& outPath, WrittenObject* written, std::string* error,
                 ObjectShape shape = {});

}  // namespace lvpublish
