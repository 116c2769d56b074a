#include <gtest/gtest.h>

#include "TestFolder.h"
#include "state/OptionsFile.h"

TEST(OptionsFile, MissingFileGivesDefaultsAndIsCreatedOnSave) {
    TestFolder folder;
    {
        OptionsFile options;
        EXPECT_FALSE(options.autoPlay);
        EXPECT_TRUE(options.autoDownload);
    }
    EXPECT_EQ(ReadFile("NoxPatch2011_Options.cfg"), "NOAUTOPLAY\nAUTODOWNLOAD\n");
}

TEST(OptionsFile, KeywordsInAnyCaseAndLayoutLaterWins) {
    TestFolder folder;
    WriteFile("NoxPatch2011_Options.cfg", "noAutoDownload AutoPlay\n\tNOAUTOPLAY junk autoplay");
    {
        OptionsFile options;
        EXPECT_TRUE(options.autoPlay);
        EXPECT_FALSE(options.autoDownload);
    }
    EXPECT_EQ(ReadFile("NoxPatch2011_Options.cfg"), "AUTOPLAY\nNOAUTODOWNLOAD\n");
}

TEST(OptionsFile, JoinedOrOverlongWordsAreNotKeywords) {
    TestFolder folder;
    WriteFile("NoxPatch2011_Options.cfg",
              "AUTOPLAY=1 NOAUTODOWNLOAD=yes " + std::string(2000, 'A') + "\n");
    OptionsFile options;
    EXPECT_FALSE(options.autoPlay);
    EXPECT_TRUE(options.autoDownload);
}

TEST(OptionsFile, EmptyFileKeepsDefaultsAndUnwritableFileIsNoError) {
    TestFolder folder;
    WriteFile("NoxPatch2011_Options.cfg", "");
    {
        OptionsFile options;
        EXPECT_TRUE(options.autoDownload);
    }
    TestFolder other;
    MakeDirs("NoxPatch2011_Options.cfg");
    OptionsFile options;  // destructor must not fail
    EXPECT_TRUE(options.autoDownload);
}
