#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

TEST(Platform, CopyFailsButReplaceSucceedsWhileTheTargetRunsAsAProgram) {
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
    // A rename leaves the running program its own file.
    WriteFile("replacement 2", "y");
    EXPECT_EQ(platform::ReplaceFileAtomically("replacement 2", "sleeper"),
              !platform::kReplaceFailsWhileTargetRuns);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(platform::CopyFileOver("replacement", "sleeper"));
}

namespace {

struct FileId {
    dev_t device;
    ino_t inode;
    mode_t mode;
};

FileId IdOf(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::stat(name.c_str(), &st), 0) << name;
    return {st.st_dev, st.st_ino, st.st_mode};
}

}  // namespace

TEST(Platform, ReplaceSwapsInTheWholeCopyAndLeavesNoTemporaryFile) {
    TestFolder folder;
    WriteFile("new.exe", "new program");
    ::chmod("new.exe", 0750);
    WriteFile("old.exe", "the old program, longer");
    // What a killed attempt leaves behind, pointing somewhere it must not write.
    TempDir elsewhere;
    const std::string victim = elsewhere.Path() + "/victim";
    WriteFile(victim, "untouched");
    ASSERT_EQ(::symlink(victim.c_str(), "old.exe.tmp"), 0);

    const FileId before = IdOf("old.exe");
    ASSERT_TRUE(platform::ReplaceFileAtomically("new.exe", "old.exe"));
    EXPECT_EQ(ReadFile("old.exe"), "new program");
    const FileId after = IdOf("old.exe");
    EXPECT_NE(after.inode, before.inode);  // a new file, renamed into place
    EXPECT_EQ(after.mode & 07777, 0750u);
    EXPECT_FALSE(FileExists("old.exe.tmp"));
    EXPECT_EQ(ReadFile(victim), "untouched");

    EXPECT_FALSE(platform::ReplaceFileAtomically("missing.exe", "old.exe"));
    MakeDirs("folder-as-source");
    EXPECT_FALSE(platform::ReplaceFileAtomically("folder-as-source", "old.exe"));
    EXPECT_EQ(ReadFile("old.exe"), "new program");
    EXPECT_FALSE(FileExists("old.exe.tmp"));
}

TEST(Platform, ReplaceThatFailsPartWayLeavesTheTargetAsItWas) {
    TestFolder folder;
    const std::string big(256 * 1024, 'n');
    WriteFile("new.exe", big);
    WriteFile("old.exe", "the old program");
    // A file-size limit stands in for a full disk: writes past it fail.
    pid_t pid = fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            64 * 1024, 64 * 1024
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        _exit(platform::ReplaceFileAtomically("new.exe", "old.exe") ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the replace reported success";
    EXPECT_EQ(ReadFile("old.exe"), "the old program");
    EXPECT_FALSE(FileExists("old.exe.tmp"));
}

TEST(Platform, StartProgramNeverChangesAFileOutsideTheFolder) {
    TestFolder folder;
    TempDir elsewhere;
    const std::string outside = elsewhere.Path() + "/prog.sh";
    WriteFile(outside, "#!/bin/sh\n");
    ::chmod(outside.c_str(), 0644);
    ASSERT_EQ(::symlink(outside.c_str(), "inside-link.sh"), 0);
    // Both temporary folders sit side by side.
    const std::string upAndOver =
        "../" + elsewhere.Path().substr(elsewhere.Path().rfind('/') + 1) + "/prog.sh";
    for (const std::string& path : {outside, std::string("inside-link.sh"), upAndOver}) {
        EXPECT_FALSE(platform::StartProgram(path)) << path;
        EXPECT_EQ(IdOf(outside).mode & 0777, 0644u) << path;
    }
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
