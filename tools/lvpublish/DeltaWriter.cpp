#include "DeltaWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "Fd.h"
#include "base/Sha256.h"
#include "patch/DeltaObject.h"

namespace lvpublish {
namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

bool ReadFully(int fd, int64_t offset, char* into, size_t size) {
    while (size > 0) {
        ssize_t n = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (n <= 0)
            return false;
        into += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The stretch of the old file segment `index` is decoded against: all of it
// while it fits, else a window around the segment's place in it, scaled by
// the two sizes (a repacked archive keeps its members in their order).
delta::Segment WindowFor(int64_t index, int64_t newSize, int64_t oldSize, ObjectShape shape) {
    delta::Segment segment;
    const int64_t start = index * shape.segment;
    segment.targetLength = std::min(shape.segment, newSize - start);
    if (oldSize <= shape.window) {
        segment.sourceLength = oldSize;
        return segment;
    }
    const int64_t margin = (shape.window - shape.segment) / 2;
    const int64_t place =
        static_cast<int64_t>(static_cast<double>(start) * static_cast<double>(oldSize) /
                             static_cast<double>(std::max<int64_t>(newSize, 1)));
    int64_t from = std::max<int64_t>(0, place - margin);
    from = std::min(from, oldSize - shape.window);
    segment.sourceOffset = from;
    segment.sourceLength = shape.window;
    return segment;
}

bool Encode(int in, int64_t newSize, int old, int64_t oldSize, int level, int out,
            ObjectShape shape, std::string* error) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        *error = "out of memory";
        return false;
    }
    delta::Header header;
    header.targetSize = newSize;
    for (int64_t i = 0; i * shape.segment < newSize; ++i) {
        delta::Segment segment = WindowFor(i, newSize, std::max<int64_t>(oldSize, 0), shape);
        if (old < 0)
            segment.sourceLength = 0;
        header.segments.push_back(segment);
    }
    std::vector<char> window;
    int64_t windowFrom = -1;
    std::vector<char> segment;
    std::vector<char> frame(ZSTD_compressBound(static_cast<size_t>(shape.segment)));
    int64_t at = header.Bytes();
    for (size_t i = 0; i < header.segments.size(); ++i) {
        delta::Segment& s = header.segments[i];
        segment.resize(static_cast<size_t>(s.targetLength));
        if (!ReadFully(in, static_cast<int64_t>(i) * shape.segment, segment.data(),
                       segment.size())) {
            *error = "cannot read the new file";
            return false;
        }
        if (s.sourceLength > 0 && windowFrom != s.sourceOffset) {
            window.resize(static_cast<size_t>(s.sourceLength));
            if (!ReadFully(old, s.sourceOffset, window.data(), window.size())) {
                *error = "cannot read the old file";
                return false;
            }
            windowFrom = s.sourceOffset;
        }
        ZSTD_CCtx_reset(cctx.get(), ZSTD_reset_session_and_parameters);
        const int windowLog = s.sourceLength > 0 ? delta::kWindowLog : 25;
        // One worker, as the zstd program has by default: at the highest
        // levels the single-threaded long-distance matcher missed matches
        // a whole old archive back (a 31 MB delta where one worker gives
        // 0.4 MB). A library built without threads refuses it and goes on.
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, 1);
        if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
            ZSTD_isError(
                ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, windowLog)) ||
            (s.sourceLength > 0 &&
             ZSTD_isError(ZSTD_CCtx_refPrefix(cctx.get(), window.data(), window.size())))) {
            *error = "zstd refused its parameters";
            return false;
        }
        const size_t length =
            ZSTD_compress2(cctx.get(), frame.data(), frame.size(), segment.data(), segment.size());
        if (ZSTD_isError(length)) {
            *error = std::string("zstd: ") + ZSTD_getErrorName(length);
            return false;
        }
        s.frameLength = static_cast<int64_t>(length);
        if (::pwrite(out, frame.data(), length, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(length)) {
            *error = std::string("cannot write the object: ") + std::strerror(errno);
            return false;
        }
        at += s.frameLength;
    }
    const std::string bytes = delta::SerializeHeader(header);
    if (::pwrite(out, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ::fsync(out) != 0) {
        *error = std::string("cannot write the object: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int64_t SizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

bool WriteObject(const std::string& newPath, const std::string& oldPath, int level,
                 const std::string& outPath, WrittenObject* written, std::string* error,
                 ObjectShape shape) {
    Fd in(::open(newPath.c_str(), O_RDONLY | O_CLOEXEC));
    Fd old(oldPath.empty() ? -1 : ::open(oldPath.c_str(), O_RDONLY | O_CLOEXEC));
    Fd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const int64_t newSize = in.get() >= 0 ? SizeOf(in.get()) : -1;
    const int64_t oldSize = old.get() >= 0 ? SizeOf(old.get()) : -1;
    bool ok = false;
    if (newSize < 0 || (!oldPath.empty() && oldSize < 0))
        *error = "cannot read " + (newSize < 0 ? newPath : oldPath);
    else if (out.get() < 0 || ::fchmod(out.get(), 0644) != 0)
        *error = "cannot write " + outPath + ": " + std::strerror(errno);
    else
        ok = Encode(in.get(), newSize, old.get(), oldSize, level, out.get(), shape, error);
    if (ok) {
        std::optional<std::string> hash = Sha256FileHex(outPath);
        written->bytes = SizeOf(out.get());
        ok = hash.has_value();
        if (ok)
            written->sha256 = *hash;
        else
            *error = "cannot read back " + outPath;
    }
    if (!ok)
        ::unlink(outPath.c_str());
    return ok;
}

}  // namespace lvpublish
