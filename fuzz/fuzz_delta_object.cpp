// Any object a server sends, decoded against a small old file: the decoder
// never misbehaves, never writes more than its header's size, and a header
// it accepts reads back the same. Half the inputs get a well-formed header
// in front of their bytes, so the frames themselves are fuzzed too.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "patch/DeltaObject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    std::string object;
    std::string source(reinterpret_cast<const char*>(data), std::min<size_t>(size, 512));
    if (data[0] & 1) {
        delta::Header header;
        const int64_t target = 1 + (data[1] | (data[2] << 8));
        const int64_t frame = static_cast<int64_t>(size - 3);
        header.targetSize = target;
        header.segments.push_back(
            {0, (data[3] & 1) ? static_cast<int64_t>(source.size()) : 0, target, frame});
        object = delta::SerializeHeader(header);
        object.append(reinterpret_cast<const char*>(data) + 3, size - 3);
    } else {
        object.assign(reinterpret_cast<const char*>(data), size);
    }
    std::optional<delta::Header> header =
        delta::ParseHeader(object, static_cast<int64_t>(object.size()), nullptr);
    if (header && delta::SerializeHeader(*header) != object.substr(0, header->Bytes()))
        std::abort();
    FILE* in = fmemopen(object.data(), object.size(), "rb");
    FILE* old = fmemopen(source.data(), source.size(), "rb");
    int64_t written = 0;
    const bool applied = delta::Apply(
        in, static_cast<int64_t>(object.size()), old,
        [&](const char*, size_t n) {
            written += static_cast<int64_t>(n);
            return true;
        },
        nullptr);
    if (applied && (!header || written != header->targetSize))
        std::abort();
    std::fclose(in);
    std::fclose(old);
    return 0;
}
