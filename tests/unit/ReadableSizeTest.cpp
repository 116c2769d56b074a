// The up-to-date check's local questions, answered more cheaply than by
// opening every file and creating every entry's folders: the answers must be
// those the opens and the folder creation give.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "RecordingSurface.h"
#include "TestFolder.h"
#include "fileset/FilesToPatch.h"
#include "platform/ReadableSize.h"
#include "platform/Platform.h"

namespace {

constexpr uid_t kOtherUser = 65534;

// Every kind of name the selection and the verification meet.
std::vector<std::string> MakeCases() {
    WriteFile("plain.dat", "12345");
    WriteFile("empty.dat", "");
    MakeDirs("folder");
    ::symlink("plain.dat", "link.dat");
    ::symlink("missing.dat", "dangling.dat");
    WriteFile("unreadable.dat", "abc");
    ::chmod("unreadable.dat", 0);
    WriteFile("owner-only.dat", "abcd");
    ::chmod("owner-only.dat", 0600);
    WriteFile("sparse.dat", "");
    ::truncate("sparse.dat", int64_t{5} << 30);  // beyond 32 bits
    if (::geteuid() == 0) {
        // Files of another owner: only opening tells who may read them.
        WriteFile("theirs-private.dat", "xy");
        ::chown("theirs-private.dat", kOtherUser, kOtherUser);
        ::chmod("theirs-private.dat", 0600);
        WriteFile("theirs-shared.dat", "xyz");
        ::chown("theirs-shared.dat", kOtherUser, kOtherUser);
        ::chmod("theirs-shared.dat", 0644);
        WriteFile("mine-as-nobody.dat", "x");
        ::chmod("mine-as-nobody.dat", 0);
        ::chown("mine-as-nobody.dat", kOtherUser, kOtherUser);
    }
    return {"plain.dat",          "empty.dat",         "missing.dat",        "folder",
            "link.dat",           "dangling.dat",      "plain.dat/under",    "unreadable.dat",
            "owner-only.dat",     "sparse.dat",        "theirs-private.dat", "theirs-shared.dat",
            "mine-as-nobody.dat", "folder/missing.dat"};
}

void ExpectSameAnswersAsOpening(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        EXPECT_EQ(ReadableFileSize(name), platform::OpenExistingForReadSize(name)) << name;
}

}  // namespace

TEST(ReadableSize, ReadableSizeAnswersAsOpeningDoes) {
    TestFolder folder;
    const std::vector<std::string> names = MakeCases();
    EXPECT_EQ(ReadableFileSize("plain.dat"), 5);
    EXPECT_EQ(ReadableFileSize("sparse.dat"), int64_t{5} << 30);
    EXPECT_FALSE(ReadableFileSize("folder"));
    ExpectSameAnswersAsOpening(names);

    if (::geteuid() != 0)
        return;
    // And for a user who owns some of the files but may not read them, and
    // may read others only through the group and other bits.
    ::chmod(".", 0755);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0)
            ::_exit(2);
        bool same = true;
        for (const std::string& name : names)
            same = same && ReadableFileSize(name) == platform::OpenExistingForReadSize(name);
        // The owner's read bit is clear: the cheap answer must not claim it.
        same = same && !ReadableFileSize("mine-as-nobody.dat");
        ::_exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The stage creates each folder once but still every level of every path,
// in whatever order the manifest names them, and tries a folder that could
// not be created again for a later entry.
TEST(ReadableSize, CheckFileNamesCreatesEveryLevelOnceWhateverTheOrder) {
    TestFolder folder;
    RecordingSurface surface;
    g_patchDialog = &surface;
    FilesToPatch m;
    m.ParseLine("deep/y.dat 1");
    m.ParseLine("deep/er/x.dat 1");
    m.ParseLine("deep/er/est/z.dat 1");
    m.ParseLine("other/a.dat 1");
    m.ParseLine("blocked/a.dat 1");
    WriteFile("blocked", "a file where a folder should be");
    m.CheckFileNames();
    for (const char* made : {"deep", "deep/er", "deep/er/est", "other"}) {
        struct stat st {};
        EXPECT_TRUE(::stat(made, &st) == 0 && S_ISDIR(st.st_mode)) << made;
    }
    EXPECT_EQ(ReadFile("blocked"), "a file where a folder should be");

    // Once the obstacle is gone, a later entry of the same stage makes it.
    FilesToPatch again;
    again.ParseLine("blocked/a.dat 1");
    again.ParseLine("blocked/b.dat 1");
    std::unordered_set<std::string> made;
    again.files[0].CreateFolders(made);
    EXPECT_EQ(made.count("blocked"), 0u);
    ::unlink("blocked");
    again.files[1].CreateFolders(made);
    struct stat st {};
    EXPECT_TRUE(::stat("blocked", &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_TRUE(surface.boxes.empty());
}
