// The state files and the folder stage on Windows: the bytes written, and
// manifest folders that differ only in letter case.

#include <gtest/gtest.h>

#include <vector>

#include "TestFolder.h"
#include "fileset/FilesToPatch.h"
#include "patch/RunSurface.h"
#include "state/FileVersionFile.h"
#include "state/LocalFiles.h"
#include "state/OptionsFile.h"

namespace {

// Keeps the boxes a stage shows; the name check needs nothing else.
struct BoxSurface : RunSurface {
    void SetStageText(const std::string&) override {}
    void SetStatusText(const std::string&) override {}
    void SetProgressRange(int64_t, int64_t) override {}
    void SetProgressPos(int64_t) override {}
    void ShowMessageBox(const std::string&, const std::string& text) override {
        boxes.push_back(text);
    }
    void RunFinished(bool) override {}
    std::vector<std::string> boxes;
};

}  // namespace

// The local files are written byte for byte, as on POSIX: the server's text
// files keep their bytes, and the ledger and options have "\n" line ends,
// which every reader takes as it takes "\r\n".
TEST(StateFilesWin32, LocalFilesKeepTheirBytesAndLedgerLoadsBackUnchanged) {
    TestFolder folder;
    ASSERT_TRUE(ReplaceFileContents("current2.txt", "a.dat 1\r\nb.dat 2\n"));
    EXPECT_EQ(ReadFile("current2.txt"), "a.dat 1\r\nb.dat 2\n");

    WriteFile("file_versions.txt", "a.dat 1\nData/b.dat -2\r\n");
    {
        FileVersionFile ledger;
        g_fileVersionFile = &ledger;
        FileVersionFile::SetVersion("c.dat", 3);
        g_fileVersionFile = nullptr;
    }
    EXPECT_EQ(ReadFile("file_versions.txt"), "a.dat 1\nData/b.dat -2\nc.dat 3\n");

    FileVersionFile ledger;
    g_fileVersionFile = &ledger;
    EXPECT_TRUE(FileVersionFile::HasVersion("Data/b.dat", -2));
    EXPECT_TRUE(FileVersionFile::HasVersion("c.dat", 3));
    // The ledger keeps letter case although the folder does not.
    EXPECT_FALSE(FileVersionFile::HasVersion("DATA/b.dat", -2));
    g_fileVersionFile = nullptr;
    EXPECT_EQ(ledger.Entries().size(), 3u);
}

TEST(StateFilesWin32, OptionsAreSavedAndReadBack) {
    TestFolder folder;
    {
        OptionsFile options;
        options.autoPlay = true;
        options.autoDownload = false;
    }
    EXPECT_EQ(ReadFile("NoxPatch2011_Options.cfg"), "AUTOPLAY\nNOAUTODOWNLOAD\n");
    OptionsFile options;
    EXPECT_TRUE(options.autoPlay);
    EXPECT_FALSE(options.autoDownload);
}

TEST(StateFilesWin32, FoldersThatDifferInCaseAreOneFolderAndReservedNamesAreNotMade) {
    TestFolder folder;
    BoxSurface surface;
    g_patchDialog = &surface;
    FilesToPatch manifest;
    manifest.ParseLine("Data/Maps/a.dat 1");
    manifest.ParseLine("DATA\\maps\\b.dat 1");
    manifest.ParseLine("aux/c.dat 1");
    manifest.ParseLine("logs./d.dat 1");
    manifest.CheckFileNames();
    g_patchDialog = nullptr;

    EXPECT_EQ(surface.boxes, (std::vector<std::string>{"0ux/c.dat", "logs.0d.dat"}));
    WriteFile("data/maps/x.dat", "");
    EXPECT_TRUE(FileExists("Data/Maps/x.dat"));
    EXPECT_FALSE(FileExists("logs"));
    EXPECT_FALSE(FileExists("0ux"));
}
