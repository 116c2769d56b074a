// Compressed copies and deltas end to end: lvpublish --delta writes them,
// nginx serves them, lvpatch picks the cheapest it can check and falls back
// when one fails.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "Manage.h"
#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "PublishHelpers.h"
#include "TestFolder.h"
#include "base/Sha256.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

const std::string kLvpatch = LVPATCH_PATH;

// Text-like bytes that compress about as well as game data does.
std::string Words(size_t n, unsigned seed) {
    static const char* kWords[] = {"stone ", "lantern ", "vale ", "river ", "keep ", "ash ",
                                   "ember ", "moss ",    "gate ", "wolf ",  "oak ",  "mire "};
    std::string s;
    unsigned x = seed * 2654435761u + 1;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s += kWords[(x >> 16) % 12];
        if ((x >> 8) % 17 == 0)
            s += std::to_string(x % 1000) + "\n";
    }
    s.resize(n);
    return s;
}

// `base` with a few stretches rewritten and one inserted, as a repacked
// archive with a few assets replaced.
std::string Edited(std::string base, unsigned seed) {
    for (size_t at : {size_t{20000}, size_t{150000}})
        base.replace(at + seed * 1000, 3000, Words(3000, seed * 7 + static_cast<unsigned>(at)));
    base.insert(90000, Words(1500, seed + 99));
    return base;
}

struct Builds {
    std::map<std::string, std::string> b1, b2, b3;
};

Builds MakeBuilds() {
    Builds b;
    b.b1 = {{"data/a.pak", Words(300000, 1)},
            {"data/b.pak", Words(200000, 2)},
            {"data/" + std::string(240, 'n') + ".pak", Words(200000, 4)},
            {"c.dat", Words(100000, 3)},
            {"small.txt", "one\n"}};
    b.b2 = b.b1;
    b.b2["data/a.pak"] = Edited(b.b1["data/a.pak"], 1);
    b.b2["data/b.pak"] = Edited(b.b1["data/b.pak"], 2);
    for (auto& [name, bytes] : b.b2)
        if (name.size() > 200)  // a name too long to take a suffix
            bytes = Edited(bytes, 4);
    b.b3 = b.b2;
    b.b3["data/a.pak"] = Edited(b.b2["data/a.pak"], 3);
    b.b3["small.txt"] = "three\n";
    return b;
}

void Publish(const std::string& build, const std::string& root, bool delta) {
    lvpublish::PublishOptions options;
    options.buildDir = build;
    options.serverRoot = root;
    options.noGameExe = true;
    options.delta = delta;
    options.deltaLevel = 3;
    lvpublish::PublishOutcome outcome = lvpublish::Publish(options);
    ASSERT_TRUE(outcome.ok) << outcome.error;
}

struct Install {
    std::string way;
    int64_t bytes = 0;
    bool fellBack = false;
};

struct PatchRun {
    ProcessResult process;
    std::map<std::string, Install> installs;
};

PatchRun Patch(const std::string& game, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {kLvpatch, "--dir", game, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    PatchRun run{RunProcess(argv), {}};
    static const std::regex kInstall(
        R"re("event":"install","file":"([^"]+)","way":"([a-z]+)","bytes":([0-9]+),"written":[0-9]+(,"fell_back")?)re");
    for (std::sregex_iterator it(run.process.out.begin(), run.process.out.end(), kInstall), end;
         it != end; ++it)
        run.installs[(*it)[1]] = {(*it)[2], std::stoll((*it)[3]), (*it)[4].matched};
    return run;
}

bool FolderHolds(const std::string& game, const std::map<std::string, std::string>& build) {
    for (const auto& [name, bytes] : build)
        if (!fs::exists(game + "/" + name) || ReadFile(game + "/" + name) != bytes)
            return false;
    return true;
}

// A server with builds 1, 2 and 3 published with --delta, and players that
// took builds 1 and 2 as they came out.
class World {
  public:
    void Start() {
        builds = MakeBuilds();
        MakeBuild(work_.Path() + "/b1", builds.b1);
        MakeBuild(work_.Path() + "/b2", builds.b2);
        MakeBuild(work_.Path() + "/b3", builds.b3);
        nginx = std::make_unique<NginxServer>(root_.Path());
        for (int n = 1; n <= 3; ++n) {
            ASSERT_NO_FATAL_FAILURE(Publish(Build(n), root_.Path(), true));
            if (n == 3)
                break;
            const std::string player = n == 1 ? Player("on1") : Copy(Player("on1"), "on2");
            ASSERT_EQ(Patch(player).process.exitCode, 0);
        }
    }

    std::string Build(int n) { return work_.Path() + "/b" + std::to_string(n); }
    std::string Root() { return root_.Path(); }
    std::string Base() { return root_.Path() + "/lanternvale_patch/"; }

    // A game folder of the players' (made empty, pointing at the server).
    std::string Player(const std::string& name, int port = 0) {
        const std::string dir = work_.Path() + "/players/" + name;
        if (!fs::exists(dir)) {
            fs::create_directories(dir);
            WriteFile(dir + "/patch_server_address.txt",
                      "http://127.0.0.1:" + std::to_string(port ? port : nginx->Port()) +
                          "/lanternvale_patch/\n");
        }
        return dir;
    }

    std::string Copy(const std::string& from, const std::string& name) {
        const std::string dir = work_.Path() + "/players/" + name;
        fs::copy(from, dir, fs::copy_options::recursive);
        return dir;
    }

    std::map<std::string, FilesToPatch::File> Manifest() {
        return ReadManifest(root_.Path(), "build_3/");
    }

    // For each file, the way the published files allow to bring `game` to
    // build 3 with the fewest bytes, and the bytes it takes.
    std::map<std::string, Install> Cheapest(const std::string& game) {
        std::map<std::string, Install> best;
        for (const auto& [name, entry] : Manifest()) {
            const std::string local = Sha256FileHex(game + "/" + name).value_or("");
            Install way{"file", entry.size};
            if (local == entry.Sha256Tag())
                way = {"present", 0};
            for (const FilesToPatch::UpdateObject& object : entry.objects)
                if (way.way != "present" && object.size < way.bytes &&
                    (object.source.empty() || local.rfind(object.source, 0) == 0))
                    way = {object.source.empty() ? "compressed" : "delta", object.size};
            best[name] = way;
        }
        return best;
    }

    // Build 3's object for `name`: the delta from `bytes`, or without them
    // the compressed copy.
    FilesToPatch::UpdateObject Object(const std::string& name, const std::string& bytes = "") {
        const std::string source =
            bytes.empty() ? "" : Sha256Hex(bytes).substr(0, FilesToPatch::kSourcePrefixLength);
        const std::map<std::string, FilesToPatch::File> manifest = Manifest();
        for (const FilesToPatch::UpdateObject& object : manifest.at(name).objects)
            if (object.source == source)
                return object;
        ADD_FAILURE() << "no object for " << name;
        return {};
    }
    std::string ObjectFile(const std::string& name, const std::string& bytes = "") {
        return Base() + ObjectPath(Object(name, bytes).sha256);
    }

    Builds builds;
    std::unique_ptr<NginxServer> nginx;

  private:
    TempDir work_;
    TempDir root_;
};

}  // namespace

// Each player ends with the exact build and, file by file, with the way that
// costs the fewest bytes of what the server offers.
TEST(Deltas, EveryPlayerTakesTheCheapestWayToTheExactBuild) {
    World w;
    ASSERT_NO_FATAL_FAILURE(w.Start());
    struct Case {
        const char* name;
        std::function<std::string()> player;
    } cases[] = {
        {"on build 1", [&] { return w.Copy(w.Player("on1"), "t1"); }},
        {"on build 2", [&] { return w.Copy(w.Player("on2"), "t2"); }},
        {"one file changed by hand",
         [&] {
             std::string game = w.Copy(w.Player("on2"), "t3");
             WriteFile(game + "/data/b.pak", Words(200000, 77));
             return game;
         }},
        {"a copied folder without a ledger",
         [&] {
             std::string game = w.Copy(w.Player("on2"), "t4");
             fs::remove(game + "/file_versions.txt");
             return game;
         }},
        {"an empty folder", [&] { return w.Player("t5"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = c.player();
        const std::map<std::string, Install> cheapest = w.Cheapest(game);
        PatchRun run = Patch(game);
        ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
        EXPECT_TRUE(FolderHolds(game, w.builds.b3));
        int64_t travelled = 0;
        for (const auto& [name, way] : cheapest) {
            auto taken = run.installs.find(name);
            if (way.way == "present" && taken == run.installs.end())
                continue;  // up to date by its ledger
            ASSERT_NE(taken, run.installs.end()) << name;
            EXPECT_EQ(taken->second.way, way.way) << name;
            EXPECT_EQ(taken->second.bytes, way.bytes) << name;
            travelled += taken->second.bytes;
        }
        // Nothing else travelled but build_folder.txt and the manifest.
        std::smatch total;
        ASSERT_TRUE(std::regex_search(run.process.out, total,
                                      std::regex(R"("bytes":([0-9]+),"bytes_written")")));
        EXPECT_LT(std::stoll(total[1]) - travelled, 2000);
    }
}

// A delta or compressed copy that fails, whatever the failure, leaves the
// installed file as it was and the next way brings the build; when every
// way fails the run fails and the file is still the player's.
TEST(Deltas, AFailingObjectFallsBackAndNeverTouchesTheInstalledFile) {
    struct Case {
        const char* name;
        std::function<void(World&, const std::string& mine)> spoil;
        const char* way;  // what brings data/a.pak in the end; "" the run fails
    } cases[] = {
        {"a corrupt delta",
         [](World& w, const std::string& mine) {
             std::string bytes = ReadFile(w.ObjectFile("data/a.pak", mine));
             bytes[bytes.size() / 2] ^= 0x55;
             WriteFile(w.ObjectFile("data/a.pak", mine), bytes);
         },
         "compressed"},
        {"a cut delta",
         [](World& w, const std::string& mine) {
             std::string bytes = ReadFile(w.ObjectFile("data/a.pak", mine));
             WriteFile(w.ObjectFile("data/a.pak", mine), bytes.substr(0, bytes.size() - 10));
         },
         "compressed"},
        {"a delta whose source is another file",
         [](World& w, const std::string& mine) {
             // The manifest names the player's bytes as the source of a
             // delta made from others: it decodes to the wrong file.
             const std::string manifest = w.Base() + "build_3/current2.txt";
             const std::string other =
                 "DELTA:" + w.Object("data/a.pak", w.builds.b2["data/a.pak"]).source;
             std::string text = ReadFile(manifest);
             text.replace(text.find(other), other.size(),
                          "DELTA:" + Sha256Hex(mine).substr(0, FilesToPatch::kSourcePrefixLength));
             WriteFile(manifest, text);
         },
         "compressed"},
        {"every way spoilt",
         [](World& w, const std::string& mine) {
             fs::remove(w.ObjectFile("data/a.pak"));
             std::string bytes = ReadFile(w.ObjectFile("data/a.pak", mine));
             bytes[bytes.size() / 2] ^= 0x55;
             WriteFile(w.ObjectFile("data/a.pak", mine), bytes);
             WriteFile(w.Base() + "build_3/data/a.pak", "spoilt");
         },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;  // the spoilt files stay spoilt
        ASSERT_NO_FATAL_FAILURE(w.Start());
        const std::string game = w.Copy(w.Player("on1"), "spoilt");
        std::string mine = ReadFile(game + "/data/a.pak");
        if (std::string(c.name) == "a delta whose source is another file") {
            mine = Words(300000, 66);  // a file no delta was made from
            WriteFile(game + "/data/a.pak", mine);
        }
        c.spoil(w, mine);
        PatchRun run = Patch(game);
        if (*c.way == '\0') {
            EXPECT_NE(run.process.exitCode, 0);
            EXPECT_TRUE(ReadFile(game + "/data/a.pak") == mine);
        } else {
            ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
            EXPECT_TRUE(FolderHolds(game, w.builds.b3));
            EXPECT_EQ(run.installs["data/a.pak"].way, c.way);
            EXPECT_TRUE(run.installs["data/a.pak"].fellBack);
        }
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(game))
            EXPECT_NE(e.path().extension(), ".lvpart") << e.path();
    }
}

// Killed while an object is on its way: the installed file is the player's,
// and the next run finishes the job.
TEST(Deltas, AKillMidwayLeavesTheFileAndTheNextRunFinishes) {
    World w;
    ASSERT_NO_FATAL_FAILURE(w.Start());
    const std::string game = w.Copy(w.Player("on2"), "killed");
    const std::string mine = Words(300000, 55);
    WriteFile(game + "/data/a.pak", mine);  // only the compressed copy fits
    const int pid = StartQuietly({kLvpatch, "--dir", game, "--limit-rate", "20KiB/s"});
    bool staged = false;
    for (int i = 0; i < 1000 && !staged; ++i) {
        for (const fs::directory_entry& e : fs::directory_iterator(game + "/data"))
            staged = staged || e.path().extension() == ".lvpart";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    KillNow(pid);
    EXPECT_TRUE(staged);
    EXPECT_TRUE(ReadFile(game + "/data/a.pak") == mine);
    PatchRun run = Patch(game);
    ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_TRUE(FolderHolds(game, w.builds.b3));
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(game))
        EXPECT_NE(e.path().extension(), ".lvpart") << e.path();
}

// A launcher that fetches whole files makes the same requests of a tree
// published with --delta as of one published without it, and a tree without
// objects is patched without a word about them.
TEST(Deltas, PlainFilesAreServedAsWithoutDeltas) {
    World w;
    ASSERT_NO_FATAL_FAILURE(w.Start());
    TempDir plainRoot;
    for (int n = 1; n <= 3; ++n)
        ASSERT_NO_FATAL_FAILURE(Publish(w.Build(n), plainRoot.Path(), false));
    NginxServer plain(plainRoot.Path());
    const std::string withDeltas = w.Copy(w.Player("on1"), "plain-a");
    const std::string without = w.Copy(w.Player("on1"), "plain-b");
    WriteFile(without + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(plain.Port()) + "/lanternvale_patch/\n");
    const size_t mark = w.nginx->AccessLog().size();
    ASSERT_EQ(Patch(withDeltas, {"--plain-files"}).process.exitCode, 0);
    PatchRun untagged = Patch(without);
    ASSERT_EQ(untagged.process.exitCode, 0);
    // A manifest without objects is patched and told as it always was.
    EXPECT_TRUE(untagged.installs.empty());
    // The request and its status; the manifests' lengths differ.
    auto requests = [](const std::vector<std::string>& log, size_t from) {
        std::vector<std::string> out;
        for (size_t i = from; i < log.size(); ++i) {
            const size_t begin = log[i].find("\"GET ");
            out.push_back(log[i].substr(begin, log[i].rfind(' ') - begin));
        }
        return out;
    };
    EXPECT_EQ(requests(w.nginx->AccessLog(), mark), requests(plain.AccessLog(), 0));
    EXPECT_TRUE(FolderHolds(withDeltas, w.builds.b3));
}

// Pruning a build takes the objects only it had use for: the deltas from
// its files and its own compressed copies; a player of a kept build still
// gets its delta.
TEST(Deltas, PruneRemovesWhatLeadsFromRemovedBuildsOnly) {
    World w;
    ASSERT_NO_FATAL_FAILURE(w.Start());
    const std::string fromOne = w.ObjectFile("data/a.pak", w.builds.b1["data/a.pak"]);
    const std::string fromTwo = w.ObjectFile("data/a.pak", w.builds.b2["data/a.pak"]);
    const std::string compressed = w.ObjectFile("data/a.pak");
    // Build 1's own compressed copy, which no later build names.
    const std::string buildOneCopy =
        w.Base() +
        ObjectPath(ReadManifest(w.Root(), "build_1/")["data/a.pak"].objects.at(0).sha256);
    ASSERT_TRUE(fs::exists(buildOneCopy));
    lvpublish::ManageOutcome pruned = lvpublish::Prune(w.Root(), 1, false);
    ASSERT_TRUE(pruned.ok) << pruned.error;
    EXPECT_FALSE(fs::exists(w.Base() + "build_1"));
    EXPECT_FALSE(fs::exists(fromOne));
    EXPECT_FALSE(fs::exists(buildOneCopy));
    EXPECT_TRUE(fs::exists(fromTwo));
    EXPECT_TRUE(fs::exists(compressed));
    PatchRun run = Patch(w.Copy(w.Player("on2"), "after-prune"));
    ASSERT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_EQ(run.installs["data/a.pak"].way, "delta");
}
