#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "PublishHelpers.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestRun.h"
#include "patch/HttpFetch.h"

using lvpublish::Change;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::string kLvpatch = LVPATCH_PATH;
const std::string kLvpublish = LVPUBLISH_PATH;

std::string Bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 17) % 251);
    return s;
}

// Paths requested after the first `from` lines of the access log.
std::vector<std::string> RequestsSince(const NginxServer& nginx, size_t from) {
    std::vector<std::string> paths;
    std::vector<std::string> log = nginx.AccessLog();
    for (size_t i = from; i < log.size(); ++i) {
        size_t begin = log[i].find("\"GET ") + 5;
        paths.push_back(log[i].substr(begin, log[i].find(' ', begin) - begin));
    }
    return paths;
}

}  // namespace

TEST(PublishAndPatch, LvpatchFetchesOnlyAddedAndChangedFiles) {
    TempDir work;
    TempDir root;
    TempDir game;
    const std::string b1 = work.Path() + "/b1";
    const std::string b2 = work.Path() + "/b2";
    MakeBuild(b1, {{"game.sh", "#!/bin/sh\necho play\n"},
                   {"data/big.dat", Bytes(600000, 1)},
                   {"data/edit.dat", Bytes(1000, 2)},
                   {"data/gone.dat", "gone"},
                   {"tc.sh", "#!/bin/sh\necho test\n"}});
    MakeBuild(b2, {{"game.sh", "#!/bin/sh\necho play\n"},
                   {"data/big.dat", Bytes(600000, 1)},
                   {"data/edit.dat", Bytes(1000, 3)},
                   {"data/new/added.dat", "added"},
                   {"tc.sh", "#!/bin/sh\necho test\n"}});
    PublishOrFail(b1, root.Path(), "game.sh", "tc.sh");
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");

    ProcessResult first = RunProcess({kLvpatch, "--dir", game.Path()});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_THAT(first.out, HasSubstr("game: game.sh\ntest client: tc.sh\n"));
    EXPECT_EQ(ReadFile(game.Path() + "/data/big.dat"), Bytes(600000, 1));

    // Sizes come from the manifest, so an up-to-date folder costs two requests.
    size_t mark = nginx.AccessLog().size();
    ASSERT_EQ(RunProcess({kLvpatch, "--dir", game.Path()}).exitCode, 0);
    EXPECT_THAT(RequestsSince(nginx, mark), ElementsAre("/lanternvale_patch/build_folder.txt",
                                                        "/lanternvale_patch/build_1/current2.txt"));

    PublishOrFail(b2, root.Path(), "game.sh", "tc.sh");
    mark = nginx.AccessLog().size();
    ProcessResult third = RunProcess({kLvpatch, "--dir", game.Path()});
    ASSERT_EQ(third.exitCode, 0) << third.err;
    EXPECT_THAT(RequestsSince(nginx, mark),
                ElementsAre("/lanternvale_patch/build_folder.txt",
                            "/lanternvale_patch/build_2/current2.txt",
                            "/lanternvale_patch/build_2/data/edit.dat",
                            "/lanternvale_patch/build_2/data/new/added.dat"));
    EXPECT_EQ(nginx.CountRequests("/lanternvale_patch/build_2/data/big.dat"), 0);
    EXPECT_EQ(ReadFile(game.Path() + "/data/edit.dat"), Bytes(1000, 3));
    EXPECT_EQ(ReadFile(game.Path() + "/data/new/added.dat"), "added");
}

// The template serves builds, a game's own dot-files among them, and nothing
// else whose path has a level starting with '.': lvpublish's records and
// staging, the operator's .git.
TEST(PublishAndPatch, TheServerTemplateServesBuildsButNoOtherDotFiles) {
    FreshSettings settings;
    TestFolder folder;
    TempDir work;
    TempDir root;
    MakeBuild(work.Path() + "/b", {{"game.sh", "g"}, {".config/b.dat", "b"}});
    PublishOrFail(work.Path() + "/b", root.Path(), "game.sh");
    const std::string base = root.Path() + "/lanternvale_patch/";
    ASSERT_TRUE(FileExists(base + ".lvpublish-copies"));
    WriteFile(base + ".lvpublish-highest-serial", "7\n");
    WriteFile(base + ".lvpublish-retired-statements/x.txt", "statement");
    WriteFile(base + ".lvpublish-Ab12Cd/game.sh", "staged");
    WriteFile(base + "build_1/.lvpublish-statement-Ab12Cd", "statement");
    WriteFile(root.Path() + "/.git/config", "the operator's");
    NginxServer nginx(root.Path());
    g_patchServer.host = "127.0.0.1";
    g_patchServer.port = nginx.Port();

    struct {
        const char* path;
        long status;
    } cases[] = {
        {"/lanternvale_patch/build_folder.txt", 200},
        {"/lanternvale_patch/build_1/current2.txt", 200},
        {"/lanternvale_patch/build_1/.config/b.dat", 200},
        {"/lanternvale_patch/.lvpublish-copies", 404},
        {"/lanternvale_patch/.lvpublish-highest-serial", 404},
        {"/lanternvale_patch/.lvpublish-retired-statements/x.txt", 404},
        {"/lanternvale_patch/.lvpublish-Ab12Cd/game.sh", 404},
        {"/lanternvale_patch/build_1/.lvpublish-statement-Ab12Cd", 404},
        {"/.git/config", 404},
    };
    RunContext run = TestRun();
    for (const auto& c : cases) {
        long status = 0;
        FetchToFile(run, "answer.txt", c.path, 1 << 20, &status);
        EXPECT_EQ(status, c.status) << c.path;
    }
}

TEST(PublishAndPatch, LaunchersPatchingDuringPublishesAlwaysFindACompleteBuild) {
    FreshSettings settings;
    TestFolder game;
    TempDir work;
    TempDir root;
    // Four builds that differ from each other in content, size and files.
    std::vector<std::string> builds;
    for (int k = 0; k < 4; ++k) {
        builds.push_back(work.Path() + "/b" + std::to_string(k));
        std::map<std::string, std::string> files = {
            {"base.dat", Bytes(300000, 0)},
            {"step.dat", Bytes(100000 + 5000 * static_cast<size_t>(k), k)},
            {"only" + std::to_string(k % 2) + "/x.dat", Bytes(20000, k + 7)},
            {"game.sh", "game " + std::to_string(k)}};
        MakeBuild(builds.back(), files);
    }
    PublishOrFail(builds[0], root.Path(), "game.sh");
    NginxServer nginx(root.Path());
    PointAt(nginx.Port());

    std::atomic<bool> stop{false};
    std::atomic<int> published{1};
    std::string publishError;
    std::thread publisher([&] {
        for (int k = 1; !stop && k < 400; ++k) {
            lvpublish::PublishOutcome outcome =
                lvpublish::Publish({builds[k % 4], root.Path(), "", "game.sh"});
            if (!outcome.ok) {
                publishError = outcome.error;
                return;
            }
            ++published;
        }
    });

    // Bounded in runs and in time; a slow machine just checks fewer switches.
    std::vector<std::string> failures;
    std::set<std::string> buildsSeen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    int runs = 0;
    while (runs < 200 && std::chrono::steady_clock::now() < deadline &&
           (runs < 60 || published < 30)) {
        ++runs;
        RecordingSurface surface;
        bool ok = surface.RunPatch();
        std::string folder = ReadFile("build_folder.txt");
        folder = folder.substr(0, folder.find('\n'));
        buildsSeen.insert(folder);
        if (!ok || !surface.boxes.empty()) {
            failures.push_back("run " + std::to_string(runs) + " of " + folder + ": " +
                               (surface.boxes.empty() ? "failed" : surface.boxes[0].caption));
            continue;
        }
        // The folder now holds exactly the build the run was told about.
        for (const auto& [name, entry] : ReadManifest(root.Path(), folder))
            if (ReadFile(name) != ReadFile(root.Path() + "/lanternvale_patch/" + folder + name))
                failures.push_back("run " + std::to_string(runs) + ": " + name + " is not " +
                                   folder + "'s");
    }
    stop = true;
    publisher.join();

    EXPECT_EQ(publishError, "");
    EXPECT_THAT(failures, ElementsAre());
    RecordProperty("runs", runs);
    RecordProperty("builds_published", published.load());
    RecordProperty("builds_seen", static_cast<int>(buildsSeen.size()));
}

TEST(PublishAndPatch, PublishersTakeTurnsAndEachBuildsOnTheLast) {
    TempDir work;
    TempDir root;
    MakeBuild(work.Path() + "/old", {{"a.dat", "old"}});
    MakeBuild(work.Path() + "/new", {{"a.dat", "new"}, {"b.dat", "b"}});
    PublishOrFail(work.Path() + "/old", root.Path());

    lvpublish::PublishOutcome outcomes[2];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i)
        threads[i] = std::thread([&, i] {
            outcomes[i] = lvpublish::Publish({work.Path() + "/new", root.Path(), "", "", "", true});
        });
    for (std::thread& thread : threads)
        thread.join();

    ASSERT_TRUE(outcomes[0].ok) << outcomes[0].error;
    ASSERT_TRUE(outcomes[1].ok) << outcomes[1].error;
    // Whichever went second saw the first one's build as current.
    const lvpublish::PublishReport& first =
        outcomes[0].report.buildFolder == "build_2/" ? outcomes[0].report : outcomes[1].report;
    const lvpublish::PublishReport& second =
        outcomes[0].report.buildFolder == "build_2/" ? outcomes[1].report : outcomes[0].report;
    EXPECT_EQ(first.previousBuildFolder, "build_1/");
    EXPECT_EQ(first.Count(Change::kChanged), 1);
    EXPECT_EQ(second.buildFolder, "build_3/");
    EXPECT_EQ(second.previousBuildFolder, "build_2/");
    EXPECT_EQ(second.Count(Change::kUnchanged), 2);
    EXPECT_EQ(ReadFile(root.Path() + "/lanternvale_patch/build_folder.txt"), "build_3/\n");
}

TEST(LvpublishCommand, SummaryRefusalAndUsage) {
    TempDir work;
    TempDir root;
    MakeBuild(work.Path() + "/b", {{"game.sh", "g"}, {"data/a.dat", "aaaa"}});
    ProcessResult ok =
        RunProcess({kLvpublish, work.Path() + "/b", root.Path(), "--game-exe", "game.sh"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_THAT(ok.out, HasSubstr("Published build_1/\n"));
    EXPECT_THAT(ok.out, HasSubstr("added         2 files\n"));
    EXPECT_THAT(ok.out, HasSubstr("A new player downloads 5 B (5 bytes).\n"));

    WriteFile(work.Path() + "/b/NoxPatch2011.exe", "launcher");
    ProcessResult refused = RunProcess({kLvpublish, work.Path() + "/b", root.Path()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_THAT(refused.err,
                ::testing::MatchesRegex("lvpublish: cannot publish "
                                        "'NoxPatch2011.exe': .*NoxPatch2011_new.exe\n"));
    EXPECT_EQ(ReadFile(root.Path() + "/lanternvale_patch/build_folder.txt"), "build_1/\n");

    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"only-one"},
                                          {"a", "b", "c"},
                                          {"a", "b", "--bogus"},
                                          {"a", "b", "--game-exe"},
                                          {"a", "b", "--game-exe=x", "--game-exe", "y"}}) {
        args.insert(args.begin(), kLvpublish);
        ProcessResult usage = RunProcess(args);
        EXPECT_EQ(usage.exitCode, 2) << args.size();
        EXPECT_THAT(usage.err, HasSubstr("Try 'lvpublish --help'."));
    }
    ProcessResult help = RunProcess({kLvpublish, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: lvpublish BUILD_DIR SERVER_ROOT"));
}

TEST(LvpublishCommand, DryRunRefusalsAndTheManagingCommands) {
    TempDir work;
    TempDir root;
    const std::string build = work.Path() + "/b";
    MakeBuild(build, {{"game.sh", "g"}, {"a.dat", "aaaa"}});
    const std::string base = root.Path() + "/lanternvale_patch/";

    ProcessResult noGame = RunProcess({kLvpublish, build, root.Path()});
    EXPECT_EQ(noGame.exitCode, 1);
    EXPECT_THAT(noGame.err, HasSubstr("no --game-exe"));
    EXPECT_FALSE(FileExists(base + "build_folder.txt"));
    EXPECT_EQ(RunProcess({kLvpublish, build, root.Path(), "--game-exe", "game.sh", "--no-game-exe"})
                  .exitCode,
              2);

    ProcessResult dry = RunProcess({kLvpublish, build, root.Path(), "--no-game-exe", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_THAT(dry.out, HasSubstr("Would publish build_1/\n"));
    EXPECT_THAT(dry.out, HasSubstr("Dry run: nothing was written.\n"));
    EXPECT_FALSE(FileExists(base + "build_folder.txt"));

    ASSERT_EQ(RunProcess({kLvpublish, build, root.Path(), "--game-exe", "game.sh"}).exitCode, 0);
    WriteFile(build + "/a.dat", "changed");
    ProcessResult second = RunProcess({kLvpublish, build, root.Path(), "--game-exe", "game.sh"});
    EXPECT_THAT(second.out, HasSubstr("Linked 1 file, wrote 1 file ("));

    // Every bad name on a line of its own, then the count.
    MakeBuild(build, {{"x y.dat", "x"}, {"file_versions.txt", "x"}});
    ProcessResult names = RunProcess({kLvpublish, build, root.Path(), "--game-exe", "game.sh"});
    EXPECT_EQ(names.exitCode, 1);
    EXPECT_THAT(names.err,
                ::testing::MatchesRegex("lvpublish: cannot publish 'file_versions.txt'.*\n"
                                        "lvpublish: cannot publish 'x y.dat'.*\n"
                                        "lvpublish: 2 files cannot be published; "
                                        "nothing changed\n"));

    ProcessResult list = RunProcess({kLvpublish, "list", root.Path()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_THAT(list.out, ::testing::MatchesRegex("build_1/ +5 B +2 files\n"
                                                  "build_2/ +current +8 B +2 files\n"));
    ProcessResult back = RunProcess({kLvpublish, "rollback", root.Path(), "build_1"});
    EXPECT_EQ(back.exitCode, 0) << back.err;
    EXPECT_EQ(ReadFile(base + "build_folder.txt"), "build_1/\n");
    ProcessResult refused = RunProcess({kLvpublish, "rollback", root.Path(), "build_7"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "lvpublish: no build build_7/ in " + base + "\n");
    ProcessResult prune = RunProcess({kLvpublish, "prune", root.Path(), "--keep", "0"});
    EXPECT_EQ(prune.exitCode, 0) << prune.err;
    EXPECT_EQ(prune.out, "nothing to remove (2 builds, all kept)\n");

    for (std::vector<std::string> args : {std::vector<std::string>{"list"},
                                          {"list", "a", "b"},
                                          {"rollback", root.Path()},
                                          {"prune", root.Path()},
                                          {"prune", root.Path(), "--keep", "x"},
                                          {"prune", root.Path(), "--keep"},
                                          {"list", root.Path(), "--bogus"}}) {
        args.insert(args.begin(), kLvpublish);
        ProcessResult usage = RunProcess(args);
        EXPECT_EQ(usage.exitCode, 2) << args[1] << " " << args.size();
        EXPECT_THAT(usage.err, HasSubstr("Try 'lvpublish --help'."));
    }
}

// nginx as a cache in front of the origin: a second launcher's run is served
// from the cache (the origin sees no request but, at most, a revalidation of
// the pointer), and a publish reaches the next run once the pointer's short
// max-age has passed.
TEST(PublishAndPatch, ACacheInFrontServesTheSecondRunAndSeesTheNextBuild) {
    TempDir work;
    TempDir root;
    MakeBuild(work.Path() + "/b1", {{"game.sh", "one"}, {"data/big.dat", Bytes(300000, 1)}});
    MakeBuild(work.Path() + "/b2", {{"game.sh", "two"}, {"data/big.dat", Bytes(300000, 2)}});
    PublishOrFail(work.Path() + "/b1", root.Path(), "game.sh");
    NginxServer origin(root.Path(), nullptr, {1, 0});
    NginxServer cache("", nullptr, {60, origin.Port()});
    std::vector<std::string> games;
    for (const char* name : {"a", "b"}) {
        games.push_back(work.Path() + "/" + name);
        WriteFile(games.back() + "/patch_server_address.txt",
                  "http://127.0.0.1:" + std::to_string(cache.Port()) + "/lanternvale_patch/\n");
    }
    ASSERT_EQ(RunProcess({kLvpatch, "--dir", games[0]}).exitCode, 0);
    const size_t mark = origin.AccessLog().size();
    ASSERT_EQ(RunProcess({kLvpatch, "--dir", games[1]}).exitCode, 0);
    for (const std::string& path : RequestsSince(origin, mark))
        EXPECT_EQ(path, "/lanternvale_patch/build_folder.txt");
    EXPECT_TRUE(ReadFile(games[1] + "/data/big.dat") == Bytes(300000, 1));
    EXPECT_THAT(cache.AccessLog().back(), HasSubstr(" HIT"));

    PublishOrFail(work.Path() + "/b2", root.Path(), "game.sh");
    // Caches count whole seconds: a max-age of 1 has passed after 2.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    ProcessResult next = RunProcess({kLvpatch, "--dir", games[0]});
    ASSERT_EQ(next.exitCode, 0) << next.err;
    EXPECT_EQ(ReadFile(games[0] + "/game.sh"), "two");
    EXPECT_TRUE(ReadFile(games[0] + "/data/big.dat") == Bytes(300000, 2));
}
