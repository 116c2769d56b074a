#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NameRules.h"

using lvpublish::BuildFolderProblem;
using lvpublish::CaseCollision;
using lvpublish::NameProblem;
using ::testing::HasSubstr;

TEST(PublishNames, NamesEveryPlayerCanReceive) {
    for (const char* name :
         {"game.exe", "data/maps/a.dat", ".config/b.dat", "a/.b.dat", "sub/NoxPatch2011.exe",
          "NoxPatch2011_new.exe", "NoxOptions.exe", "data/console.dat",
          "sub/patch_server_address.txt", "a+b=c&d;e.dat", "sub/current2.txt"})
        EXPECT_EQ(NameProblem(name), "") << name;
    EXPECT_EQ(NameProblem(std::string(511, 'n')), "");
}

TEST(PublishNames, RefusesWhatWouldBreakAPatchRunWithTheRuleThatApplies) {
    struct Case {
        std::string name;
        const char* rule;
    } cases[] = {
        {"NoxPatch2011.exe", "NoxPatch2011_new.exe"},
        {"noxpatch2011.EXE", "NoxPatch2011_new.exe"},
        {"a b.dat", "white space"},
        {"a\tb.dat", "white space"},
        {"a\\b.dat", "backslash"},
        {"../a.dat", "name check"},
        {"a/../b.dat", "name check"},
        {"a./b.dat", "name check"},
        {"C:/a.dat", "name check"},
        {"a<b.dat", "name check"},
        {"what?.dat", "name check"},
        {"a#b.dat", "URL"},
        {"a%20b.dat", "URL"},
        {"a*b.dat", "Windows"},
        {"a|b.dat", "Windows"},
        {"a\"b.dat", "Windows"},
        {std::string("a\x01") + "b.dat", "Windows"},
        {"data/CON", "device name"},
        {"aux.txt", "device name"},
        {"lpt1/x.dat", "device name"},
        {"data/.lvpublish-copies", "do not serve"},
        {"current2.txt", "current2.txt"},
        {"Build_Folder.TXT", "build_folder.txt"},
        {"file_versions.txt", "file_versions.txt"},
        {"NoxPatch2011_updating.txt", "NoxPatch2011_updating.txt"},
        {"windowed_mode.txt", "windowed_mode.txt"},
        {"patch_server_address.txt", "patch_server_address.txt"},
        {"noxpatch2011_options.CFG", "NoxPatch2011_Options.cfg"},
        {"NoxPatch2011_was_restarted.txt", "NoxPatch2011_was_restarted.txt"},
        {"current2.txt.", "current2.txt"},
        {"file_versions.txt.123.tmp", "file_versions.txt"},
        {std::string(512, 'n'), "511"},
        {"", "empty"},
    };
    for (const Case& c : cases)
        EXPECT_THAT(NameProblem(c.name), HasSubstr(c.rule)) << c.name;
}

TEST(PublishNames, BuildFolders) {
    for (const char* folder : {"build_1/", "release-2024.06/", "B/"})
        EXPECT_EQ(BuildFolderProblem(folder), "") << folder;
    for (const char* folder : {"", "/", "build_1", "../x/", "./", "a/b/", "a b/", ".hidden/"})
        EXPECT_NE(BuildFolderProblem(folder), "") << folder;
}

TEST(PublishNames, CaseCollisionsOfFilesAndFolders) {
    // Folders that differ in case are one folder on Windows: harmless.
    EXPECT_EQ(CaseCollision({"Maps/a.dat", "maps/b.dat", "x/y/z.dat", "X/Y/w.dat"}), "");
    EXPECT_EQ(CaseCollision({"Data.pak", "data.pak"}), "Data.pak and data.pak");
    EXPECT_EQ(CaseCollision({"Maps/a.dat", "maps/A.dat"}), "Maps/a.dat and maps/A.dat");
    EXPECT_EQ(CaseCollision({"music", "MUSIC/theme.ogg"}), "music and MUSIC/");
    // Windows drops a level's trailing dots and spaces as well.
    EXPECT_EQ(CaseCollision({"a", "a."}), "a and a.");
    EXPECT_EQ(CaseCollision({"maps/a.dat", "Maps/A.dat.."}), "maps/a.dat and Maps/A.dat..");
    EXPECT_EQ(CaseCollision({"docs", "DOCS./readme.txt"}), "docs and DOCS./");
    EXPECT_EQ(CaseCollision({"a.b", "a.c", "a"}), "");
}
