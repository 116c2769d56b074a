#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestFolder.h"
#include "platform/Platform.h"

TEST(Platform, SizeOfExistingFilesOnly) {
    TestFolder folder;
    WriteFile("a.dat", "12345");
    EXPECT_EQ(platform::OpenExistingForReadSize("a.dat"), 5);
    EXPECT_FALSE(platform::OpenExistingForReadSize("missing.dat"));
    EXPECT_FALSE(FileExists("missing.dat"));  // never created by asking
    MakeDirs("dir");
    EXPECT_FALSE(platform::OpenExistingForReadSize("dir"));
}

TEST(Platform, CopyOverwritesInPlaceWithTheSourcePermissions) {
    TestFolder folder;
    WriteFile("new.exe", "new program");
    ::chmod("new.exe", 0755);
    WriteFile("old.exe", "the old program, longer");
    struct stat before {};
    ::stat("old.exe", &before);
    ASSERT_TRUE(platform::CopyFileOver("new.exe", "old.exe"));
    EXPECT_EQ(ReadFile("old.exe"), "new program");
    struct stat after {};
    ::stat("old.exe", &after);
    EXPECT_EQ(after.st_ino, before.st_ino);  // same file, not a replacement
    EXPECT_EQ(after.st_mode & 0777, 0755u);
    EXPECT_FALSE(platform::CopyFileOver("missing.exe", "old.exe"));
    EXPECT_EQ(ReadFile("old.exe"), "new program");
}

TEST(Platform, CopyFailsWhileTheTargetRunsAsAProgram) {
    TestFolder folder;
    WriteFile("sleeper", "#!/bin/sh\nsleep 5\n");
    // A shell script is not held busy by the kernel; a copy of a real binary is.
    ASSERT_TRUE(platform::CopyFileOver("/bin/sleep", "sleeper"));
    pid_t pid = fork();
    if (pid == 0) {
        execl("./sleeper", "sleeper", "5", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    WriteFile("replacement", "x");
    EXPECT_FALSE(platform::CopyFileOver("replacement", "sleeper"));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(platform::CopyFileOver("replacement", "sleeper"));
}

TEST(Platform, StartProgramResolvesAgainstTheFolderAndAddsExecutePermission) {
    TestFolder folder;
    WriteFile("game.sh", "#!/bin/sh\npwd > ran.txt\n");
    ::chmod("game.sh", 0644);  // as a download leaves it
    auto pid = platform::StartProgram("game.sh");
    ASSERT_TRUE(pid);
    int status = 0;
    waitpid(*pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile("ran.txt"), folder.Path() + "\n");

    EXPECT_FALSE(platform::StartProgram("missing.exe"));
    EXPECT_FALSE(platform::StartProgram(""));
    EXPECT_FALSE(platform::StartProgram("sh"));  // never searched on PATH
}

TEST(Platform, FolderCreationAcceptsExistingFolders) {
    TestFolder folder;
    EXPECT_TRUE(platform::CreateFolder("d"));
    EXPECT_TRUE(platform::CreateFolder("d"));
    WriteFile("f", "");
    EXPECT_FALSE(platform::CreateFolder("f"));
    EXPECT_TRUE(platform::CreateEmptyFile("marker.txt"));
    EXPECT_TRUE(platform::DeleteFileByName("marker.txt"));
    EXPECT_FALSE(platform::DeleteFileByName("marker.txt"));
}
