// The launcher's own files: which names they are, and that replacing one
// never leaves it cut short, whatever happens during the save.
// The kill during a save and the full disks need fork, rlimits and a mount
// of their own: POSIX only; the rest runs on Windows too.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "SmallDisk.h"
#endif

#include <cctype>
#include <filesystem>
#include <iterator>

#include "TestFolder.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "platform/Platform.h"
#include "state/FileVersionFile.h"
#include "state/LocalFiles.h"
#include "state/OptionsFile.h"
#include "state/TextFile.h"

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Only the named files, no temporary file beside them.
size_t FilesInFolder() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("."))
        ++n;
    return n;
}

}  // namespace

TEST(LocalFiles, OwnNamesInAnyCaseWithWhatWindowsOrTheLauncherAddsAndStagingNames) {
    // Spelled out, not taken from the launcher's list: a name dropped from it
    // would let a manifest entry overwrite that file.
    const char* const own[] = {"patch_server_address.txt",
                               "build_folder.txt",
                               "current2.txt",
                               "file_versions.txt",
                               "NoxPatch2011_Options.cfg",
                               "windowed_mode.txt",
                               "NoxPatch2011_updating.txt",
                               "NoxPatch2011_was_restarted.txt",
                               "build_statement.txt",
                               "trusted_serial.txt",
                               "NoxPatch2011_Settings.cfg",
                               "NoxPatch2011.exe.tmp",
                               "build_keys.txt",
                               "verified_files.txt"};
    // And no other: a game file on the list could never be updated.
    EXPECT_EQ(kLauncherLocalFileCount, std::size(own));
    for (const std::string name : own) {
        for (const std::string& variant :
             {name, Upper(name), name + ".", name + "..", TemporaryNameFor(name),
              Upper(TemporaryNameFor(name)), name + "/x", Upper(name) + "\\x", name + "./x/y"})
            EXPECT_TRUE(IsLauncherLocalFile(variant)) << variant;
        // Rejected as the manifest spells it, like the launcher program.
        for (const std::string& variant : {name, Upper(name)}) {
            FilesToPatch::File file;
            file.name = variant;
            file.CheckName();
            EXPECT_TRUE(file.rejected) << variant;
            EXPECT_EQ(file.name, variant);
        }
    }
    // A staging file at any level, and any level ending in the suffix.
    for (const char* name : {"a.dat.77.lvpart", "data/maps/a.dat.77.LVPART", "maps.LvPart/a.dat",
                             "data\\b.lvpart\\c.dat", ".lvpart"})
        EXPECT_TRUE(IsLauncherLocalFile(name)) << name;
    for (const char* name :
         {"sub/current2.txt", "sub\\current2.txt", "current2.txt2", "xcurrent2.txt",
          "NoxPatch2011_new.exe", "NoxOptions.exe", "NoxPatch2011.exe", "file_versions", "",
          "keep.lvpart.txt", "data/a.lvpar", "lvpart"})
        EXPECT_FALSE(IsLauncherLocalFile(name)) << name;
}

TEST(LocalFiles, AReplacementIsWholeOrNothing) {
    TestFolder folder;
    EXPECT_TRUE(ReplaceFileContents("a.txt", "first"));
    EXPECT_TRUE(ReplaceFileContents("a.txt", "second"));
    EXPECT_EQ(ReadFile("a.txt"), "second");
    {
        ReplacementFile dropped("a.txt");
        ASSERT_TRUE(dropped.Write("never committed"));
    }
    EXPECT_EQ(ReadFile("a.txt"), "second");
#ifndef _WIN32
    {
        FileSizeLimit full(4);
        EXPECT_FALSE(ReplaceFileContents("a.txt", "more than four bytes"));
    }
    EXPECT_EQ(ReadFile("a.txt"), "second");
#endif

    // Marked read-only by the player: kept, even where the launcher could
    // replace it.
    namespace fs = std::filesystem;
    fs::permissions("a.txt",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(ReplaceFileContents("a.txt", "third"));
    EXPECT_EQ(ReadFile("a.txt"), "second");
    EXPECT_EQ(FilesInFolder(), 1u);
}

#ifndef _WIN32
TEST(LocalFiles, TheLedgerSurvivesAKillDuringItsSave) {
    TestFolder folder;
    const std::string previous = "old.dat 1\n";
    WriteFile(FileVersionFile::kFileName, previous);
    std::string saved = previous;
    for (int i = 0; i < 200000; ++i)
        saved += "data/folder/some_long_file_name_" + std::to_string(i) + ".pak 7\n";

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Saves the same large ledger over and over until it is killed.
        for (;;) {
            g_fileVersionFile = new FileVersionFile();
            for (int i = 0; i < 200000; ++i)
                FileVersionFile::SetVersion(
                    "data/folder/some_long_file_name_" + std::to_string(i) + ".pak", 7);
            delete g_fileVersionFile;
        }
    }
    // Kill it while it writes: once its temporary file has bytes in it.
    const std::string temporary =
        FileVersionFile::kFileName + std::string(".") + std::to_string(child) + ".tmp";
    for (int polls = 0; polls < 100000; ++polls) {
        std::optional<int64_t> size = platform::OpenExistingForReadSize(temporary);
        if (size && *size > 0)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string after = ReadFile(FileVersionFile::kFileName);
    EXPECT_TRUE(after == previous || after == saved)
        << "a ledger of " << after.size() << " bytes, cut during its save";

    // What the killed launcher left is removed by the next one; a running
    // launcher's temporary files and files that are not the launcher's stay.
    const std::string dead = "." + std::to_string(child) + ".tmp";
    const std::string running = "." + std::to_string(::getppid()) + ".tmp";
    WriteFile(std::string(kManifestFileName) + ".unverified" + dead, "staged");
    WriteFile(std::string(kManifestFileName) + running, "another launcher's");
    WriteFile("game.dat" + dead, "a game file");
    WriteFile(TemporaryNameFor(OptionsFile::kFileName), "this process's");
    RemoveStaleTemporaryFiles();
    EXPECT_FALSE(FileExists(temporary));
    EXPECT_FALSE(FileExists(std::string(kManifestFileName) + ".unverified" + dead));
    EXPECT_TRUE(FileExists(std::string(kManifestFileName) + running));
    EXPECT_TRUE(FileExists("game.dat" + dead));
    EXPECT_TRUE(FileExists(TemporaryNameFor(OptionsFile::kFileName)));
}

TEST(LocalFiles, LedgerAndOptionsSurviveAFullDisk) {
    TestFolder folder;
    WriteFile(FileVersionFile::kFileName, "old.dat 1\n");
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD\nAUTOPLAY\n");
    {
        FileSizeLimit full(6);
        g_fileVersionFile = new FileVersionFile();
        FileVersionFile::SetVersion("new.dat", 2);
        delete g_fileVersionFile;
        g_fileVersionFile = nullptr;
        OptionsFile options;  // saves the same values in another layout
    }
    EXPECT_EQ(ReadFile(FileVersionFile::kFileName), "old.dat 1\n");
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "NOAUTODOWNLOAD\nAUTOPLAY\n");
    EXPECT_EQ(FilesInFolder(), 2u);

    SmallDisk disk(64 << 10);
    if (!disk.Mounted())
        return;
    WriteFile(FileVersionFile::kFileName, "old.dat 1\n");
    FillDisk("filler");
    g_fileVersionFile = new FileVersionFile();
    for (int i = 0; i < 1000; ++i)
        FileVersionFile::SetVersion("file_" + std::to_string(i) + ".dat", i);
    delete g_fileVersionFile;
    g_fileVersionFile = nullptr;
    EXPECT_EQ(ReadFile(FileVersionFile::kFileName), "old.dat 1\n");
    EXPECT_EQ(FilesInFolder(), 2u);
}

TEST(LocalFiles, FreeBytesFollowsWhatIsWritten) {
    EXPECT_FALSE(platform::FreeBytes("/no/such/folder").has_value());
    SmallDisk disk(1 << 20);
    if (!disk.Mounted())
        GTEST_SKIP() << "no right to mount a small file system here";
    std::optional<int64_t> before = platform::FreeBytes(".");
    ASSERT_TRUE(before.has_value());
    EXPECT_LE(*before, 1 << 20);
    WriteFile("a.dat", std::string(200000, 'a'));
    std::optional<int64_t> after = platform::FreeBytes(".");
    ASSERT_TRUE(after.has_value());
    EXPECT_LE(*after, *before - 200000);
}
#endif

TEST(TextFile, LinesAcrossReadBlocksAndLimits) {
    TestFolder folder;
    const std::string longLine(70000, 'l');  // crosses the 64 KiB read block
    WriteFile("lines.txt", "a\r\n\n" + longLine + "\nlast");
    std::vector<std::string> lines;
    EXPECT_TRUE(ForEachLine("lines.txt", [&](const std::string& line) { lines.push_back(line); }));
    EXPECT_EQ(lines, (std::vector<std::string>{"a\r", "", longLine, "last"}));

    lines.clear();
    EXPECT_FALSE(ForEachLine(
        "lines.txt", [&](const std::string& line) { lines.push_back(line); }, 1000));
    EXPECT_TRUE(lines.empty());

    std::string first;
    EXPECT_TRUE(ReadFirstLine("lines.txt", 10, &first));
    EXPECT_EQ(first, "a\r");
    WriteFile("one.txt", longLine);
    EXPECT_FALSE(ReadFirstLine("one.txt", 1000, &first));
    WriteFile("empty.txt", "");
    EXPECT_FALSE(ReadFirstLine("empty.txt", 10, &first));
}

TEST(TextFile, TheFirstLineOfAHugeFileIsReadWithoutTheRest) {
    TestFolder folder;
    // Sparse: 8 GiB on paper, a few bytes on the disk. Reading it whole
    // would need 8 GiB of memory.
    WriteFile("build_folder.txt", "build_2/\n");
    std::filesystem::resize_file("build_folder.txt", uint64_t{8} << 30);
    std::string line;
    EXPECT_TRUE(ReadFirstLine("build_folder.txt", 1 << 16, &line));
    EXPECT_EQ(line, "build_2/");
    int lines = 0;
    EXPECT_FALSE(ForEachLine(
        "build_folder.txt", [&](const std::string&) { ++lines; }, int64_t{256} << 20));
    EXPECT_EQ(lines, 0);
}
