#pragma once
// The published objects that update a file without fetching it whole: a
// compressed copy of the file, or a delta that rebuilds it from the file a
// player has. Both are one format, a list of segments, each a zstd frame
// that yields the next piece of the new file; a delta's frame is decoded
// against a window of the old file (zstd's patch-from mode), a compressed
// copy's without one. The segments bound what decoding holds in memory,
// whatever the size of the file: one window and one segment.
//
// Layout, little-endian: "LVZD", format 1 (u32), the new file's size (u64),
// the segment count (u32); per segment the window's offset and length in the
// old file, the segment's length and its frame's length (four u64); then the
// frames, back to back, to the object's last byte.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace delta {

inline constexpr int64_t kSegmentBytes = int64_t{32} << 20;
inline constexpr int64_t kMaxWindowBytes = int64_t{96} << 20;
// A frame's window covers its old-file window and its segment.
inline constexpr int kWindowLog = 27;
// No segment but the last is shorter: the segment count stays in step with
// the file's size.
inline constexpr int64_t kMinSegmentBytes = int64_t{64} << 10;
// The old file is read at most this many times the new file's size (plus
// one window): a delta's windows overlap by at most two thirds.
inline constexpr int64_t kMaxWindowReadsPerByte = 4;
inline constexpr size_t kFixedHeaderBytes = 20;
inline constexpr size_t kSegmentRecordBytes = 32;

struct Segment {
    int64_t sourceOffset = 0;
    int64_t sourceLength = 0;  // 0: the frame needs no old file
    int64_t targetLength = 0;
    int64_t frameLength = 0;
};

struct Header {
    int64_t targetSize = 0;
    std::vector<Segment> segments;
    int64_t Bytes() const {
        return static_cast<int64_t>(kFixedHeaderBytes + kSegmentRecordBytes * segments.size());
    }
    bool NeedsSource() const;
};

// The header as the object starts with it.
std::string SerializeHeader(const Header& header);

// The header of an object of `objectSize` bytes from its first bytes, held
// to the limits above and to the object's size; nothing (and `error`) for
// any other bytes. `bytes` may be longer than the header.
std::optional<Header> ParseHeader(std::string_view bytes, int64_t objectSize, std::string* error);

// The new file's bytes, segment after segment, to `write` (false stops
// with a write error). `source` is the old file a delta is decoded against,
// null for a compressed copy; `expectedSize` the new file's size, which the
// header must name (negative: any). False with `error` on an object that is
// not one, a window beyond the old file, or a frame that does not give its
// segment exactly; nothing is written for a header that does not hold.
using ByteWriter = std::function<bool(const char* data, size_t size)>;
bool Apply(FILE* object, int64_t objectSize, FILE* source, const ByteWriter& write,
           std::string* error, int64_t expectedSize = -1);

}  // namespace delta
