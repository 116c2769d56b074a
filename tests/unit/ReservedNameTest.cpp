// Names a Windows game folder cannot hold as written are rejected on every
// platform, since one manifest serves all players.

#include <gtest/gtest.h>

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

TEST(ReservedNames, DeviceNamesAndTrailingDotsOrBlanksAreRewrittenAndRejected) {
    struct Case {
        const char* in;
        const char* shown;
    } cases[] = {
        {"CON", "0ON"},
        {"aux.dat", "0ux.dat"},
        {"NUL.txt", "0UL.txt"},
        {"Nul .tar.gz", "0ul .tar.gz"},  // blanks before the dot do not count
        {"data/com1.bin", "data/0om1.bin"},
        {"LPT9", "0PT9"},
        {"COM\xB9.dat", "0OM\xB9.dat"},
        {"conout$", "0onout$"},
        {"prn/readme.txt", "0rn/readme.txt"},    // a folder level too
        {"data\\CON\\x.bin", "data/0ON/x.bin"},  // after the separator rewrite
        {"readme.", "readme0"},
        {"notes.txt ", "notes.txt0"},
        {"maps /a.dat", "maps0/a.dat"},
        {"a/.", "a/0"},
        {"aux. ", "0ux.0"},
    };
    for (const Case& c : cases) {
        Checked result = Check(c.in);
        EXPECT_EQ(result.name, c.shown) << c.in;
        EXPECT_TRUE(result.rejected) << c.in;
    }
}

TEST(ReservedNames, NamesThatOnlyResembleDevicesStay) {
    for (const char* name : {"console.dat", "com10.dat", "lpt.txt", "data/connect.txt", "auxiliary",
                             "nul_/a.dat", "COMX", "my con.txt", ".config/a.b", "a b/c d.dat"}) {
        Checked result = Check(name);
        EXPECT_EQ(result.name, name);
        EXPECT_FALSE(result.rejected) << name;
    }
}
