#include <gtest/gtest.h>

#include "RecordingSurface.h"
#include "TestFolder.h"
#include "fileset/FilesToPatch.h"

namespace {

struct Checked {
    std::string name;
    bool rejected;
};

Checked Check(const std::string& name) {
    FilesToPatch::File file;
    file.name = name;
    file.CheckName();
    return {file.name, file.rejected};
}

}  // namespace

TEST(NameCheck, RewritesUnsafeNamesAndRejectsThem) {
    struct Case {
        const char* in;
        const char* shown;
        bool rejected;
    } cases[] = {
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
    };
    for (const Case& c : cases) {
        Checked result = Check(c.in);
        EXPECT_EQ(result.name, c.shown) << c.in;
        EXPECT_EQ(result.rejected, c.rejected) << c.in;
    }
}

TEST(NameCheck, LauncherProgramIsRejectedOnlyAtTheTop) {
    EXPECT_TRUE(Check("NoxPatch2011.exe").rejected);
    EXPECT_EQ(Check("noxpatch2011.EXE").name, "noxpatch2011.EXE");
    EXPECT_TRUE(Check("noxpatch2011.EXE").rejected);
    EXPECT_FALSE(Check("bin/NoxPatch2011.exe").rejected);
    EXPECT_FALSE(Check("NoxPatch2011_new.exe").rejected);
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
