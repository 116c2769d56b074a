#include <gtest/gtest.h>

#include <memory>

#include "TestFolder.h"
#include "state/FileVersionFile.h"

namespace {

// Loads the ledger as a run does and makes it the ledger of the run.
struct LedgerScope {
    LedgerScope() : ledger(new FileVersionFile()) { g_fileVersionFile = ledger; }
    ~LedgerScope() { Save(); }
    void Save() {
        if (ledger) {
            delete ledger;
            ledger = nullptr;
            g_fileVersionFile = nullptr;
        }
    }
    FileVersionFile* ledger;
};

}  // namespace

TEST(Ledger, MissingFileGivesEmptyLedgerAndSaveListsNamesInFirstSetOrder) {
    TestFolder folder;
    {
        LedgerScope scope;
        EXPECT_FALSE(FileVersionFile::HasVersion("a.dat", 0));
        FileVersionFile::SetVersion("b.dat", 2);
        FileVersionFile::SetVersion("a.dat", 1);
        FileVersionFile::SetVersion("b.dat", 3);
        EXPECT_TRUE(FileVersionFile::HasVersion("b.dat", 3));
    }
    EXPECT_EQ(ReadFile("file_versions.txt"), "b.dat 3\na.dat 1\n");
}

TEST(Ledger, DuplicatesAreKeptAndOnlyTheFirstIsQueriedOrUpdated) {
    TestFolder folder;
    WriteFile("file_versions.txt", "x.dat 3\nx.dat 5\nX.dat 9\n");
    {
        LedgerScope scope;
        EXPECT_TRUE(FileVersionFile::HasVersion("x.dat", 3));
        EXPECT_FALSE(FileVersionFile::HasVersion("x.dat", 5));
        EXPECT_TRUE(FileVersionFile::HasVersion("X.dat", 9));  // case matters
        FileVersionFile::SetVersion("x.dat", 7);
        FileVersionFile::SetVersion("new.dat", 1);
    }
    EXPECT_EQ(ReadFile("file_versions.txt"), "x.dat 7\nx.dat 5\nX.dat 9\nnew.dat 1\n");
}

TEST(Ledger, StrayWordIsTakenAsTheNextName) {
    TestFolder folder;
    WriteFile("file_versions.txt", "a.dat oops\nb.dat 4\n");
    LedgerScope scope;
    ASSERT_EQ(scope.ledger->Entries().size(), 1u);
    EXPECT_EQ(scope.ledger->Entries()[0].name, "b.dat");
    EXPECT_EQ(scope.ledger->Entries()[0].version, 4);
}

TEST(Ledger, NegativeVersionsAndCarriageReturnsRoundTrip) {
    TestFolder folder;
    WriteFile("file_versions.txt", "a.dat -2\r\nb.dat 5\r\n");
    {
        LedgerScope scope;
        EXPECT_TRUE(FileVersionFile::HasVersion("a.dat", -2));
        EXPECT_TRUE(FileVersionFile::HasVersion("b.dat", 5));
    }
    EXPECT_EQ(ReadFile("file_versions.txt"), "a.dat -2\nb.dat 5\n");
}

TEST(Ledger, OverlongNameIsSkippedWithoutReadingPastIt) {
    TestFolder folder;
    std::string fits(1023, 'f');
    WriteFile("file_versions.txt", std::string(1024, 'x') + " 1\n" + fits + " 2\nok.dat 3\n");
    LedgerScope scope;
    // The overlong token goes; its number is then read as a stray name that
    // swallows the next token, and the pairs after that load as usual.
    for (const auto& entry : scope.ledger->Entries())
        EXPECT_LE(entry.name.size(), 1023u);
    EXPECT_TRUE(FileVersionFile::HasVersion("ok.dat", 3));
}

TEST(Ledger, SaveThatCannotOpenItsFileWritesNothingAndDoesNotFail) {
    TestFolder folder;
    MakeDirs("file_versions.txt");  // a folder in its place cannot be opened for writing
    {
        LedgerScope scope;
        FileVersionFile::SetVersion("a.dat", 1);
    }
    EXPECT_FALSE(FileExists("a.dat"));
}

TEST(Ledger, QueriesOutsideARunAreHarmless) {
    ASSERT_EQ(g_fileVersionFile, nullptr);
    EXPECT_FALSE(FileVersionFile::HasVersion("a.dat", 1));
    FileVersionFile::SetVersion("a.dat", 1);
}
