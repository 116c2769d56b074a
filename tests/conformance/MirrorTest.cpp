// Many servers: a patch server with mirrors (real nginx instances and a
// scripted one that fails in each way a mirror fails), a signed mirror list
// that nobody else can extend, and the fallback for a patch server that is
// down. Runs are in process, with the run's settings in hand.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "Repository.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "base/Sha256.h"
#include "patch/MirrorList.h"

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

std::string Url(int port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/lanternvale_patch/";
}

std::map<std::string, std::string> Build(int seed) {
    std::map<std::string, std::string> files = {{"game.exe", "game " + std::to_string(seed)}};
    for (int i = 0; i < 8; ++i) {
        std::string data(150000 + 1000 * i, '\0');
        for (size_t k = 0; k < data.size(); ++k)
            data[k] = static_cast<char>((k * 131 + static_cast<size_t>(i * 7 + seed)) % 251);
        files["data/part" + std::to_string(i) + ".dat"] = data;
    }
    return files;
}

// What the run said of its servers.
class ServerLog : public RunLog {
  public:
    void OnRequest(const Request& request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        urls.push_back(request.url);
    }
    void OnFetch(const std::string&, FetchReason) override {}
    void OnFailure(const std::string&) override {}
    void OnServerSkipped(const std::string& server, const std::string& why) override {
        std::lock_guard<std::mutex> lock(mutex_);
        skipped.push_back(server + ": " + why);
    }
    void OnServerNote(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        notes.push_back(text);
    }
    std::string Skipped() const {
        std::string all;
        for (const std::string& line : skipped)
            all += line + "\n";
        return all;
    }

    std::vector<std::string> urls, skipped, notes;

  private:
    std::mutex mutex_;
};

// Access-log lines of `nginx` that fetched a game data file.
int DataRequests(const NginxServer& nginx) {
    int count = 0;
    for (const std::string& line : nginx.AccessLog())
        count += line.find("/data/") != std::string::npos;
    return count;
}

// A copy of `repo`'s served tree as it is now, in a folder of its own.
std::string CopyTree(const Repository& repo, std::vector<std::unique_ptr<TempDir>>* copies) {
    copies->push_back(std::make_unique<TempDir>());
    fs::copy(repo.Root(), copies->back()->Path(), fs::copy_options::recursive);
    return copies->back()->Path();
}

using Fault = std::function<std::optional<TestReply>(const TestRequest&, const std::string&)>;

// The tree at `root`, served by a scripted server that hands each request to
// `fault` first; its answer stands when it gives one.
std::unique_ptr<TestHttpServer> ScriptedMirror(const std::string& root, Fault fault) {
    return std::make_unique<TestHttpServer>([root, fault](const TestRequest& request) {
        TestReply reply;
        if (!FileExists(root + request.path)) {
            reply.status = 404;
            return reply;
        }
        const std::string body = ReadFile(root + request.path);
        if (std::optional<TestReply> faulty = fault(request, body))
            return *faulty;
        reply.body = body;
        return reply;
    });
}

void ExpectInstalled(const std::map<std::string, std::string>& build) {
    for (const auto& [name, content] : build)
        EXPECT_TRUE(ReadFile(name) == content) << name;
}

class Mirrors : public ::testing::Test {
  protected:
    void SetUp() override {
        run.mirrorList = true;
        run.width = 4;
        run.log = &log;
        run.limits.lowSpeedSeconds = 1;
    }
    void TearDown() override { SetTrustedKeyForTests(""); }

    FreshSettings settings;
    TestFolder game;
    std::vector<std::unique_ptr<TempDir>> copies;
    ServerLog log;
    RunContext run = TestRun();
};

}  // namespace

// Each way a mirror fails: it is skipped for the rest of the run, the
// transfer goes on from another server, and every file installed is the
// published one. The healthy mirror takes a share of the transfers.
TEST_F(Mirrors, AFailingMirrorIsSkippedAndTheTransferGoesOnElsewhere) {
    auto onData = [](std::function<TestReply(const std::string&)> make) -> Fault {
        return [make](const TestRequest& request, const std::string& body) {
            return request.path.find("/data/") != std::string::npos
                       ? std::optional<TestReply>(make(body))
                       : std::nullopt;
        };
    };
    auto reply = [](TestReply::Kind kind, int status, size_t sendBytes) {
        return [=](const std::string& body) {
            TestReply r;
            r.kind = kind;
            r.status = status;
            r.body = body;
            r.sendBytes = sendBytes;
            return r;
        };
    };
    struct Case {
        const char* name;
        Fault fault;      // empty: nothing listens at the mirror's address
        const char* why;  // nullptr: kept, but the transfer moved
        bool resumedElsewhere;
        // When a slow transfer moves; later than a stall ends it (1 s here)
        // but for the trickle.
        long speedSampleSeconds = 60;
    } cases[] = {
        {"refuses connections", {}, "its manifest build_1/current2.txt did not come", false},
        {"answers 503", onData(reply(TestReply::Kind::kNormal, 503, 0)), "answered 503", false},
        {"stalls", onData(reply(TestReply::Kind::kStallInBody, 200, 20000)), "broke off", true},
        {"resets", onData(reply(TestReply::Kind::kResetInBody, 200, 60000)), "broke off", true},
        // The server that goes on with it is not blamed for the bytes before.
        {"resets after other bytes", onData([](const std::string& body) {
             TestReply r;
             r.kind = TestReply::Kind::kResetInBody;
             r.body = body;
             r.body[1000] ^= 1;
             r.sendBytes = 60000;
             return r;
         }),
         "broke off", true},
        // Above the stall bound, but the others would bring the rest far
        // sooner: not skipped, the rest comes from another.
        {"trickles", onData([](const std::string& body) {
             TestReply r;
             r.kind = TestReply::Kind::kTrickle;
             r.body = body;
             r.blockSize = 128;
             r.trickleMicroseconds = 20000;
             return r;
         }),
         nullptr, true, 2},
        {"serves other bytes", onData([](const std::string& body) {
             TestReply r;
             r.body = body;
             r.body[r.body.size() / 2] ^= 1;
             return r;
         }),
         "does not have the published SHA-256", false},
        {"is on another build",
         [](const TestRequest& request, const std::string& body) -> std::optional<TestReply> {
             if (request.path.find("current2.txt") == std::string::npos)
                 return std::nullopt;
             TestReply r;
             r.body = body + "data/extra.dat 1\n";
             return r;
         },
         "it serves another build", false},
    };
    // Two in flight: a new transfer always finds a server with none in
    // flight, so the failing one never holds two at once and is asked for a
    // game file once at most.
    run.width = 2;
    const std::map<std::string, std::string> build = Build(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder folder;
        ServerLog caseLog;
        run.log = &caseLog;
        run.limits.speedSampleSeconds = c.speedSampleSeconds;
        Repository repo;
        repo.Publish(build, "game.exe", false);
        NginxServer origin(repo.Root());
        PointAt(origin.Port());
        std::unique_ptr<TestHttpServer> scripted =
            c.fault ? ScriptedMirror(CopyTree(repo, &copies), c.fault) : nullptr;
        NginxServer good(CopyTree(repo, &copies));
        MirrorList list;
        list.mirrors = {Url(scripted ? scripted->Port() : FreeLoopbackPort()), Url(good.Port())};
        repo.Write(kMirrorListFileName, FormatMirrorList(list));

        RecordingSurface surface;
        ASSERT_TRUE(surface.RunPatch(run)) << caseLog.Skipped();
        ExpectInstalled(build);
        if (c.why) {
            ASSERT_EQ(caseLog.skipped.size(), 1u) << caseLog.Skipped();
            EXPECT_THAT(caseLog.skipped[0], HasSubstr(list.mirrors[0] + ": "));
            EXPECT_THAT(caseLog.skipped[0], HasSubstr(c.why));
        } else {
            EXPECT_THAT(caseLog.skipped, IsEmpty());
            EXPECT_THAT(caseLog.notes, Contains(AllOf(HasSubstr("the rest comes from"),
                                                      HasSubstr(list.mirrors[0]))));
        }
        EXPECT_GE(DataRequests(good), 1) << "the healthy mirror took no share";
        if (scripted) {
            int dataAsked = 0;
            for (const TestRequest& request : scripted->Requests())
                dataAsked += request.path.find("/data/") != std::string::npos;
            EXPECT_LE(dataAsked, 1) << "a skipped mirror was asked again";
        }
        if (c.resumedElsewhere) {
            bool ranged = false;
            for (const NginxServer* server : {&origin, &good})
                for (const std::string& line : server->AccessLog())
                    ranged = ranged || line.find("\" 206 ") != std::string::npos;
            EXPECT_TRUE(ranged) << "the broken transfer started again instead of going on";
        }
    }
}

// With a key, the mirror list counts only as lvpublish signed it for the
// build being installed: a list that someone who can write the served tree
// extended, left unsigned or carried over from another build is refused, no
// mirror of it is asked, and the run goes on from the patch server alone.
TEST_F(Mirrors, ASignedBuildTakesOnlyTheListSignedForIt) {
    SetTrustedKeyForTests(TestKey().publicHex);
    Repository repo;
    const std::map<std::string, std::string> first = Build(1);
    const std::map<std::string, std::string> second = Build(2);
    // The mirror's address must be in the list before it is signed, and its
    // copy taken after: nginx gets the port the list names.
    const int mirrorPort = FreeLoopbackPort();
    repo.mirrors = {Url(mirrorPort)};
    repo.Publish(first, "game.exe");
    const std::string firstList = repo.Read(kMirrorListFileName);
    repo.Publish(second, "game.exe");
    const std::string signedList = repo.Read(kMirrorListFileName);
    NginxServer origin(repo.Root());
    const std::string mirrorRoot = CopyTree(repo, &copies);
    TestHttpServer evil(TestHttpServer::Files({}));

    std::string extended = signedList;
    extended.insert(extended.find("signature "), "mirror " + Url(evil.Port()) + "\n");
    MirrorList unsignedList;
    unsignedList.mirrors = {Url(evil.Port())};
    struct Case {
        const char* name;
        std::string list;
        const char* refusal;  // nullptr: taken
    } cases[] = {
        {"extended", extended, "its signature does not verify"},
        {"unsigned", FormatMirrorList(unsignedList), "it is not signed"},
        {"of the build before", firstList, "it was signed for another build"},
        {"as signed", signedList, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder folder;
        PointAt(origin.Port());
        ServerLog caseLog;
        run.log = &caseLog;
        repo.Write(kMirrorListFileName, c.list);
        NginxServer mirror(mirrorRoot, nullptr, {60, 0, mirrorPort});
        RecordingSurface surface;
        ASSERT_TRUE(surface.RunPatch(run))
            << (surface.boxes.empty() ? "" : surface.boxes[0].text) << caseLog.Skipped();
        ExpectInstalled(second);
        EXPECT_EQ(evil.Requests().size(), 0u);
        if (c.refusal) {
            EXPECT_EQ(DataRequests(mirror), 0);
            ASSERT_FALSE(caseLog.notes.empty());
            EXPECT_EQ(caseLog.notes.back(),
                      std::string("the mirror list is refused: ") + c.refusal);
        } else {
            EXPECT_GE(DataRequests(mirror), 1);
            EXPECT_EQ(caseLog.skipped.size(), 0u) << caseLog.Skipped();
        }
    }

    // Nor does the next signed publish carry a planted list over as its own.
    repo.Write(kMirrorListFileName, FormatMirrorList(unsignedList));
    repo.mirrors.clear();
    repo.Publish(first, "game.exe");
    EXPECT_FALSE(FileExists(repo.Base() + kMirrorListFileName));
}

// A patch server that cannot be reached: a launcher built with fallbacks
// takes the text files and the build from the first that answers, and one
// built without fails as it always did.
TEST_F(Mirrors, AFallbackStandsInForAPatchServerThatIsDown) {
    Repository repo;
    const std::map<std::string, std::string> build = Build(1);
    repo.Publish(build, "game.exe", false);
    NginxServer fallback(CopyTree(repo, &copies));
    TestHttpServer busy([](const TestRequest&) {
        TestReply reply;
        reply.status = 503;
        return reply;
    });
    const int down = FreeLoopbackPort();
    PointAt(down);
    run.mirrorList = false;
    run.fallbacks = {Url(busy.Port()), Url(fallback.Port())};
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run)) << log.Skipped();
    ExpectInstalled(build);
    EXPECT_EQ(log.Skipped(), Url(busy.Port()) + ": its build_folder.txt did not come\n" +
                                 Url(down) + ": it could not be reached\n");
    EXPECT_THAT(log.notes,
                ::testing::Contains("text files from the fallback " + Url(fallback.Port())));

    TestFolder again;
    PointAt(down);
    run.fallbacks.clear();
    RecordingSurface alone;
    EXPECT_FALSE(alone.RunPatch(run));
    EXPECT_THAT(alone.BoxCaptions(), ::testing::ElementsAre("Patch Server Unavailable"));
}

// A launcher that does not take the mirror list asks exactly what it asked
// before there were mirrors; lvpatch --mirrors takes it and says which
// server it skipped and why.
TEST_F(Mirrors, TheListIsReadOnlyWhenSwitchedOnAndTheConsoleSaysWhatItSkipped) {
    Repository repo;
    const std::map<std::string, std::string> build = Build(1);
    repo.Publish(build, "game.exe", false);
    NginxServer origin(repo.Root());
    NginxServer mirror(CopyTree(repo, &copies));
    const int down = FreeLoopbackPort();
    MirrorList list;
    list.mirrors = {Url(down), Url(mirror.Port())};
    repo.Write(kMirrorListFileName, FormatMirrorList(list));
    PointAt(origin.Port());

    RunContext plain = TestRun();
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(plain));
    ExpectInstalled(build);
    EXPECT_EQ(origin.CountRequests("/lanternvale_patch/mirrors.txt"), 0);
    EXPECT_EQ(mirror.AccessLog().size(), 0u);

    TestFolder player;
    PointAt(origin.Port());
    ProcessResult lvpatch = RunProcess(
        {LVPATCH_PATH, "--dir", player.Path(), "--mirrors", "--parallel", "2", "--verbose"});
    ASSERT_EQ(lvpatch.exitCode, 0) << lvpatch.err;
    EXPECT_EQ(ReadFile(player.Path() + "/data/part0.dat"), build.at("data/part0.dat"));
    EXPECT_THAT(lvpatch.err, HasSubstr("lvpatch: mirror list: 2 mirrors\n"));
    EXPECT_THAT(lvpatch.err, HasSubstr("lvpatch: skipping " + Url(down) +
                                       " for the rest of the run: its manifest "
                                       "build_1/current2.txt did not come\n"));
    EXPECT_THAT(lvpatch.err, HasSubstr("GET " + Url(mirror.Port()) + "build_1/data/"));
}

// Only bytes that the manifest's size and SHA-256 judge come from a mirror:
// a file the manifest gives neither for comes from the patch server, as do
// the size queries.
TEST_F(Mirrors, FilesNoHashJudgesComeFromThePatchServer) {
    TempDir root;
    const std::map<std::string, std::string> build = Build(1);
    std::vector<BuildFile> files;
    for (const auto& [name, content] : build)
        files.push_back({name, content, 1, "SHA256:" + Sha256Hex(content)});
    for (int i = 0; i < 4; ++i)
        files.push_back({"loose" + std::to_string(i) + ".cfg", "unhashed", 1, "", false});
    PublishBuild(root.Path(), files);
    NginxServer origin(root.Path());
    TempDir copy;
    fs::copy(root.Path(), copy.Path(), fs::copy_options::recursive);
    NginxServer mirror(copy.Path());
    MirrorList list;
    list.mirrors = {Url(mirror.Port())};
    WriteFile(root.Path() + "/lanternvale_patch/" + kMirrorListFileName, FormatMirrorList(list));
    PointAt(origin.Port());

    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run)) << log.Skipped();
    ExpectInstalled(build);
    EXPECT_GE(DataRequests(mirror), 1);
    for (int i = 0; i < 4; ++i) {
        const std::string name = "loose" + std::to_string(i) + ".cfg";
        EXPECT_EQ(ReadFile(name), "unhashed");
        EXPECT_EQ(mirror.CountRequests("/lanternvale_patch/build_1/" + name), 0);
        // Its size query brought it whole (four in flight keep small bodies).
        EXPECT_EQ(origin.CountRequests("/lanternvale_patch/build_1/" + name), 1);
    }
}
