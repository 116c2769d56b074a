#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kLvpatch = LVPATCH_PATH;

}  // namespace

TEST(Lvpatch, PatchesAFolderAndReportsTheGameProgram) {
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"game.bin", std::string(400000, 'g'), 1, "GAME_EXE"},
                               {"tc.bin", "tc", 1, "TEST_CLIENT"},
                               {"nosize.dat", "SIZE-QUERY-BODY", 1, "", false}});
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");

    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Not a terminal: one line per new text, no live bar.
    EXPECT_THAT(run.out, HasSubstr("Checking for game updates...\n"));
    EXPECT_THAT(run.out, HasSubstr("Downloading files...\n"));
    EXPECT_THAT(run.out, HasSubstr("Downloading updates to game:  0.1 of 0.4 MB complete\n"));
    EXPECT_THAT(run.out, HasSubstr("You may now click Play to enter the game.\n"));
    EXPECT_THAT(run.out, HasSubstr("game: game.bin\ntest client: tc.bin\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("\r")));
    EXPECT_THAT(run.out, Not(HasSubstr("SIZE-QUERY-BODY")));  // size queries print nothing
    EXPECT_EQ(ReadFile(game.Path() + "/game.bin"), std::string(400000, 'g'));
}

TEST(Lvpatch, FailedRunExitsOneWithTheMessageOnStandardError) {
    TempDir root;
    MakeDirs(root.Path() + "/lanternvale_patch");
    TempDir game;
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");
    ProcessResult run = RunProcess({kLvpatch}, game.Path());  // the current folder by default
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr("[Patch Server Unavailable]\nBefore you can play this game"));
    EXPECT_THAT(run.out, Not(HasSubstr("game:")));
    EXPECT_TRUE(FileExists(game.Path() + "/file_versions.txt"));
}

TEST(Lvpatch, UsageErrorsExitTwo) {
    ProcessResult missing = RunProcess({kLvpatch, "--dir", "/nonexistent/folder"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot enter game folder '/nonexistent/folder'"));

    ProcessResult unknown = RunProcess({kLvpatch, "--bogus"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_THAT(unknown.err, HasSubstr("unexpected argument '--bogus'"));

    ProcessResult help = RunProcess({kLvpatch, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: lvpatch [--dir GAME_FOLDER]"));
}

TEST(Lvpatch, OnATerminalOneLiveLineShowsTheProgress) {
    if (::access("/usr/bin/script", X_OK) != 0)
        GTEST_SKIP() << "script(1) is needed to give lvpatch a terminal";
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"game.bin", std::string(3 << 20, 'g'), 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");
    ProcessResult run =
        RunProcess({"/usr/bin/script", "-qec", kLvpatch + " --dir " + game.Path(), "/dev/null"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    // Redrawn in place: carriage return and erase-line, then the bar and byte
    // counts, which a narrow terminal must not cut off, then the stage text.
    EXPECT_THAT(run.out,
                ::testing::ContainsRegex(
                    "\r\033\\[K\\[[#-]{20}\\] [0-9.]+ (KiB|MiB) of 3\\.0 MiB  Downloading"));
    // No bar before the run knows what it will download.
    EXPECT_THAT(run.out, HasSubstr("\r\033[KChecking files...\r"));
    EXPECT_THAT(run.out, HasSubstr("game: game.bin"));
}
