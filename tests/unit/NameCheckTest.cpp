// The check every manifest name passes before anything is fetched: what it
// rewrites, what it rejects, and what a stage does with a rejection. Names a
// Windows game folder cannot hold as written are rejected on every platform,
// since one manifest serves all players.

#include <gtest/gtest.h>

#include "RecordingSurface.h"
#include "TestFolder.h"
#include "fileset/FilesToPatch.h"

TEST(NameCheck, RewritesUnsafeNamesAndRejectsThem) {
    struct Case {
        const char* in;
        const char* shown;
        bool rejected;
    } cases[] = {
        // Out of the game folder, onto a drive, empty levels, bad characters.
        {"../a.dat", ".00a.dat", true},
        {"/a.dat", "0a.dat", true},
        {"C:/a.dat", "C0/a.dat", true},
        {"a//b.dat", "a/0b.dat", true},
        {"a./b.dat", "a.0b.dat", true},
        {"a/..", "a/.0", true},
        {"x<y>z?", "x0y0z0", true},
        {"\\a.dat", "0a.dat", true},
        {"a\\\\b", "a/0b", true},  // separator after a backslash: no empty levels
        {"a\\/b", "a/0b", true},
        {"data\\maps\\a.dat", "data/maps/a.dat", false},
        {".config/b.dat", ".config/b.dat", false},
        {"a/.b.dat", "a/.b.dat", false},
        {"a.b.c", "a.b.c", false},
        {"star*pipe|quote\"", "star*pipe|quote\"", false},
        // A name that would fetch another resource than itself: a fragment or
        // an escape in the URL.
        {"maps/a#b.dat", "maps/a0b.dat", true},
        {"a%23b.dat", "a023b.dat", true},
        {"%2e%2e/x", "02e02e/x", true},
        // The launcher program: rejected as written, only at the top.
        {"NoxPatch2011.exe", "NoxPatch2011.exe", true},
        {"noxpatch2011.EXE", "noxpatch2011.EXE", true},
        {"bin/NoxPatch2011.exe", "bin/NoxPatch2011.exe", false},
        {"NoxPatch2011_new.exe", "NoxPatch2011_new.exe", false},
        // Device names at any level, and levels ending in a dot or a blank.
        {"CON", "0ON", true},
        {"aux.dat", "0ux.dat", true},
        {"NUL.txt", "0UL.txt", true},
        {"Nul .tar.gz", "0ul .tar.gz", true},  // blanks before the dot do not count
        {"data/com1.bin", "data/0om1.bin", true},
        {"LPT9", "0PT9", true},
        {"COM\xB9.dat", "0OM\xB9.dat", true},
        {"conout$", "0onout$", true},
        {"prn/readme.txt", "0rn/readme.txt", true},    // a folder level too
        {"data\\CON\\x.bin", "data/0ON/x.bin", true},  // after the separator rewrite
        {"readme.", "readme0", true},
        {"notes.txt ", "notes.txt0", true},
        {"maps /a.dat", "maps0/a.dat", true},
        {"a/.", "a/0", true},
        {"aux. ", "0ux.0", true},
        // Names that only resemble devices.
        {"console.dat", "console.dat", false},
        {"com10.dat", "com10.dat", false},
        {"lpt.txt", "lpt.txt", false},
        {"data/connect.txt", "data/connect.txt", false},
        {"auxiliary", "auxiliary", false},
        {"nul_/a.dat", "nul_/a.dat", false},
        {"COMX", "COMX", false},
        {"my con.txt", "my con.txt", false},
        {".config/a.b", ".config/a.b", false},
        {"a b/c d.dat", "a b/c d.dat", false},
    };
    for (const Case& c : cases) {
        FilesToPatch::File file;
        file.name = c.in;
        file.CheckName();
        EXPECT_EQ(file.name, c.shown) << c.in;
        EXPECT_EQ(file.rejected, c.rejected) << c.in;
    }
}

TEST(NameCheck, StageShowsABoxPerRejectionAndCreatesFoldersOfTheRest) {
    TestFolder folder;
    RecordingSurface surface;
    g_patchDialog = &surface;
    FilesToPatch m;
    m.ParseLine("../evil.dat 1");
    m.ParseLine("data\\maps\\a.dat 1");
    m.ParseLine("C:/x.dat 1");
    m.ParseLine("top.dat 1");
    m.CheckFileNames();

    ASSERT_EQ(surface.boxes.size(), 2u);
    EXPECT_EQ(surface.boxes[0].caption, "DEBUG: Filename Security Violation");
    EXPECT_EQ(surface.boxes[0].text, ".00evil.dat");
    EXPECT_EQ(surface.boxes[1].text, "C0/x.dat");
    EXPECT_TRUE(FileExists("data/maps"));
    EXPECT_FALSE(FileExists("data/maps/a.dat"));  // the file itself is not made
    EXPECT_FALSE(FileExists("C0"));
    EXPECT_FALSE(FileExists("../evil.dat"));
}
