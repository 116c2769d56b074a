// The object format from both ends: lvpublish's writer and the launcher's
// decoder, on real files.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "DeltaWriter.h"
#include "TestFolder.h"
#include "base/Sha256.h"
#include "patch/DeltaObject.h"

namespace {

std::string Random(size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    return s;
}

struct Applied {
    bool ok = false;
    std::string bytes;
    std::string error;
};

Applied Apply(const std::string& objectPath, const std::string& sourcePath,
              int64_t expectedSize = -1) {
    Applied result;
    FILE* object = std::fopen(objectPath.c_str(), "rb");
    FILE* source = sourcePath.empty() ? nullptr : std::fopen(sourcePath.c_str(), "rb");
    std::fseek(object, 0, SEEK_END);
    const int64_t size = std::ftell(object);
    result.ok = delta::Apply(
        object, size, source,
        [&](const char* data, size_t n) {
            result.bytes.append(data, n);
            return true;
        },
        &result.error, expectedSize);
    std::fclose(object);
    if (source)
        std::fclose(source);
    return result;
}

}  // namespace

// Written, decoded, the same bytes: a compressed copy, a small delta, and a
// file larger than one segment against an old one larger than one window,
// where each segment finds its old bytes only in the window placed for it.
TEST(DeltaObject, WhatIsWrittenDecodesToTheFile) {
    TempDir dir;
    // Small segments and windows stand in for the real ones, which are the
    // same code at 32 and 96 MiB.
    const lvpublish::ObjectShape small{256 * 1024, 768 * 1024};
    const std::string bigOld = Random(4 << 20, 1);
    std::string bigNew = bigOld;
    bigNew.insert(1 << 20, Random(100000, 2));
    bigNew.erase(3 << 20, 200000);
    struct Case {
        const char* name;
        std::string old;  // empty: a compressed copy
        std::string now;
        double mostOfNew;  // the object is at most this share of the file
        lvpublish::ObjectShape shape;
    } cases[] = {
        {"compressed copy", "", std::string(300000, 'x') + Random(1000, 3), 0.05, {}},
        {"small delta",
         Random(200000, 4),
         Random(200000, 4).replace(5000, 100, "changed"),
         0.01,
         {}},
        {"segments against windows", bigOld, bigNew, 0.04, small},
        {"compressed in segments", "", std::string(1 << 20, 'y'), 0.01, small},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string oldPath = c.old.empty() ? "" : dir.Path() + "/old";
        if (!c.old.empty())
            WriteFile(oldPath, c.old);
        WriteFile(dir.Path() + "/new", c.now);
        lvpublish::WrittenObject written;
        std::string error;
        ASSERT_TRUE(lvpublish::WriteObject(dir.Path() + "/new", oldPath, 1, dir.Path() + "/obj",
                                           &written, &error, c.shape))
            << error;
        EXPECT_EQ(written.sha256, Sha256FileHex(dir.Path() + "/obj").value_or(""));
        EXPECT_LT(static_cast<double>(written.bytes),
                  c.mostOfNew * static_cast<double>(c.now.size()));
        Applied applied = Apply(dir.Path() + "/obj", oldPath);
        ASSERT_TRUE(applied.ok) << applied.error;
        EXPECT_TRUE(applied.bytes == c.now);
    }
}

// A delta decoded against bytes other than its own, or without any, and
// objects whose header does not hold: refused, or at least not the file.
TEST(DeltaObject, AnythingButItsOwnSourceAndHeaderIsRefused) {
    TempDir dir;
    const std::string old = Random(100000, 5);
    std::string now = old;
    now.replace(40000, 10, "0123456789");
    WriteFile(dir.Path() + "/old", old);
    WriteFile(dir.Path() + "/other", Random(100000, 6));
    WriteFile(dir.Path() + "/new", now);
    lvpublish::WrittenObject written;
    std::string error;
    ASSERT_TRUE(lvpublish::WriteObject(dir.Path() + "/new", dir.Path() + "/old", 1,
                                       dir.Path() + "/obj", &written, &error));
    Applied wrongSource = Apply(dir.Path() + "/obj", dir.Path() + "/other");
    EXPECT_FALSE(wrongSource.ok && wrongSource.bytes == now);
    EXPECT_FALSE(Apply(dir.Path() + "/obj", "").ok);
    // A manifest that names another size: nothing is decoded.
    Applied otherSize =
        Apply(dir.Path() + "/obj", dir.Path() + "/old", static_cast<int64_t>(now.size()) + 1);
    EXPECT_FALSE(otherSize.ok);
    EXPECT_TRUE(otherSize.bytes.empty());

    const std::string object = ReadFile(dir.Path() + "/obj");
    auto patched = [&](size_t at, char byte) {
        std::string bytes = object;
        bytes[at] = byte;
        return bytes;
    };
    const struct {
        const char* name;
        std::string bytes;
    } spoilt[] = {
        {"another magic", patched(0, 'X')},
        {"another format", patched(4, 2)},
        {"a size the segments do not add up to", patched(8, static_cast<char>(object[8] + 1))},
        {"a window past the old file", patched(22, 0x10)},
        {"a frame longer than the object", patched(44, static_cast<char>(object[44] + 1))},
        {"cut short", object.substr(0, object.size() - 1)},
    };
    for (const auto& s : spoilt) {
        SCOPED_TRACE(s.name);
        WriteFile(dir.Path() + "/bad", s.bytes);
        Applied applied = Apply(dir.Path() + "/bad", dir.Path() + "/old");
        EXPECT_FALSE(applied.ok);
        EXPECT_FALSE(applied.error.empty());
    }

    // Headers that would make decoding cost out of step with the file.
    auto header = [](std::vector<delta::Segment> segments) {
        delta::Header h;
        int64_t frames = 0;
        for (delta::Segment& s : segments) {
            h.targetSize += s.targetLength;
            s.frameLength = 1;
            ++frames;
        }
        h.segments = segments;
        return std::make_pair(delta::SerializeHeader(h), h.Bytes() + frames);
    };
    const int64_t window = delta::kMaxWindowBytes;
    std::vector<delta::Segment> rereads;
    for (int i = 0; i < 8; ++i)
        rereads.push_back({i % 2, window, delta::kMinSegmentBytes, 0});
    const struct {
        const char* name;
        std::pair<std::string, int64_t> object;
    } costly[] = {
        {"a short segment before the last", header({{0, 0, 1000, 0}, {0, 0, 1000, 0}})},
        {"windows read over and over", header(rereads)},
    };
    for (const auto& c : costly) {
        SCOPED_TRACE(c.name);
        std::string why;
        EXPECT_FALSE(delta::ParseHeader(c.object.first, c.object.second, &why));
        EXPECT_FALSE(why.empty());
    }
}
