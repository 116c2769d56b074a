#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer
#include "patch/DeltaObject.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/Platform.h"

namespace delta {
namespace {

constexpr char kMagic[4] = {'L', 'V', 'Z', 'D'};
constexpr uint32_t kFormat = 1;
// Far beyond any game file (32 TiB in segments of 32 MiB).
constexpr uint32_t kMaxSegments = 1u << 20;
constexpr size_t kInputBlock = 128 * 1024;

void PutLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t GetLe(const char* data, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

bool Fail(std::string* error, const char* why) {
    if (error)
        *error = why;
    return false;
}

bool ReadAt(FILE* file, int64_t offset, char* into, size_t size) {
    return platform::SeekTo(file, offset) && std::fread(into, 1, size, file) == size;
}

struct DCtxFree {
    void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

}  // namespace

bool Header::NeedsSource() const {
    for (const Segment& segment : segments)
        if (segment.sourceLength > 0)
            return true;
    return false;
}

std::string SerializeHeader(const Header& header) {
    std::string out(kMagic, sizeof kMagic);
    PutLe(out, kFormat, 4);
    PutLe(out, static_cast<uint64_t>(header.targetSize), 8);
    PutLe(out, header.segments.size(), 4);
    for (const Segment& s : header.segments) {
        PutLe(out, static_cast<uint64_t>(s.sourceOffset), 8);
        PutLe(out, static_cast<uint64_t>(s.sourceLength), 8);
        PutLe(out, static_cast<uint64_t>(s.targetLength), 8);
        PutLe(out, static_cast<uint64_t>(s.frameLength), 8);
    }
    return out;
}

std::optional<Header> ParseHeader(std::string_view bytes, int64_t objectSize, std::string* error) {
    if (bytes.size() < kFixedHeaderBytes || std::memcmp(bytes.data(), kMagic, 4) != 0 ||
        GetLe(bytes.data() + 4, 4) != kFormat) {
        Fail(error, "not an object of this format");
        return std::nullopt;
    }
    const uint64_t targetSize = GetLe(bytes.data() + 8, 8);
    const uint64_t count = GetLe(bytes.data() + 16, 4);
    if (count > kMaxSegments || targetSize > uint64_t{kMaxSegments} * kSegmentBytes ||
        bytes.size() < kFixedHeaderBytes + count * kSegmentRecordBytes) {
        Fail(error, "a header beyond its limits or cut short");
        return std::nullopt;
    }
    Header header;
    header.targetSize = static_cast<int64_t>(targetSize);
    const uint64_t maxFrame = ZSTD_compressBound(kSegmentBytes);
    uint64_t targets = 0;
    uint64_t frames = kFixedHeaderBytes + count * kSegmentRecordBytes;
    for (uint64_t i = 0; i < count; ++i) {
        const char* record = bytes.data() + kFixedHeaderBytes + i * kSegmentRecordBytes;
        const uint64_t offset = GetLe(record, 8);
        const uint64_t window = GetLe(record + 8, 8);
        const uint64_t target = GetLe(record + 16, 8);
        const uint64_t frame = GetLe(record + 24, 8);
        // Each bound keeps every sum below far below 2^63.
        if (window > uint64_t{kMaxWindowBytes} || offset > (uint64_t{1} << 50) || target == 0 ||
            target > uint64_t{kSegmentBytes} || frame == 0 || frame > maxFrame) {
            Fail(error, "a segment beyond its limits");
            return std::nullopt;
        }
        targets += target;
        frames += frame;
        header.segments.push_back({static_cast<int64_t>(offset), static_cast<int64_t>(window),
                                   static_cast<int64_t>(target), static_cast<int64_t>(frame)});
    }
    if (targets != targetSize || frames != static_cast<uint64_t>(objectSize)) {
        Fail(error, "segments that do not add up to the file and the object");
        return std::nullopt;
    }
    // Work in step with the file: no short segments but the last, and no
    // reading the old file over and over (a window the segment before had
    // is not read again).
    uint64_t reads = 0;
    for (size_t i = 0; i < header.segments.size(); ++i) {
        const Segment& s = header.segments[i];
        if (i + 1 < header.segments.size() && s.targetLength < kMinSegmentBytes) {
            Fail(error, "a segment shorter than segments are");
            return std::nullopt;
        }
        if (i == 0 || s.sourceOffset != header.segments[i - 1].sourceOffset ||
            s.sourceLength != header.segments[i - 1].sourceLength)
            reads += static_cast<uint64_t>(s.sourceLength);
    }
    if (reads > kMaxWindowReadsPerByte * targetSize + kMaxWindowBytes) {
        Fail(error, "windows that would read the old file over and over");
        return std::nullopt;
    }
    return header;
}

bool Apply(FILE* object, int64_t objectSize, FILE* source, const ByteWriter& write,
           std::string* error, int64_t expectedSize) {
    char fixed[kFixedHeaderBytes];
    if (objectSize < static_cast<int64_t>(kFixedHeaderBytes) ||
        !ReadAt(object, 0, fixed, sizeof fixed))
        return Fail(error, "the object is cut short");
    const uint64_t count = GetLe(fixed + 16, 4);
    if (count > kMaxSegments ||
        static_cast<uint64_t>(objectSize) < kFixedHeaderBytes + count * kSegmentRecordBytes)
        return Fail(error, "a header beyond its limits or cut short");
    std::optional<Header> header;
    {
        std::string headerBytes(kFixedHeaderBytes + count * kSegmentRecordBytes, '\0');
        if (!ReadAt(object, 0, headerBytes.data(), headerBytes.size()))
            return Fail(error, "the object is cut short");
        header = ParseHeader(headerBytes, objectSize, error);
    }
    if (!header)
        return false;
    if (expectedSize >= 0 && header->targetSize != expectedSize)
        return Fail(error, "the object makes a file of another size than the manifest's");
    int64_t sourceSize = 0;
    if (header->NeedsSource()) {
        if (!source || (sourceSize = platform::OpenFileSize(source)) < 0)
            return Fail(error, "a delta without the file it is decoded against");
        for (const Segment& segment : header->segments)
            if (segment.sourceOffset + segment.sourceLength > sourceSize)
                return Fail(error, "the delta's window lies beyond the old file");
    }

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kWindowLog)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_stableOutBuffer, 1)))
        return Fail(error, "out of memory");
    std::vector<char> window;
    std::vector<char> target;
    std::vector<char> input(kInputBlock);
    int64_t at = header->Bytes();
    int64_t windowFrom = -1;
    for (const Segment& segment : header->segments) {
        if (segment.sourceLength == 0) {
            window.clear();
            windowFrom = -1;
        } else if (windowFrom != segment.sourceOffset ||
                   static_cast<int64_t>(window.size()) != segment.sourceLength) {
            window.resize(static_cast<size_t>(segment.sourceLength));
            if (!ReadAt(source, segment.sourceOffset, window.data(), window.size()))
                return Fail(error, "the delta's window lies beyond the old file");
            windowFrom = segment.sourceOffset;
        }
        target.resize(static_cast<size_t>(segment.targetLength));
        ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_only);
        if (ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), window.data(), window.size())))
            return Fail(error, "the delta's window cannot be used");
        ZSTD_outBuffer out{target.data(), target.size(), 0};
        int64_t left = segment.frameLength;
        size_t status = 1;
        if (!platform::SeekTo(object, at))
            return Fail(error, "the object cannot be read");
        while (left > 0) {
            const size_t block = static_cast<size_t>(std::min<int64_t>(left, kInputBlock));
            if (std::fread(input.data(), 1, block, object) != block)
                return Fail(error, "the object is cut short");
            left -= static_cast<int64_t>(block);
            ZSTD_inBuffer in{input.data(), block, 0};
            while (in.pos < in.size) {
                const size_t inBefore = in.pos;
                const size_t outBefore = out.pos;
                status = ZSTD_decompressStream(dctx.get(), &out, &in);
                if (ZSTD_isError(status))
                    return Fail(error, "a frame that does not decode");
                if (in.pos == inBefore && out.pos == outBefore)
                    return Fail(error, "a frame longer than its segment says");
                if (status == 0 && (in.pos < in.size || left > 0))
                    return Fail(error, "a frame longer than its segment says");
            }
        }
        if (status != 0 || out.pos != out.size)
            return Fail(error, "a frame that does not give its segment");
        if (!write(target.data(), target.size()))
            return Fail(error, "cannot write");
        at += segment.frameLength;
    }
    return true;
}

}  // namespace delta
