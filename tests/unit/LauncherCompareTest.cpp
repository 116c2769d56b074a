#include <gtest/gtest.h>
#include <unistd.h>

#include "TestFolder.h"
#include "fileset/FilesToPatch.h"

namespace {

// Opens `name` and counts the process's open descriptors around the call, so
// a stream left open shows.
bool Compare(const std::string& name) {
    int probe = ::dup(0);
    ::close(probe);
    FILE* other = std::fopen(name.c_str(), "rb");
    EXPECT_NE(other, nullptr);
    bool result = IsIdenticalToLauncherExe(other);
    int after = ::dup(0);
    ::close(after);
    EXPECT_EQ(after, probe) << "a stream was left open";
    return result;
}

}  // namespace

TEST(LauncherCompare, EqualContentIsIdenticalAndAnyDifferenceIsNot) {
    TestFolder folder;
    WriteFile("NoxPatch2011.exe", "");
    WriteFile("other", "");
    EXPECT_TRUE(Compare("other"));

    std::string big(200000, 'x');
    WriteFile("NoxPatch2011.exe", big);
    WriteFile("other", big);
    EXPECT_TRUE(Compare("other"));

    WriteFile("other", big.substr(0, 65536));  // proper prefix, on a block boundary
    EXPECT_FALSE(Compare("other"));
    WriteFile("other", big + "y");
    EXPECT_FALSE(Compare("other"));
    std::string changed = big;
    changed[150000] = 'z';
    WriteFile("other", changed);
    EXPECT_FALSE(Compare("other"));
}

TEST(LauncherCompare, MissingLauncherIsDifferentAndStillClosesTheStream) {
    TestFolder folder;
    WriteFile("other", "abc");
    EXPECT_FALSE(Compare("other"));
#ifndef _WIN32
    // A stream that opens but cannot be read (a folder, here) is no proof of
    // sameness, even against an empty launcher.
    WriteFile("NoxPatch2011.exe", "");
    MakeDirs("unreadable");
    EXPECT_FALSE(Compare("unreadable"));
#endif
}
