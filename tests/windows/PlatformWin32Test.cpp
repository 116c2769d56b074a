// The Win32 platform layer on files and folders, where Windows differs from
// POSIX: sharing modes, 64-bit sizes, letter case, separators.

#include <gtest/gtest.h>
#include <windows.h>

#include "TestFolder.h"
#include "Win32TestSupport.h"

namespace {

// An open handle on `name` with the given access and sharing, for the test's
// lifetime.
struct HeldOpen {
    HeldOpen(const char* name, DWORD access, DWORD share)
        : handle(::CreateFileA(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldOpen() { ::CloseHandle(handle); }
    HANDLE handle;
};

}  // namespace

TEST(PlatformWin32, SizesAreSixtyFourBitAndOnlyOfFilesThatExist) {
    TestFolder folder;
    WriteFile("a.dat", "12345");
    EXPECT_EQ(platform::OpenExistingForReadSize("a.dat"), 5);
    EXPECT_TRUE(platform::CanOpenForRead("a.dat"));
    EXPECT_FALSE(platform::OpenExistingForReadSize("missing.dat"));
    EXPECT_FALSE(platform::CanOpenForRead("missing.dat"));
    EXPECT_FALSE(FileExists("missing.dat"));  // never created by asking
    MakeDirs("dir");
    EXPECT_FALSE(platform::OpenExistingForReadSize("dir"));

    // 5 GiB without writing them: the high half of the size must arrive.
    HANDLE big = ::CreateFileA("big.dat", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(big, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end{};
    end.QuadPart = 5LL << 30;
    ASSERT_TRUE(::SetFilePointerEx(big, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(big));
    ::CloseHandle(big);
    EXPECT_EQ(platform::OpenExistingForReadSize("big.dat"), 5LL << 30);
}

TEST(PlatformWin32, ReadersShareAFileButOneBeingWrittenDoesNotOpen) {
    TestFolder folder;
    WriteFile("a.dat", "12345");
    {
        HeldOpen reader("a.dat", GENERIC_READ, FILE_SHARE_READ);
        EXPECT_EQ(platform::OpenExistingForReadSize("a.dat"), 5);
    }
    {
        HeldOpen writer("a.dat", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_FALSE(platform::OpenExistingForReadSize("a.dat"));
        EXPECT_FALSE(platform::CanOpenForRead("a.dat"));
    }
    EXPECT_TRUE(platform::CanOpenForRead("a.dat"));
}

TEST(PlatformWin32, FoldersIgnoreLetterCaseAndEitherSeparatorWorks) {
    TestFolder folder;
    EXPECT_TRUE(platform::CreateFolder("Data"));
    EXPECT_TRUE(platform::CreateFolder("DATA"));  // the same folder
    EXPECT_TRUE(platform::CreateFolder("data/Maps"));
    EXPECT_TRUE(platform::CreateFolder("DATA\\maps"));
    WriteFile("data/maps/a.dat", "abc");
    EXPECT_EQ(platform::OpenExistingForReadSize("Data\\MAPS\\A.DAT"), 3);
    WriteFile("f", "");
    EXPECT_FALSE(platform::CreateFolder("F"));  // a file is in the way
    EXPECT_FALSE(platform::CreateFolder("missing/sub"));
}

TEST(PlatformWin32, EmptyFilesTruncateAndDeletionReportsWhatHappened) {
    TestFolder folder;
    WriteFile("marker.txt", "old contents");
    EXPECT_TRUE(platform::CreateEmptyFile("marker.txt"));
    EXPECT_EQ(ReadFile("marker.txt"), "");
    EXPECT_TRUE(platform::DeleteFileByName("MARKER.TXT"));
    EXPECT_FALSE(platform::DeleteFileByName("marker.txt"));
    EXPECT_FALSE(platform::CreateEmptyFile("missing/marker.txt"));

    // A read-only file is not deleted, unlike a POSIX unlink in a writable
    // folder.
    WriteFile("kept.txt", "x");
    ::SetFileAttributesA("kept.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(platform::DeleteFileByName("kept.txt"));
    ::SetFileAttributesA("kept.txt", FILE_ATTRIBUTE_NORMAL);
}

TEST(PlatformWin32, OwnPathNamesThisProgramAndBaseNameTakesEitherSeparator) {
    const std::string self = platform::OwnProgramPath();
    ASSERT_GT(self.size(), 3u);
    EXPECT_EQ(self[1], ':');  // absolute, with its drive
    EXPECT_EQ(platform::BaseName(self), "windows_tests.exe");
    EXPECT_EQ(platform::BaseName("C:\\Games\\Vale\\NoxPatch2011_new.exe"), "NoxPatch2011_new.exe");
    EXPECT_EQ(platform::BaseName("bin/game.exe"), "game.exe");
    EXPECT_EQ(platform::BaseName("C:game.exe"), "game.exe");
    EXPECT_EQ(platform::BaseName("game.exe"), "game.exe");
}

TEST(PlatformWin32, SocketsStartAndFreeSpaceIsKnownForFoldersOnly) {
    EXPECT_TRUE(platform::StartSockets());
    TestFolder folder;
    std::optional<int64_t> free = platform::FreeBytes(".");
    ASSERT_TRUE(free);
    EXPECT_GT(*free, 0);
    EXPECT_FALSE(platform::FreeBytes("missing-folder"));
}
