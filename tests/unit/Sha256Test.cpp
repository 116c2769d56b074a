#include <gtest/gtest.h>

#include <string>

#include "TestFolder.h"
#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"

// Published test vectors (FIPS 180-4 examples and the usual long inputs).
TEST(Sha256, KnownVectors) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the padding no longer fits the first block.
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                        "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, SplittingTheInputAnywhereGivesTheSameDigest) {
    // Lengths around the block (64) and padding (55, 56) boundaries.
    for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        std::string data(length, '\0');
        for (size_t i = 0; i < length; ++i)
            data[i] = static_cast<char>(i * 31 + 7);
        const std::string whole = Sha256Hex(data);
        for (size_t chunk : {1u, 3u, 63u, 64u, 65u}) {
            Sha256 sha;
            for (size_t at = 0; at < length; at += chunk)
                sha.Update(data.data() + at, std::min(chunk, length - at));
            EXPECT_EQ(sha.FinishHex(), whole) << "length " << length << ", chunk " << chunk;
        }
    }
}

TEST(Sha256, FilesHashLikeTheirBytesAcrossReadBlocks) {
    TestFolder folder;
    // Past one 1 MiB read, so the file is hashed in several pieces.
    std::string data((1 << 20) * 2 + 17, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + 3);
    WriteFile("big.bin", data);
    EXPECT_EQ(Sha256FileHex("big.bin"), Sha256Hex(data));
    WriteFile("empty.bin", "");
    EXPECT_EQ(Sha256FileHex("empty.bin"), Sha256Hex(""));
    EXPECT_FALSE(Sha256FileHex("missing.bin"));
}

TEST(Sha256, ManifestTagIsReadLikeTheSizeTag) {
    const std::string hex = Sha256Hex("x");
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto tagOf = [](const std::string& line) {
        FilesToPatch manifest;
        manifest.ParseLine(line);
        return manifest.files.at(0).Sha256Tag();
    };
    EXPECT_EQ(tagOf("a 1 SIZE:1 SHA256:" + hex), hex);
    EXPECT_EQ(tagOf("a 1 sha256:" + upper), hex);  // key and digits in any case
    EXPECT_EQ(tagOf("a 1 GAME_EXE Sha256:" + hex + " SIZE:1"), hex);
    EXPECT_EQ(tagOf("a 1 SHA256:" + hex.substr(1)), "");  // 63 digits
    EXPECT_EQ(tagOf("a 1 SHA256:" + hex + "0"), "");      // 65 digits
    EXPECT_EQ(tagOf("a 1 SHA256:" + hex.substr(1) + "g"), "");
    EXPECT_EQ(tagOf("a 1 SHA256X:" + hex), "");
    EXPECT_EQ(tagOf("a 1"), "");
    // A malformed first hash tag does not hide a good later one.
    EXPECT_EQ(tagOf("a 1 SHA256:zz SHA256:" + hex), hex);
}
