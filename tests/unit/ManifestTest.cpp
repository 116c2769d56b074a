#include <gtest/gtest.h>

#include "fileset/FilesToPatch.h"

namespace {

FilesToPatch Parse(std::initializer_list<std::string> lines) {
    FilesToPatch manifest;
    for (const std::string& line : lines)
        manifest.ParseLine(line);
    return manifest;
}

}  // namespace

TEST(Manifest, NameAndVersionOnlyGiveAnEntryWithoutTags) {
    FilesToPatch m = Parse({"data/a.dat 3"});
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].name, "data/a.dat");
    EXPECT_EQ(m.files[0].version, 3);
    EXPECT_EQ(m.files[0].tags[0], "");
    EXPECT_FALSE(m.files[0].sizeKnown);
}

TEST(Manifest, TagsAreCaseInsensitiveAndSizeIsRead) {
    FilesToPatch m = Parse({"game.bin 7 game_exe Size:1024"});
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_TRUE(m.files[0].sizeKnown);
    EXPECT_EQ(m.files[0].size, 1024);
    std::string exe;
    m.GetGameExe(exe);
    EXPECT_EQ(exe, "game.bin");
}

TEST(Manifest, SizeTagRules) {
    // Further colons are left out of the value.
    EXPECT_EQ(Parse({"a 1 SIZE:12:34"}).files[0].size, 1234);
    // An empty value is ignored and a later size tag is used; another key
    // with a colon does not stop the search.
    FilesToPatch m = Parse({"a 1 SIZE: HASH:abc size:77"});
    EXPECT_TRUE(m.files[0].sizeKnown);
    EXPECT_EQ(m.files[0].size, 77);
    // Not a number: a known size of 0.
    m = Parse({"a 1 SIZE:abc"});
    EXPECT_TRUE(m.files[0].sizeKnown);
    EXPECT_EQ(m.files[0].size, 0);
    // Sizes beyond 32 bits are kept whole.
    EXPECT_EQ(Parse({"a 1 SIZE:5368709120"}).files[0].size, 5368709120LL);
    EXPECT_EQ(Parse({"a 1 SIZE:-5"}).files[0].size, -5);
}

TEST(Manifest, MalformedLinesAreSkippedAndLaterLinesStillRead) {
    FilesToPatch m = Parse({"", "   \t", "onlyname", "name v2", "a.dat -3", "b.dat 4\r"});
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].version, -3);
    EXPECT_EQ(m.files[1].name, "b.dat");
    EXPECT_EQ(m.files[1].tags[0], "");  // the carriage return is white space
}

TEST(Manifest, OnlyTheFirstFiveTokensCount) {
    FilesToPatch m = Parse({"a 1 t1 t2 t3 GAME_EXE"});
    EXPECT_EQ(m.files[0].tags[2], "t3");
    std::string exe;
    m.GetGameExe(exe);
    EXPECT_EQ(exe, "");
}

TEST(Manifest, BoundedNameAndTags) {
    std::string name511(511, 'n');
    std::string name512(512, 'n');
    EXPECT_EQ(Parse({name511 + " 1"}).files.size(), 1u);
    EXPECT_EQ(Parse({name512 + " 1"}).files.size(), 0u);

    // A tag of 128 bytes drops itself and the tags after it.
    std::string tag127 = "SIZE:" + std::string(122, '1');
    std::string tag128(128, 't');
    FilesToPatch m = Parse({"a 1 GAME_EXE " + tag128 + " SIZE:5"});
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].tags[0], "GAME_EXE");
    EXPECT_EQ(m.files[0].tags[1], "");
    EXPECT_EQ(m.files[0].tags[2], "");
    EXPECT_FALSE(m.files[0].sizeKnown);
    EXPECT_EQ(Parse({"a 1 " + tag127}).files[0].tags[0], tag127);
}

TEST(Manifest, NulByteEndsTheLine) {
    FilesToPatch m = Parse({std::string("a.dat 2\0 GAME_EXE", 17)});
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].tags[0], "");
}

TEST(Manifest, LookupsTakeTheFirstExactTag) {
    FilesToPatch m = Parse({"first.bin 1 GAME_EXE2", "second.bin 1 Game_Exe",
                            "third.bin 1 GAME_EXE", "tc.bin 1 test_client", "second.bin 2"});
    ASSERT_EQ(m.files.size(), 5u);  // duplicates are not merged
    std::string exe;
    std::string client = "stale";
    m.GetGameExe(exe);
    m.GetTestClient(client);
    EXPECT_EQ(exe, "second.bin");
    EXPECT_EQ(client, "tc.bin");

    FilesToPatch empty;
    empty.GetTestClient(client);
    EXPECT_EQ(client, "");
}

// Object tags, in a tag's place or past the third, are read into objects;
// the tags keep what an older launcher sees; malformed ones are ignored.
TEST(Manifest, ObjectTagsAfterTheUsualOnes) {
    const std::string sha(64, 'a');
    const std::string src(32, 'b');
    const std::string zst = "ZST:900:" + sha;
    const std::string delta = "DELTA:" + src + ":120:" + sha;
    FilesToPatch manifest;
    manifest.ParseLine("a.pak 3 SIZE:1000 SHA256:" + std::string(64, 'c') + " GAME_EXE " + zst +
                       " " + delta);
    manifest.ParseLine("b.pak 2 SIZE:10 " + zst);
    manifest.ParseLine("c.pak 2 ZST:12:" + std::string(63, 'a') + " DELTA:" + src + ":x:" + sha +
                       " ZST::" + sha + " DELTA:" + std::string(31, 'b') + ":1:" + sha);
    ASSERT_EQ(manifest.files.size(), 3u);
    const FilesToPatch::File& a = manifest.files[0];
    EXPECT_EQ(a.tags[2], "GAME_EXE");
    EXPECT_EQ(a.size, 1000);
    ASSERT_EQ(a.objects.size(), 2u);
    EXPECT_EQ(ObjectTag(a.objects[0]), zst);
    EXPECT_EQ(ObjectTag(a.objects[1]), delta);
    EXPECT_EQ(a.objects[1].source, src);
    EXPECT_EQ(a.objects[1].size, 120);
    EXPECT_EQ(manifest.files[1].tags[1], zst);  // kept, and meaningless to the size
    EXPECT_EQ(manifest.files[1].size, 10);
    EXPECT_EQ(manifest.files[1].objects.size(), 1u);
    EXPECT_TRUE(manifest.files[2].objects.empty());
}
