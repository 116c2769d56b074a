#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Manage.h"
#include "PatchServerFixture.h"
#include "PublishHelpers.h"
#include "TestFolder.h"

using lvpublish::Change;
using lvpublish::PublishOutcome;
using lvpublish::PublishReport;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

namespace fs = std::filesystem;

namespace {

class Managing : public ::testing::Test {
  protected:
    std::string Build(const std::string& name) const { return work.Path() + "/" + name; }
    std::string Base() const { return root.Path() + "/lanternvale_patch/"; }
    PublishOutcome PublishWith(const std::string& build, bool dryRun) {
        lvpublish::PublishOptions options{Build(build), root.Path(), "", "game.sh"};
        options.dryRun = dryRun;
        return lvpublish::Publish(options);
    }
    struct stat Stat(const std::string& path) const {
        struct stat info {};
        EXPECT_EQ(::stat((Base() + path).c_str(), &info), 0) << path;
        return info;
    }
    std::vector<std::string> Folders() const {
        std::vector<std::string> folders;
        for (const lvpublish::BuildInfo& b : lvpublish::ListServer(root.Path()).builds)
            folders.push_back(b.folder);
        return folders;
    }

    TempDir work;
    TempDir root;
};

// Bytes this process has read through read(2) and the like, cache hits
// included (rchar).
int64_t BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

// Sets a file's modification time `seconds` back from now.
void Age(const std::string& path, int seconds) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Sets or clears the immutable flag, which even root cannot unlink past.
bool SetImmutable(const std::string& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

}  // namespace

TEST_F(Managing, UnchangedFilesAreLinkedAndOnlyChangesWritten) {
    const std::string big(1 << 20, 'b');
    MakeBuild(Build("b1"),
              {{"game.sh", "g1"}, {"big.dat", big}, {"edit.dat", "before"}, {"mode.sh", "m"}});
    PublishOrFail(Build("b1"), root.Path(), "game.sh");
    // Same bytes, but now a program: the server copy's mode must change.
    MakeBuild(Build("b2"),
              {{"game.sh", "g1"}, {"big.dat", big}, {"edit.dat", "after!"}, {"mode.sh", "m"}});
    ::chmod(Build("b2/mode.sh").c_str(), 0755);

    PublishReport report = PublishOrFail(Build("b2"), root.Path(), "game.sh");
    EXPECT_EQ(report.linked, 2);
    EXPECT_EQ(report.copied, 2);
    const int64_t manifestBytes = Stat("build_2/current2.txt").st_size;
    EXPECT_EQ(report.bytesWritten, 6 + 1 + manifestBytes);
    EXPECT_EQ(Stat("build_2/big.dat").st_ino, Stat("build_1/big.dat").st_ino);
    EXPECT_EQ(Stat("build_2/game.sh").st_ino, Stat("build_1/game.sh").st_ino);
    EXPECT_NE(Stat("build_2/edit.dat").st_ino, Stat("build_1/edit.dat").st_ino);
    EXPECT_NE(Stat("build_2/mode.sh").st_ino, Stat("build_1/mode.sh").st_ino);
    EXPECT_EQ(Stat("build_2/mode.sh").st_mode & 0777, 0755u);
    EXPECT_EQ(Stat("build_1/mode.sh").st_mode & 0777, 0644u);
    EXPECT_EQ(ReadFile(Base() + "build_1/edit.dat"), "before");

    // A previous copy that no longer matches its manifest is not linked: the
    // new build gets the bytes of the build folder being published.
    WriteFile(Base() + "build_2/big.dat", "tampered");
    PublishReport third = PublishOrFail(Build("b2"), root.Path(), "game.sh");
    EXPECT_EQ(third.Count(Change::kUnchanged), 4);
    EXPECT_EQ(ReadFile(Base() + "build_3/big.dat"), big);
    EXPECT_EQ(third.linked, 3);
}

TEST_F(Managing, AnUntouchedPreviousCopyIsNotReadAgainAndATouchedOneIsNeverLinked) {
    const std::string big(4 << 20, 'b');
    MakeBuild(Build("b"),
              {{"game.sh", "g"}, {"big.dat", big}, {"edit.dat", "before"}, {"swap.dat", "swap"}});
    PublishOrFail(Build("b"), root.Path(), "game.sh");
    // Copies written moments ago are read on the next publish: a write in
    // the same timestamp could not be seen. Aged, they count as old copies.
    for (const char* name : {"big.dat", "edit.dat", "swap.dat"})
        Age(Base() + "build_1/" + name, 86400);
    int64_t start = BytesRead();
    EXPECT_EQ(PublishOrFail(Build("b"), root.Path(), "game.sh").linked, 4);
    EXPECT_GE(BytesRead() - start, static_cast<int64_t>(2 * big.size()));

    // build_2's copies are recorded as they lay once linked: only the build
    // folder's files are read now.
    start = BytesRead();
    EXPECT_EQ(PublishOrFail(Build("b"), root.Path(), "game.sh").linked, 4);
    EXPECT_LT(BytesRead() - start, static_cast<int64_t>(big.size() + big.size() / 2));
    EXPECT_EQ(Stat("build_3/big.dat").st_ino, Stat("build_1/big.dat").st_ino);

    // Edited in place with the same size; replaced by another file of the
    // same size and modification time.
    WriteFile(Base() + "build_3/edit.dat", "after!");
    const std::string swapped = Base() + "swap.tmp";
    WriteFile(swapped, "SWAP");
    struct timespec times[2] = {Stat("build_3/swap.dat").st_mtim, Stat("build_3/swap.dat").st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, swapped.c_str(), times, 0), 0);
    fs::rename(swapped, Base() + "build_3/swap.dat");
    PublishReport fourth = PublishOrFail(Build("b"), root.Path(), "game.sh");
    EXPECT_EQ(fourth.linked, 2);
    EXPECT_EQ(ReadFile(Base() + "build_4/edit.dat"), "before");
    EXPECT_EQ(ReadFile(Base() + "build_4/swap.dat"), "swap");

    // A fresh copy edited at once, its modification time put back: it may
    // keep both its times, so it is read.
    const struct stat fresh = Stat("build_4/edit.dat");
    WriteFile(Base() + "build_4/edit.dat", "AFTER!");
    times[0] = times[1] = fresh.st_mtim;
    ASSERT_EQ(::utimensat(AT_FDCWD, (Base() + "build_4/edit.dat").c_str(), times, 0), 0);
    PublishReport fifth = PublishOrFail(Build("b"), root.Path(), "game.sh");
    EXPECT_EQ(fifth.linked, 3);
    EXPECT_EQ(ReadFile(Base() + "build_5/edit.dat"), "before");
    EXPECT_NE(Stat("build_5/edit.dat").st_ino, fresh.st_ino);
}

TEST_F(Managing, DryRunReportsThePublishAndWritesNothing) {
    MakeBuild(Build("b1"), {{"game.sh", "g1"}, {"same.dat", "same"}});
    // Nothing at all on the server yet: not even the patch folder appears.
    PublishOutcome first = PublishWith("b1", true);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.report.buildFolder, "build_1/");
    EXPECT_EQ(first.report.Count(Change::kAdded), 2);
    EXPECT_FALSE(fs::exists(Base()));

    // Unchanged by the manifest, but not linkable: a program bit set since,
    // and a server copy edited in place after its publish.
    MakeBuild(Build("b1"), {{"mode.sh", "m"}, {"edited.dat", "published"}});
    PublishOrFail(Build("b1"), root.Path(), "game.sh");
    MakeDirs(Base() + ".lvpublish-Ab3dE9");
    WriteFile(Base() + "build_1/edited.dat", "edited!!!");
    MakeBuild(Build("b2"), {{"game.sh", "g2!"},
                            {"same.dat", "same"},
                            {"new.dat", "n"},
                            {"mode.sh", "m"},
                            {"edited.dat", "published"}});
    ::chmod(Build("b2/mode.sh").c_str(), 0755);
    const std::string before = Snapshot(root.Path());
    PublishOutcome dry = PublishWith("b2", true);
    ASSERT_TRUE(dry.ok) << dry.error;
    EXPECT_TRUE(dry.report.dryRun);
    EXPECT_EQ(dry.report.buildFolder, "build_2/");
    EXPECT_EQ(dry.report.previousBuildFolder, "build_1/");
    EXPECT_EQ(dry.report.Count(Change::kChanged), 1);
    EXPECT_EQ(dry.report.Count(Change::kAdded), 1);
    EXPECT_EQ(dry.report.Count(Change::kUnchanged), 3);
    EXPECT_EQ(dry.report.linked, 1);
    EXPECT_EQ(dry.report.copied, 4);
    EXPECT_EQ(dry.report.DownloadBytes(), 3 + 1);
    EXPECT_THAT(dry.report.leftovers, ElementsAre(".lvpublish-Ab3dE9"));
    EXPECT_EQ(Snapshot(root.Path()), before);

    // The real publish agrees with its dry run.
    PublishOutcome real = PublishWith("b2", false);
    ASSERT_TRUE(real.ok) << real.error;
    EXPECT_EQ(real.report.linked, dry.report.linked);
    EXPECT_EQ(real.report.copied, dry.report.copied);
    EXPECT_EQ(real.report.bytesWritten, dry.report.bytesWritten);
    EXPECT_EQ(ReadFile(Base() + "build_2/edited.dat"), "published");
}

TEST_F(Managing, LeftoversOfAnInterruptedPublishGoUnderTheLock) {
    MakeBuild(Build("b"), {{"game.sh", "g"}});
    PublishOrFail(Build("b"), root.Path(), "game.sh");
    MakeBuild(Base() + ".lvpublish-x1Y2z3", {{"half.dat", "half"}});
    WriteFile(Base() + "build_folder.txt.Q9w8E7", "build_9/\n");
    MakeDirs(Base() + ".lvpublish-keep-me");  // not a name lvpublish makes

    PublishReport report = PublishOrFail(Build("b"), root.Path(), "game.sh");
    EXPECT_THAT(report.leftovers,
                UnorderedElementsAre(".lvpublish-x1Y2z3", "build_folder.txt.Q9w8E7"));
    EXPECT_FALSE(fs::exists(Base() + ".lvpublish-x1Y2z3"));
    EXPECT_FALSE(fs::exists(Base() + "build_folder.txt.Q9w8E7"));
    EXPECT_TRUE(fs::exists(Base() + ".lvpublish-keep-me"));
}

TEST_F(Managing, EveryBadNameIsReportedAtOnce) {
    MakeBuild(Build("good"), {{"game.sh", "g"}});
    PublishOrFail(Build("good"), root.Path(), "game.sh");
    const std::string before = Snapshot(root.Path());
    MakeBuild(Build("bad"), {{"game.sh", "g"},
                             {"my file.dat", "x"},
                             {"current2.txt", "x"},
                             {"Data.pak", "x"},
                             {"data.pak", "y"},
                             {"Maps/a.map", "a"},
                             {"maps", "clash with the folder"},
                             {"ok.dat", "fine"}});
    PublishOutcome outcome = PublishWith("bad", false);
    EXPECT_FALSE(outcome.ok);
    EXPECT_THAT(outcome.problems,
                UnorderedElementsAre(HasSubstr("'my file.dat'"), HasSubstr("'current2.txt'"),
                                     HasSubstr("Data.pak and data.pak"), HasSubstr("Maps/")));
    EXPECT_THAT(outcome.error, HasSubstr("4 files cannot be published"));
    EXPECT_EQ(outcome.error.find('\n'), std::string::npos);
    EXPECT_EQ(Snapshot(root.Path()), before);
}

TEST_F(Managing, ListShowsEveryBuildWithTheCurrentOne) {
    MakeBuild(Build("b1"), {{"game.sh", "g"}, {"a.dat", "aaaa"}});
    MakeBuild(Build("b2"), {{"game.sh", "g"}, {"a.dat", "aaaa"}, {"b.dat", "bb"}});
    PublishOrFail(Build("b1"), root.Path(), "game.sh");
    PublishOrFail(Build("b2"), root.Path(), "game.sh");
    MakeDirs(Base() + "notes");

    lvpublish::ServerListing listing = lvpublish::ListServer(root.Path());
    ASSERT_TRUE(listing.ok) << listing.error;
    EXPECT_EQ(listing.current, "build_2/");
    ASSERT_EQ(listing.builds.size(), 3u);
    EXPECT_EQ(listing.builds[0].folder, "notes/");  // no manifest, no publish time
    EXPECT_FALSE(listing.builds[0].hasManifest);
    EXPECT_EQ(listing.builds[1].folder, "build_1/");
    EXPECT_EQ(listing.builds[1].files, 2);
    EXPECT_EQ(listing.builds[1].bytes, 5);
    EXPECT_EQ(listing.builds[2].folder, "build_2/");
    EXPECT_EQ(listing.builds[2].files, 3);

    EXPECT_FALSE(lvpublish::ListServer(work.Path()).ok);
}

TEST_F(Managing, RollbackSwitchesAndLaterPublishesStayAboveEveryVersion) {
    MakeBuild(Build("b1"), {{"game.sh", "g"}, {"a.dat", "one"}});
    MakeBuild(Build("b2"), {{"game.sh", "g"}, {"a.dat", "two"}});
    MakeBuild(Build("b3"), {{"game.sh", "g"}, {"a.dat", "three"}});
    PublishOrFail(Build("b1"), root.Path(), "game.sh");
    PublishOrFail(Build("b2"), root.Path(), "game.sh");

    lvpublish::ManageOutcome back = lvpublish::Rollback(root.Path(), "build_1");
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_THAT(back.done, ElementsAre("current build: build_1/ (was build_2/)"));
    EXPECT_EQ(ReadFile(Base() + "build_folder.txt"), "build_1/\n");
    EXPECT_TRUE(lvpublish::Rollback(root.Path(), "build_1/").ok);  // already current

    // Players of build 2 hold a.dat at version 2: new bytes get 3.
    PublishOrFail(Build("b3"), root.Path(), "game.sh");
    EXPECT_EQ(ReadManifest(root.Path(), "build_3/")["a.dat"].version, 3);

    // Refusals change nothing.
    fs::remove(Base() + "build_2/a.dat");
    WriteFile(Base() + "build_1/a.dat", "one, but longer");
    fs::create_directory_symlink(Base() + "build_3", Base() + "alias");
    const std::string before = Snapshot(root.Path());
    struct {
        std::string build, expected;
    } refusals[] = {{"build_9", "no build build_9/"},
                    {"build_2", "its file a.dat is missing"},
                    {"build_1", "a.dat has 15 bytes, the manifest says 3"},
                    {"alias", "no build alias/"},
                    {"../etc", "BUILD ../etc"},
                    {"", "BUILD "}};
    for (const auto& refusal : refusals) {
        lvpublish::ManageOutcome outcome = lvpublish::Rollback(root.Path(), refusal.build);
        EXPECT_FALSE(outcome.ok) << refusal.build;
        EXPECT_THAT(outcome.error, HasSubstr(refusal.expected));
    }
    EXPECT_EQ(Snapshot(root.Path()), before);

    // A switch that fails leaves the record of the previous build as well.
    const std::string previous = ReadFile(Base() + ".lvpublish-previous");
    fs::remove(Base() + "build_folder.txt");
    MakeDirs(Base() + "build_folder.txt/in-the-way");
    lvpublish::ManageOutcome failed = lvpublish::Rollback(root.Path(), "build_3");
    EXPECT_FALSE(failed.ok);
    EXPECT_THAT(failed.error, HasSubstr("build_folder.txt"));
    EXPECT_EQ(ReadFile(Base() + ".lvpublish-previous"), previous);
}

TEST_F(Managing, PruneKeepsTheNewestTheCurrentAndWhatLaunchersMayUse) {
    // x.dat lives in builds 3 and 4 only; after they are pruned a returning
    // x.dat must still get a version above theirs.
    MakeBuild(Build("b1"), {{"game.sh", "g"}, {"a.dat", "1"}});
    MakeBuild(Build("b2"), {{"game.sh", "g"}, {"a.dat", "2"}});
    MakeBuild(Build("b3"), {{"game.sh", "g"}, {"a.dat", "3"}, {"x.dat", "x3"}});
    MakeBuild(Build("b4"), {{"game.sh", "g"}, {"a.dat", "4"}, {"x.dat", "x4"}});
    MakeBuild(Build("b5"), {{"game.sh", "g"}, {"a.dat", "5"}});
    MakeBuild(Build("b6"), {{"game.sh", "g"}, {"a.dat", "5"}, {"x.dat", "x6"}});
    for (const char* b : {"b1", "b2", "b3", "b4", "b5"})
        PublishOrFail(Build(b), root.Path(), "game.sh");
    ASSERT_TRUE(lvpublish::Rollback(root.Path(), "build_2").ok);
    MakeDirs(Base() + "notes");

    const std::string before = Snapshot(root.Path());
    lvpublish::ManageOutcome dry = lvpublish::Prune(root.Path(), 1, true);
    ASSERT_TRUE(dry.ok) << dry.error;
    EXPECT_THAT(dry.done, ElementsAre("would remove build_3/", "would remove build_4/"));
    EXPECT_EQ(Snapshot(root.Path()), before);

    lvpublish::ManageOutcome pruned = lvpublish::Prune(root.Path(), 1, false);
    ASSERT_TRUE(pruned.ok) << pruned.error;
    // build_5 is the newest and was current before the rollback, build_2 is
    // current, build_1 was published before it.
    EXPECT_THAT(Folders(), ElementsAre("notes/", "build_1/", "build_2/", "build_5/"));
    EXPECT_EQ(ReadFile(Base() + "build_folder.txt"), "build_2/\n");

    PublishOrFail(Build("b6"), root.Path(), "game.sh");
    EXPECT_EQ(ReadManifest(root.Path(), "build_6/")["x.dat"].version, 3);

    EXPECT_TRUE(lvpublish::Prune(root.Path(), 10, false).ok);
    EXPECT_EQ(Folders().size(), 5u);
    EXPECT_FALSE(lvpublish::Prune(root.Path(), -1, false).ok);
    EXPECT_FALSE(lvpublish::Prune(work.Path() + "/nowhere", 1, false).ok);
}

TEST_F(Managing, PruneRefusesBeforeItRemovesAnything) {
    for (const char* b : {"b1", "b2", "b3", "b4"}) {
        MakeBuild(Build(b), {{"game.sh", b}});
        PublishOrFail(Build(b), root.Path(), "game.sh");
    }
    MakeDirs(Base() + ".lvpublish-x1Y2z3/half");

    // Where the versions or statements of removed builds cannot go on
    // record, nothing goes: leftovers neither.
    MakeDirs(Base() + ".lvpublish-retired-versions/in-the-way");
    std::string before = Snapshot(root.Path());
    lvpublish::ManageOutcome refused = lvpublish::Prune(root.Path(), 0, false);
    EXPECT_FALSE(refused.ok);
    EXPECT_THAT(refused.error, HasSubstr("nothing was removed"));
    EXPECT_TRUE(refused.done.empty());
    EXPECT_EQ(Snapshot(root.Path()), before);
    fs::remove_all(Base() + ".lvpublish-retired-versions");

    WriteFile(Base() + "build_1/build_statement.txt", "a statement\n");
    WriteFile(Base() + ".lvpublish-retired-statements", "in the way\n");
    before = Snapshot(root.Path());
    refused = lvpublish::Prune(root.Path(), 0, false);
    EXPECT_THAT(refused.error, HasSubstr(".lvpublish-retired-statements"));
    EXPECT_EQ(Snapshot(root.Path()), before);
    fs::remove(Base() + ".lvpublish-retired-statements");

    lvpublish::ManageOutcome pruned = lvpublish::Prune(root.Path(), 0, false);
    ASSERT_TRUE(pruned.ok) << pruned.error;
    EXPECT_THAT(pruned.done, ElementsAre("removed the leftover .lvpublish-x1Y2z3 of an "
                                         "interrupted publish",
                                         "removed build_1/", "removed build_2/"));
    EXPECT_FALSE(fs::exists(Base() + ".lvpublish-x1Y2z3"));
}

TEST_F(Managing, PruneNamesALeftoverItCouldNotRemove) {
    MakeBuild(Build("b"), {{"game.sh", "g"}});
    PublishOrFail(Build("b"), root.Path(), "game.sh");
    MakeBuild(Base() + ".lvpublish-Stuck1", {{"held.dat", "h"}});
    MakeBuild(Base() + ".lvpublish-Gone22", {{"half.dat", "h"}});
    const std::string held = Base() + ".lvpublish-Stuck1/held.dat";
    if (!SetImmutable(held, true))
        GTEST_SKIP() << "this file system or user cannot make a file immutable";

    lvpublish::ManageOutcome outcome = lvpublish::Prune(root.Path(), 0, false);
    SetImmutable(held, false);
    EXPECT_FALSE(outcome.ok);
    EXPECT_THAT(outcome.error, HasSubstr("cannot remove the leftover .lvpublish-Stuck1"));
    EXPECT_THAT(outcome.done, ElementsAre(HasSubstr("removed the leftover .lvpublish-Gone22"),
                                          HasSubstr("nothing to remove")));
    EXPECT_FALSE(fs::exists(Base() + ".lvpublish-Gone22"));
}
