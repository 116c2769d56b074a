#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "PatchServerFixture.h"
#include "PublishHelpers.h"
#include "TestFolder.h"
#include "base/Sha256.h"

using lvpublish::Change;
using lvpublish::PublishOutcome;
using lvpublish::PublishReport;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

class Publishing : public ::testing::Test {
  protected:
    std::string Build(const std::string& name) const { return work.Path() + "/" + name; }
    std::string Served(const std::string& path) const {
        return ReadFile(root.Path() + "/lanternvale_patch/" + path);
    }
    std::map<std::string, Change> Changes(const PublishReport& report) const {
        std::map<std::string, Change> changes;
        for (const lvpublish::PublishedFile& file : report.files)
            changes[file.name] = file.change;
        return changes;
    }

    TempDir work;
    TempDir root;
};

}  // namespace

TEST_F(Publishing, FirstBuildIsCopiedTaggedAndMadeCurrent) {
    const std::string big(3 << 20, 'x');
    MakeBuild(Build("b1"), {{"game.sh", "#!/bin/sh\necho play\n"},
                            {"data/maps/a.dat", "map a"},
                            {"tools/tc.bin", "test client"},
                            {"empty.dat", ""},
                            {"music/big.ogg", big}});
    ::chmod(Build("b1/game.sh").c_str(), 0755);

    PublishReport report = PublishOrFail(Build("b1"), root.Path(), "game.sh", "tools/tc.bin");
    EXPECT_EQ(report.buildFolder, "build_1/");
    EXPECT_FALSE(report.hadPrevious);
    EXPECT_EQ(report.Count(Change::kAdded), 5);
    EXPECT_EQ(report.DownloadBytes(), static_cast<int64_t>(big.size() + 20 + 5 + 11));
    EXPECT_TRUE(report.notes.empty());

    EXPECT_EQ(Served("build_folder.txt"), "build_1/\n");
    EXPECT_EQ(Served("build_1/current2.txt"),
              "data/maps/a.dat 1 SIZE:5 SHA256:" + Sha256Hex("map a") + "\n" +
                  "empty.dat 1 SIZE:0 SHA256:" + Sha256Hex("") + "\n" +
                  "game.sh 1 GAME_EXE SIZE:20 SHA256:" + Sha256Hex("#!/bin/sh\necho play\n") +
                  "\n" + "music/big.ogg 1 SIZE:3145728 SHA256:" + Sha256Hex(big) + "\n" +
                  "tools/tc.bin 1 TEST_CLIENT SIZE:11 SHA256:" + Sha256Hex("test client") + "\n");
    EXPECT_EQ(Served("build_1/music/big.ogg"), big);
    EXPECT_EQ(Served("build_1/tools/tc.bin"), "test client");
    struct stat info {};
    ASSERT_EQ(::stat((root.Path() + "/lanternvale_patch/build_1/game.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    // No staging folder or temporary file is left beside the build.
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(root.Path() + "/lanternvale_patch"))
        top.push_back(entry.path().filename().string());
    EXPECT_THAT(
        top, ::testing::UnorderedElementsAre("build_1", "build_folder.txt", ".lvpublish-copies"));
}

TEST_F(Publishing, VersionsCarryOverByContent) {
    MakeBuild(Build("b1"), {{"same.dat", "same"},
                            {"edit.dat", "before"},
                            {"gone.dat", "gone"},
                            {"game.sh", "game 1"}});
    PublishOrFail(Build("b1"), root.Path(), "game.sh");

    MakeBuild(Build("b2"), {{"same.dat", "same"},
                            {"edit.dat", "after!"},  // same size, other bytes
                            {"new/added.dat", "added"},
                            {"game.sh", "game 2, longer"}});
    PublishReport second = PublishOrFail(Build("b2"), root.Path());
    EXPECT_EQ(second.buildFolder, "build_2/");
    EXPECT_EQ(second.previousBuildFolder, "build_1/");
    EXPECT_EQ(Changes(second), (std::map<std::string, Change>{{"edit.dat", Change::kChanged},
                                                              {"game.sh", Change::kChanged},
                                                              {"new/added.dat", Change::kAdded},
                                                              {"same.dat", Change::kUnchanged}}));
    EXPECT_THAT(second.removed, ElementsAre("gone.dat"));
    EXPECT_EQ(second.DownloadBytes(), 6 + 14 + 5);
    // Dropping the game program is worth a word.
    EXPECT_THAT(second.notes, ElementsAre(HasSubstr("the previous build named game.sh")));

    auto manifest = ReadManifest(root.Path(), "build_2/");
    ASSERT_EQ(manifest.size(), 4u);
    EXPECT_EQ(manifest["same.dat"].version, 1);
    EXPECT_EQ(manifest["edit.dat"].version, 2);
    EXPECT_EQ(manifest["game.sh"].version, 2);
    EXPECT_EQ(manifest["new/added.dat"].version, 1);
    EXPECT_EQ(manifest["edit.dat"].size, 6);
    EXPECT_EQ(Served("build_folder.txt"), "build_2/\n");
    // The previous build stays whole for launchers still patching from it.
    EXPECT_EQ(Served("build_1/gone.dat"), "gone");
    EXPECT_EQ(Served("build_1/edit.dat"), "before");

    PublishReport third = PublishOrFail(Build("b2"), root.Path(), "game.sh");
    EXPECT_EQ(third.buildFolder, "build_3/");
    EXPECT_EQ(third.Count(Change::kUnchanged), 4);
    EXPECT_EQ(third.DownloadBytes(), 0);
    EXPECT_EQ(ReadManifest(root.Path(), "build_3/")["edit.dat"].version, 2);
}

TEST_F(Publishing, ManifestsWithoutHashesAreComparedWithTheFilesOnTheServer) {
    // A build published by other means: SIZE tags, no hashes.
    PublishBuild(root.Path(), {{"same.dat", "same", 5},
                               {"edit.dat", "before", 5},
                               {"lost.dat", "lost", 5},
                               {"nosize.dat", "no size", 9, "", false}});
    fs::remove(root.Path() + "/lanternvale_patch/build_1/lost.dat");

    MakeBuild(Build("b"), {{"same.dat", "same"},
                           {"edit.dat", "after!"},
                           {"lost.dat", "lost"},
                           {"nosize.dat", "no size"}});
    PublishReport report = PublishOrFail(Build("b"), root.Path());
    auto manifest = ReadManifest(root.Path(), "build_2/");
    EXPECT_EQ(manifest["same.dat"].version, 5);
    EXPECT_EQ(manifest["edit.dat"].version, 6);
    // Nothing to compare with: changed, to be safe.
    EXPECT_EQ(manifest["lost.dat"].version, 6);
    EXPECT_EQ(manifest["nosize.dat"].version, 9);
    EXPECT_EQ(report.Count(Change::kChanged), 2);
}

TEST_F(Publishing, AReturningFileNeverReusesAVersionPlayersMayHold) {
    MakeBuild(Build("b1"), {{"a.dat", "one"}, {"keep.dat", "k"}});
    MakeBuild(Build("b2"), {{"a.dat", "two"}, {"keep.dat", "k"}});
    MakeBuild(Build("b3"), {{"keep.dat", "k"}});
    MakeBuild(Build("b4"), {{"a.dat", "one"}, {"keep.dat", "k"}});
    PublishOrFail(Build("b1"), root.Path());
    PublishOrFail(Build("b2"), root.Path());
    PublishOrFail(Build("b3"), root.Path());
    // A player who last patched build 2 holds a.dat at version 2, so the
    // file that comes back must not be 1 or 2.
    PublishReport report = PublishOrFail(Build("b4"), root.Path());
    EXPECT_EQ(Changes(report)["a.dat"], Change::kAdded);
    EXPECT_EQ(ReadManifest(root.Path(), "build_4/")["a.dat"].version, 3);
}

TEST_F(Publishing, OneFileAsGameAndTestClientKeepsItsSizeTag) {
    MakeBuild(Build("b"), {{"game.bin", "both"}});
    PublishOrFail(Build("b"), root.Path(), "game.bin", Build("b/game.bin"));
    EXPECT_EQ(Served("build_1/current2.txt"), "game.bin 1 GAME_EXE TEST_CLIENT SIZE:4\n");
    // Without a hash the next publish compares the bytes.
    PublishReport again = PublishOrFail(Build("b"), root.Path(), "game.bin", "game.bin");
    EXPECT_EQ(again.Count(Change::kUnchanged), 1);
}

TEST_F(Publishing, NamedBuildFolderAndNumberingAfterIt) {
    MakeBuild(Build("b"), {{"a.dat", "a"}});
    PublishOutcome named = lvpublish::Publish({Build("b"), root.Path(), "release-7", "", "", true});
    ASSERT_TRUE(named.ok) << named.error;
    EXPECT_EQ(Served("build_folder.txt"), "release-7/\n");
    MakeDirs(root.Path() + "/lanternvale_patch/build_41");
    EXPECT_EQ(PublishOrFail(Build("b"), root.Path()).buildFolder, "build_42/");
}

TEST_F(Publishing, LinksInsideTheBuildArePublishedAsFiles) {
    MakeBuild(Build("b"), {{"data/real.dat", "real"}});
    fs::create_symlink("data/real.dat", Build("b/alias.dat"));
    PublishOrFail(Build("b"), root.Path());
    EXPECT_EQ(Served("build_1/alias.dat"), "real");
    EXPECT_FALSE(fs::is_symlink(root.Path() + "/lanternvale_patch/build_1/alias.dat"));
}

TEST_F(Publishing, RefusalsNameTheFileAndTheRuleAndChangeNothing) {
    MakeBuild(Build("good"), {{"a.dat", "a"}});
    PublishOrFail(Build("good"), root.Path());
    const std::string before = Snapshot(root.Path());

    WriteFile(work.Path() + "/outside.dat", "secret");
    struct Case {
        std::map<std::string, std::string> files;
        std::string link;  // a symbolic link named this, to ../outside.dat
        std::string fifo;
        lvpublish::PublishOptions options;
        std::string expected;
    } cases[] = {
        {{{"a.dat", "a"}, {"my file.dat", "x"}}, "", "", {}, "'my file.dat': white space"},
        {{{"NoxPatch2011.exe", "x"}}, "", "", {}, "NoxPatch2011_new.exe"},
        {{{"a.dat", "a"}, {"c:x", "x"}}, "", "", {}, "'c:x': the launcher's name check"},
        {{{"file_versions.txt", "x"}}, "", "", {}, "'file_versions.txt'"},
        {{{"Data.pak", "x"}, {"data.pak", "y"}}, "", "", {}, "Data.pak and data.pak"},
        {{{"a.dat", "a"}}, "link.dat", "", {}, "'link.dat': a symbolic link that leaves the build"},
        {{{"a.dat", "a"}}, "", "pipe", {}, "'pipe': not a regular file"},
        {{}, "", "", {}, "holds no files"},
        {{{"a.dat", "a"}}, "", "", {"", "", "", "missing.exe"}, "--game-exe missing.exe"},
        {{{"a.dat", "a"}}, "", "", {"", "", "build_1", "", "", true}, "exists already"},
        {{{"a.dat", "a"}}, "", "", {"", "", "../up", "", "", true}, "--build-folder ../up/"},
        {{{"a.dat", "a"}}, "", "", {}, "no --game-exe"},
    };
    int n = 0;
    for (Case& c : cases) {
        const std::string dir = Build("bad" + std::to_string(n++));
        MakeDirs(dir);
        MakeBuild(dir, c.files);
        if (!c.link.empty())
            fs::create_symlink("../outside.dat", dir + "/" + c.link);
        if (!c.fifo.empty()) {
            ASSERT_EQ(::mkfifo((dir + "/" + c.fifo).c_str(), 0644), 0);
        }
        c.options.buildDir = dir;
        c.options.serverRoot = root.Path();
        PublishOutcome outcome = lvpublish::Publish(c.options);
        EXPECT_FALSE(outcome.ok) << c.expected;
        EXPECT_THAT(outcome.error, HasSubstr(c.expected));
        EXPECT_EQ(outcome.error.find('\n'), std::string::npos);
        EXPECT_EQ(Snapshot(root.Path()), before) << c.expected;
    }
}

TEST_F(Publishing, AnUnreadableCurrentBuildStopsThePublish) {
    // Without the current manifest the versions players hold are unknown.
    MakeBuild(Build("b"), {{"a.dat", "a"}});
    WriteFile(root.Path() + "/lanternvale_patch/build_folder.txt", "build_9/\n");
    // A refused publish leaves even an interrupted one's staging folder.
    MakeDirs(root.Path() + "/lanternvale_patch/.lvpublish-Ab3dE9");
    const std::string before = Snapshot(root.Path());
    PublishOutcome outcome = lvpublish::Publish({Build("b"), root.Path(), "", "", "", true});
    EXPECT_FALSE(outcome.ok);
    EXPECT_THAT(outcome.error, HasSubstr("build_9/current2.txt"));
    EXPECT_EQ(Snapshot(root.Path()), before);

    // A first line the launcher would join wrongly is refused as well.
    WriteFile(root.Path() + "/lanternvale_patch/build_folder.txt", "build_9\r\n");
    outcome = lvpublish::Publish({Build("b"), root.Path(), "", "", "", true});
    EXPECT_THAT(outcome.error, HasSubstr("which launchers cannot use"));
}

// The mirror list: what --mirror gives, checked before anything is written;
// carried over by a publish without it; removed by --no-mirrors.
TEST_F(Publishing, TheMirrorListIsCheckedCarriedOverAndRemoved) {
    MakeBuild(Build("b"), {{"a.dat", "a"}});
    auto publish = [&](std::vector<std::string> mirrors, bool noMirrors = false) {
        lvpublish::PublishOptions options;
        options.buildDir = Build("b");
        options.serverRoot = root.Path();
        options.noGameExe = true;
        options.mirrors = std::move(mirrors);
        options.noMirrors = noMirrors;
        return lvpublish::Publish(options);
    };
    const std::string a = "https://a.example/lanternvale_patch/";
    struct Refused {
        std::vector<std::string> mirrors;
        const char* why;
    } refused[] = {
        {{"a.example/lanternvale_patch/"}, "not a base URL"},
        {{"https://a.example/"}, "ends in /lanternvale_patch/"},
        {{a, "https://a.example/lanternvale_patch"}, "given twice"},
        {std::vector<std::string>(17, a), "launchers read 16 mirrors at most"},
    };
    for (const Refused& c : refused) {
        PublishOutcome outcome = publish(c.mirrors);
        EXPECT_FALSE(outcome.ok);
        EXPECT_THAT(outcome.error, HasSubstr(c.why));
        EXPECT_FALSE(fs::exists(root.Path() + "/lanternvale_patch"));
    }

    const std::string b = "http://10.1.2.3:8080/mirror/lanternvale_patch";
    ASSERT_TRUE(publish({a, b}).ok);
    const std::string list = "lantern-vale-mirrors 1\nmirror " + a + "\nmirror " + b + "/\n";
    EXPECT_EQ(Served("mirrors.txt"), list);
    PublishOutcome carried = publish({});
    ASSERT_TRUE(carried.ok);
    EXPECT_EQ(Served("mirrors.txt"), list);
    EXPECT_EQ(carried.report.mirrors, (std::vector<std::string>{a, b + "/"}));
    EXPECT_FALSE(publish({a}, true).ok);
    ASSERT_TRUE(publish({}, true).ok);
    EXPECT_FALSE(fs::exists(root.Path() + "/lanternvale_patch/mirrors.txt"));
}
