// Each attack on the update channel a case: a repository in the state the
// attacker makes, a patch run of a launcher that trusts the tests' key (in
// process and as the lvpatch program), and the checks that nothing was
// installed, earlier good files are intact and the refusal names its check.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "Repository.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/HttpFetch.h"
#include "patch/KeyList.h"
#include "patch/LocalTrust.h"
#include "state/VerifiedFiles.h"

using ::testing::HasSubstr;

extern char** environ;

namespace {

const char kRefusedCaption[] = "Update Could Not Be Verified";
const std::string kLvpatch = LVPATCH_TESTKEY_PATH;

const std::map<std::string, std::string> kGood = {
    {"game.exe", "the real game, version 1"},
    {"data/map.dat", "map data"},
};

class Trust : public ::testing::Test {
  protected:
    void SetUp() override { SetTrustedKeyForTests(TestKey().publicHex); }
    void TearDown() override {
        SetTrustedKeyForTests("");
        SetAcceptedChannelForTests("lantern-vale", "live");
    }

    void Serve() {
        nginx = std::make_unique<NginxServer>(repo.Root());
        PointAt(nginx->Port());
    }

    // A player who has installed the first good build.
    void InstallGoodBuild() {
        repo.Publish(kGood, "game.exe");
        Serve();
        RecordingSurface surface;
        ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);
        ASSERT_EQ(ReadFile("game.exe"), kGood.at("game.exe"));
    }

    static std::string Boxes(const RecordingSurface& surface) {
        std::string all;
        for (const RecordingSurface::Box& box : surface.boxes)
            all += box.caption + ": " + box.text + "\n";
        return all;
    }

    // The run refuses the build for `check`, in process and as a program,
    // and leaves the game folder byte for byte as it was.
    void ExpectRefused(TrustCheck check, bool alsoByTheProgram = true) {
        const auto before = FolderContents(game.Path());
        RecordingSurface surface;
        EXPECT_FALSE(surface.RunPatch(run));
        ASSERT_EQ(surface.boxes.size(), 1u) << Boxes(surface);
        EXPECT_EQ(surface.boxes[0].caption, kRefusedCaption);
        EXPECT_THAT(surface.boxes[0].text,
                    HasSubstr("The update could not be verified and nothing was changed"));
        EXPECT_THAT(surface.boxes[0].text,
                    HasSubstr(std::string("Reason: ") + TrustCheckText(check) + "."));
        EXPECT_TRUE(surface.m_gameExe.empty());
        EXPECT_FALSE(surface.m_launcherUpdatePending);
        EXPECT_EQ(FolderContents(game.Path()), before);
        if (!alsoByTheProgram)
            return;

        ProcessResult lvpatch = RunProcess({kLvpatch, "--dir", game.Path()});
        EXPECT_EQ(lvpatch.exitCode, 1) << lvpatch.out << lvpatch.err;
        EXPECT_THAT(lvpatch.err, HasSubstr(std::string("Reason: ") + TrustCheckText(check)));
        EXPECT_THAT(lvpatch.err, ::testing::EndsWith(std::string("lvpatch: failed: trust: ") +
                                                     TrustCheckText(check) + "\n"));
        EXPECT_EQ(FolderContents(game.Path()), before);
    }

    FreshSettings settings;
    TestFolder game;
    Repository repo;
    std::unique_ptr<NginxServer> nginx;
    RunContext run = TestRun();
};

}  // namespace

TEST_F(Trust, SignedBuildsInstallAndANewerOneReplacesThem) {
    InstallGoodBuild();
    EXPECT_EQ(ReadAcceptedSerial(), 1u);

    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "the real game, version 2";
    repo.Publish(next, "game.exe");
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);
    EXPECT_EQ(ReadFile("game.exe"), next["game.exe"]);
    EXPECT_EQ(surface.m_gameExe, "game.exe");
    EXPECT_EQ(ReadAcceptedSerial(), 2u);

    // The program sees the same build as current and installs nothing new.
    ProcessResult lvpatch = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(lvpatch.exitCode, 0) << lvpatch.err;
    EXPECT_THAT(lvpatch.out, HasSubstr("game: game.exe"));
}

TEST_F(Trust, ArbitraryInstallationOfAnUnsignedBuild) {
    InstallGoodBuild();
    // The attacker's own build, complete with hashes, but nobody signed it.
    const std::string evil = repo.Publish({{"game.exe", "malware"}}, "game.exe", false);
    ExpectRefused(TrustCheck::kMissing);
    // Or with a statement that is not one.
    repo.Write(evil + kStatementFileName, "<html>Not found</html>\n");
    ExpectRefused(TrustCheck::kMalformed);
}

TEST_F(Trust, ArbitraryInstallationThroughAnAlteredManifestOrStatement) {
    InstallGoodBuild();
    const std::string folder = repo.Publish({{"game.exe", "version 2"}}, "game.exe");
    const std::string manifest = repo.Read(folder + kManifestFileName);
    repo.Write(folder + kManifestFileName,
               manifest + "evil.exe 1 GAME_EXE SHA256:" + Sha256Hex("malware") + "\n");
    repo.Write(folder + "evil.exe", "malware");
    ExpectRefused(TrustCheck::kManifestMismatch);

    // The statement edited to match the new manifest breaks its signature.
    const std::string statement = repo.Read(folder + kStatementFileName);
    const std::string oldHash = Sha256Hex(manifest);
    std::string edited = statement;
    edited.replace(edited.find(oldHash), oldHash.size(),
                   Sha256Hex(repo.Read(folder + kManifestFileName)));
    repo.Write(folder + kStatementFileName, edited);
    ExpectRefused(TrustCheck::kBadSignature);
}

TEST_F(Trust, WrongKey) {
    InstallGoodBuild();
    TempDir keys;
    const std::string otherKey = keys.Path() + "/other.key";
    std::optional<SigningKey> other = GenerateSigningKey();
    ASSERT_TRUE(other);
    WriteFile(otherKey, other->privatePem);
    ::chmod(otherKey.c_str(), 0600);
    repo.Publish({{"game.exe", "signed, but not by the operator"}}, "game.exe", true, otherKey);
    ExpectRefused(TrustCheck::kWrongKey);
}

TEST_F(Trust, Rollback) {
    InstallGoodBuild();
    const std::string first = repo.Statement("build_1/").buildFolder;
    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "version 2, which fixes a hole in version 1";
    repo.Publish(next, "game.exe");
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);

    // Version 1 is genuine, still signed and not expired: only the serial
    // tells that it is older than what the player has.
    repo.SetCurrent(first);
    ExpectRefused(TrustCheck::kRollback);
    EXPECT_EQ(ReadFile("game.exe"), next["game.exe"]);
}

TEST_F(Trust, IndefiniteFreeze) {
    InstallGoodBuild();
    // The attacker keeps serving a genuine build whose statement has expired.
    BuildStatement statement = repo.Statement("build_1/");
    statement.expires = std::time(nullptr) - 60;
    repo.WriteStatement("build_1/", statement);
    ExpectRefused(TrustCheck::kExpired);

    // The operator renews it with resign; the same build is good again.
    ProcessResult resign =
        RunProcess({LVPUBLISH_PATH, "resign", repo.Root(), "--sign-key", repo.KeyFile()});
    ASSERT_EQ(resign.exitCode, 0) << resign.err;
    RecordingSurface surface;
    EXPECT_TRUE(surface.RunPatch()) << Boxes(surface);
}

TEST_F(Trust, MixAndMatch) {
    InstallGoodBuild();
    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "version 2";
    const std::string second = repo.Publish(next, "game.exe");

    // build_1's signed manifest and statement served as build_2.
    repo.Write(second + kManifestFileName, repo.Read("build_1/" + std::string(kManifestFileName)));
    repo.Write(second + kStatementFileName,
               repo.Read("build_1/" + std::string(kStatementFileName)));
    ExpectRefused(TrustCheck::kOtherBuildFolder);

    // build_2's statement with build_1's manifest.
    repo.Write(second + kStatementFileName,
               repo.Read("build_1/" + std::string(kStatementFileName)));
    repo.Publish(next, "game.exe");  // build_3, genuine
    repo.Write("build_3/" + std::string(kManifestFileName),
               repo.Read("build_1/" + std::string(kManifestFileName)));
    ExpectRefused(TrustCheck::kManifestMismatch);
}

TEST_F(Trust, EveryEntryMustCarryItsHash) {
    InstallGoodBuild();
    // A genuine signature over a manifest that leaves one file unchecked
    // (an operator's hand-made build, say) is still refused.
    const std::string folder = "build_7/";
    const std::string manifest = "game.exe 1 GAME_EXE SHA256:" + Sha256Hex("x") + "\nplain.dat 1\n";
    repo.Write(folder + kManifestFileName, manifest);
    repo.SetCurrent(folder);
    BuildStatement statement;
    statement.product = AcceptedProduct();
    statement.channel = AcceptedChannel();
    statement.buildFolder = folder;
    statement.serial = 7;
    statement.manifestSha256 = Sha256Hex(manifest);
    statement.expires = std::time(nullptr) + 3600;
    repo.WriteStatement(folder, statement);
    ExpectRefused(TrustCheck::kUnhashedEntry);
}

// The statement from a server that sends it endlessly or too slowly to
// finish: no whole answer, so no statement.
TEST_F(Trust, EndlessDataAndSlowRetrieval) {
    InstallGoodBuild();
    std::map<std::string, std::string> files;
    for (const auto& [path, content] : FolderContents(repo.Root()))
        files["/" + path] = content;
    TestHttpServer::Handler serve = TestHttpServer::Files(files);
    // The server's threads read the attack while the test changes it.
    std::mutex attackLock;
    TestReply attack;
    auto setAttack = [&](TestReply::Kind kind, std::string body, size_t sendBytes = 0) {
        std::lock_guard<std::mutex> lock(attackLock);
        attack.kind = kind;
        attack.body = std::move(body);
        attack.sendBytes = sendBytes;
    };
    TestHttpServer server([&](const TestRequest& request) {
        if (request.path.find(kStatementFileName) != std::string::npos) {
            std::lock_guard<std::mutex> lock(attackLock);
            return attack;
        }
        return serve(request);
    });
    PointAt(server.Port());
    run.limits.lowSpeedSeconds = 1;

    const std::string statement =
        files["/lanternvale_patch/build_1/" + std::string(kStatementFileName)];
    // The good statement, then no end.
    setAttack(TestReply::Kind::kNoLength, statement + std::string(8 << 20, '\n'));
    ExpectRefused(TrustCheck::kMissing);

    setAttack(TestReply::Kind::kStallInBody, statement, 10);
    // In process only: the program would wait out the full stall limit.
    ExpectRefused(TrustCheck::kMissing, false);
}

TEST_F(Trust, AKillDuringTheCheckLeavesTheLastVerifiedManifestInPlace) {
    // The window starts programs from the local manifest at its next start:
    // a launcher ended while it checks a build (a kill, or the player
    // closing the window) must not leave the unverified one there.
    InstallGoodBuild();
    const std::string verified = ReadFile(kManifestFileName);
    repo.Publish({{"game.exe", "malware"}, {"evil.exe", "malware"}}, "evil.exe", false);
    std::map<std::string, std::string> files;
    for (const auto& [path, content] : FolderContents(repo.Root()))
        files["/" + path] = content;
    TestHttpServer::Handler serve = TestHttpServer::Files(files);
    TestHttpServer server([&](const TestRequest& request) {
        if (request.path.find(kStatementFileName) == std::string::npos)
            return serve(request);
        TestReply stall;
        stall.kind = TestReply::Kind::kStall;
        return stall;
    });
    PointAt(server.Port());

    const int pid = StartQuietly({kLvpatch, "--dir", game.Path()});
    auto statementAsked = [&] {
        for (const TestRequest& request : server.Requests())
            if (request.path.find(kStatementFileName) != std::string::npos)
                return true;
        return false;
    };
    for (int i = 0; i < 3000 && !statementAsked(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KillNow(pid);
    ASSERT_TRUE(statementAsked());
    EXPECT_EQ(ReadFile(kManifestFileName), verified);
    EXPECT_FALSE(FileExists("evil.exe"));

    // The next run of the launcher clears what the killed one staged.
    Serve();
    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    EXPECT_EQ(ReadFile(kManifestFileName), verified);
    EXPECT_FALSE(FileExists(std::string(kManifestFileName) + ".unverified"));
}

TEST_F(Trust, WithoutAKeyNothingChanges) {
    // An unsigned build served to a launcher built without a key installs
    // with exactly the requests it always made: no statement is asked for.
    SetTrustedKeyForTests("");
    repo.Publish(kGood, "game.exe", false);
    Serve();
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);
    EXPECT_EQ(nginx->CountRequests("/lanternvale_patch/build_1/" + std::string(kStatementFileName)),
              0);
    EXPECT_FALSE(FileExists(kStatementFileName));
    EXPECT_FALSE(FileExists(kTrustStateFileName));
}

namespace {

// One file of the current build replaced on the server by other bytes of
// the same length: what a man in the middle does to a signed build.
void Tamper(Repository& repo, const std::string& name) {
    const std::string folder = repo.Read("build_folder.txt");
    const std::string path = folder.substr(0, folder.size() - 1) + name;
    std::string bytes = repo.Read(path);
    bytes[bytes.size() / 2] ^= 0x20;
    repo.Write(path, bytes);
}

}  // namespace

TEST_F(Trust, ArbitraryInstallationOfTamperedBytes) {
    InstallGoodBuild();
    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "the real game, version 2";
    repo.Publish(next, "game.exe");
    Tamper(repo, "game.exe");

    RecordingSurface surface;
    EXPECT_FALSE(surface.RunPatch());
    ASSERT_EQ(surface.boxes.size(), 1u);
    EXPECT_EQ(surface.boxes[0].caption, "Verify Unsuccessful Error");
    EXPECT_TRUE(surface.m_gameExe.empty());
    // The tampered program is not left where Play would start it, nor
    // recorded: a copy that could not be deleted would pass the next run.
    EXPECT_TRUE(!FileExists("game.exe") || ReadFile("game.exe") != repo.Read("build_2/game.exe"));
    EXPECT_THAT(ReadFile("file_versions.txt"), ::testing::Not(HasSubstr("game.exe 2")));
    EXPECT_EQ(ReadFile("data/map.dat"), kGood.at("data/map.dat"));

    ProcessResult lvpatch = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(lvpatch.exitCode, 1);
    EXPECT_THAT(lvpatch.out, ::testing::Not(HasSubstr("game: ")));
}

TEST_F(Trust, SelfUpdateOnlyWithTheSignedLauncher) {
    WriteFile(kLauncherExe, "the running launcher");
    std::map<std::string, std::string> build = kGood;
    build[kNewLauncherExe] = "the next launcher, signed";
    repo.Publish(build, "game.exe");
    Tamper(repo, kNewLauncherExe);
    Serve();

    RecordingSurface tampered;
    EXPECT_FALSE(tampered.RunPatch());
    // Nothing for the window to hand over to.
    EXPECT_FALSE(tampered.m_launcherUpdatePending);
    EXPECT_FALSE(FileExists(kNewLauncherExe));

    repo.Publish(build, "game.exe");  // the genuine one, as the next build
    RecordingSurface genuine;
    ASSERT_TRUE(genuine.RunPatch()) << Boxes(genuine);
    EXPECT_TRUE(genuine.m_launcherUpdatePending);
    EXPECT_EQ(ReadFile(kNewLauncherExe), build[kNewLauncherExe]);
}

// Hashes count in every build, key or none, whenever the manifest has them.
TEST_F(Trust, ContentHashesWithoutAKeyAndRepair) {
    SetTrustedKeyForTests("");
    repo.Publish(kGood, "game.exe", false);
    Serve();
    Tamper(repo, "game.exe");
    RecordingSurface tampered;
    EXPECT_FALSE(tampered.RunPatch());
    EXPECT_FALSE(FileExists("game.exe"));
    // The server fixed, the next run fetches the file again.
    repo.Write("build_1/game.exe", kGood.at("game.exe"));
    RecordingSurface fixed;
    ASSERT_TRUE(fixed.RunPatch()) << Boxes(fixed);

    // Damage on the player's disk that size and ledger cannot see.
    std::string damaged = kGood.at("data/map.dat");
    damaged[0] ^= 1;
    WriteFile("data/map.dat", damaged);
    ProcessResult plain = RunProcess({LVPATCH_PATH, "--dir", game.Path()});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(ReadFile("data/map.dat"), damaged);

    ProcessResult repair = RunProcess({LVPATCH_PATH, "--dir", game.Path(), "--repair"});
    EXPECT_EQ(repair.exitCode, 0) << repair.err;
    EXPECT_THAT(repair.out, HasSubstr("repair: 2 files checked, 1 repaired"));
    EXPECT_EQ(ReadFile("data/map.dat"), kGood.at("data/map.dat"));
}

TEST_F(Trust, AStagingBuildSignedWithTheSameKeyIsRefusedByALiveLauncher) {
    InstallGoodBuild();
    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "the staging game, not yet for players";
    repo.Publish(next, "game.exe", true, "", "staging");
    ExpectRefused(TrustCheck::kOtherChannel);

    // A launcher built for staging takes it.
    SetAcceptedChannelForTests("lantern-vale", "staging");
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);
    EXPECT_EQ(ReadFile("game.exe"), next["game.exe"]);
}

namespace {

const std::string kKeyListPath = "/lanternvale_patch/" + std::string(kKeyListFileName);

// A new build key in a file of `dir`, as lvpublish keygen writes one.
std::string NewKeyFile(const TempDir& dir, const std::string& name) {
    std::optional<SigningKey> key = GenerateSigningKey();
    EXPECT_TRUE(key);
    const std::string path = dir.Path() + "/" + name;
    WriteFile(path, key ? key->privatePem : "");
    ::chmod(path.c_str(), 0600);
    return path;
}

void Rotate(Repository& repo, const std::string& newKeyFile) {
    ProcessResult rotate = RunProcess({LVPUBLISH_PATH, "rotate", repo.Root(), "--root-key",
                                       repo.KeyFile(), "--new-key", newKeyFile});
    ASSERT_EQ(rotate.exitCode, 0) << rotate.err;
}

}  // namespace

TEST_F(Trust, ABuildSignedByARotatedBuildKeyInstalls) {
    TempDir keys;
    const std::string buildKey = NewKeyFile(keys, "build.key");
    Rotate(repo, buildKey);
    // The root key's own builds need no list: it is not even asked for.
    InstallGoodBuild();
    EXPECT_EQ(nginx->CountRequests(kKeyListPath), 0);
    EXPECT_FALSE(FileExists(kKeyListFileName));

    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "the real game, signed by the build key";
    repo.Publish(next, "game.exe", true, buildKey);
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch()) << Boxes(surface);
    EXPECT_EQ(ReadFile("game.exe"), next["game.exe"]);
    EXPECT_EQ(nginx->CountRequests(kKeyListPath), 1);
    // Kept beside the statement it let through.
    EXPECT_EQ(ReadFile(kKeyListFileName), repo.Read(kKeyListFileName));

    ProcessResult lvpatch = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(lvpatch.exitCode, 0) << lvpatch.err;
    EXPECT_EQ(nginx->CountRequests(kKeyListPath), 2);

    // The first key is dropped (stolen, say): the next key's first build
    // goes on above the serials players took, and the older list, which
    // still names the dropped key, is no longer taken once the new one was.
    const std::string older = repo.Read(kKeyListFileName);
    const std::string second = NewKeyFile(keys, "second.key");
    ProcessResult dropped =
        RunProcess({LVPUBLISH_PATH, "sign-keys", repo.Root(), "--root-key", repo.KeyFile(),
                    "--build-key", ReadSigningKey(ReadFile(second))->publicHex});
    ASSERT_EQ(dropped.exitCode, 0) << dropped.err;
    next["game.exe"] = "the real game, signed by the second build key";
    repo.Publish(next, "game.exe", true, second);
    RecordingSurface afterDrop;
    ASSERT_TRUE(afterDrop.RunPatch()) << Boxes(afterDrop);
    EXPECT_EQ(ReadFile("game.exe"), next["game.exe"]);

    repo.Write(kKeyListFileName, older);
    next["game.exe"] = "signed with the dropped key";
    repo.Publish(next, "game.exe", true, buildKey);
    ExpectRefused(TrustCheck::kWrongKey);
}

TEST_F(Trust, ABuildSignedByAKeyOutsideTheListIsRefused) {
    TempDir keys;
    const std::string listed = NewKeyFile(keys, "listed.key");
    Rotate(repo, listed);
    InstallGoodBuild();
    std::map<std::string, std::string> next = kGood;
    next["game.exe"] = "signed by a key the root key never listed";
    repo.Publish(next, "game.exe", true, NewKeyFile(keys, "other.key"));
    // The refused run's key list is not kept either (the game folder is
    // compared byte for byte).
    ExpectRefused(TrustCheck::kWrongKey);

    // A listed key's build with the list gone from the server.
    repo.Publish(next, "game.exe", true, listed);
    std::filesystem::remove(repo.Base() + kKeyListFileName);
    ExpectRefused(TrustCheck::kWrongKey);
}

TEST_F(Trust, AKeyedLauncherStartsOnlyWhatTheVerifiedLocalManifestNamesWithItsPublishedBytes) {
    InstallGoodBuild();
    const std::string manifest = ReadFile(kManifestFileName);
    WriteFile("evil.exe", "planted");
    struct Case {
        const char* what;
        std::function<void()> change;
        const char* program;
        bool startable;
        bool manifestRead;
    };
    const Case cases[] = {
        {"the verified build's game", [] {}, "game.exe", true, true},
        {"a program the manifest does not name", [] {}, "evil.exe", false, true},
        {"a planted local manifest",
         [&] { WriteFile(kManifestFileName, manifest + "evil.exe 1 GAME_EXE SIZE:7\n"); },
         "evil.exe", false, false},
        {"a game file replaced after the run", [] { WriteFile("game.exe", "malware!"); },
         "game.exe", false, true},
        {"a missing statement", [] { std::remove(kStatementFileName); }, "game.exe", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = FolderContents(game.Path());
        c.change();
        EXPECT_EQ(MayStartProgram(c.program), c.startable);
        FilesToPatch local;
        EXPECT_EQ(LoadVerifiedLocalManifest(local), c.manifestRead);
        EXPECT_EQ(local.files.empty(), !c.manifestRead);
        // Put back what the case changed.
        for (const auto& [name, content] : before)
            WriteFile(game.Path() + "/" + name, content);
    }
    // Without a key every name is started as the manifest gives it.
    SetTrustedKeyForTests("");
    EXPECT_TRUE(MayStartProgram("evil.exe"));
}

TEST_F(Trust, FilesAKeyedRunNeverHashedAreHashedOnceThenTakenOnTheRecordsWord) {
    // A folder that a launcher without a key filled, one file replaced with
    // bytes of the same size behind the ledger's back.
    repo.Publish(kGood, "game.exe");
    Serve();
    SetTrustedKeyForTests("");
    {
        RecordingSurface unkeyed;
        ASSERT_TRUE(unkeyed.RunPatch()) << Boxes(unkeyed);
    }
    SetTrustedKeyForTests(TestKey().publicHex);
    WriteFile("data/map.dat", "map DATA");
    RecordingSurface keyed;
    ASSERT_TRUE(keyed.RunPatch()) << Boxes(keyed);
    EXPECT_EQ(ReadFile("data/map.dat"), kGood.at("data/map.dat"));
    const std::string record = ReadFile(VerifiedFiles::kFileName);
    EXPECT_THAT(record, HasSubstr(" data/map.dat\n"));
    EXPECT_THAT(record, HasSubstr(" game.exe\n"));

    // Rewritten in place with its old size and modification time: the change
    // time still tells, and the file is fetched again.
    struct stat st {};
    ASSERT_EQ(::stat("game.exe", &st), 0);
    WriteFile("game.exe", std::string(kGood.at("game.exe").size(), 'x'));
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, "game.exe", times, 0), 0);
    RecordingSurface again;
    ASSERT_TRUE(again.RunPatch()) << Boxes(again);
    EXPECT_EQ(ReadFile("game.exe"), kGood.at("game.exe"));
}

TEST_F(Trust, AnUnsignedManifestIsRefusedBeforeALineOfItIsRead) {
    // 32 MiB of lines the launcher would keep as entries if it read them.
    InstallGoodBuild();
    std::string huge;
    for (int i = 0; huge.size() < (size_t{32} << 20); ++i)
        huge += "data/file_" + std::to_string(i) + ".dat 1 SIZE:1 SHA256:" + std::string(64, 'a') +
                "\n";
    std::string folder = repo.Read(kBuildFolderFileName);
    folder = folder.substr(0, folder.find('\n'));
    repo.Write(folder + kManifestFileName, huge);
    // Measured by time(1), which forks: a child spawned straight from this
    // process would count this process's memory as its own.
    ProcessResult run =
        RunProcess({"/usr/bin/time", "-f", "peak %M", kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr(TrustCheckText(TrustCheck::kManifestMismatch)));
    const size_t at = run.err.rfind("peak ");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_LT(std::stol(run.err.substr(at + 5)), 64 * 1024);
}

// A signed build's compressed copies and deltas are named by its manifest,
// so the statement covers them: a swapped object tag is refused before a
// line is read, and the signed one brings the file through its delta.
TEST_F(Trust, TheObjectsOfASignedBuildAreCoveredByItsStatement) {
    std::string data;
    for (int i = 0; data.size() < 200000; ++i)
        data += "asset " + std::to_string(i * 7919 % 100003) + "\n";
    std::map<std::string, std::string> build = kGood;
    build["data.pak"] = data;
    repo.Publish(build, "game.exe", true, "", "", true);
    Serve();
    RecordingSurface first;
    ASSERT_TRUE(first.RunPatch(run)) << Boxes(first);

    build["data.pak"].replace(100000, 20, "a replaced asset....");
    const std::string folder = repo.Publish(build, "game.exe", true, "", "", true);
    const std::string manifest = repo.Read(folder + kManifestFileName);
    const size_t delta = manifest.find("DELTA:");
    ASSERT_NE(delta, std::string::npos);
    std::string swapped = manifest;
    swapped[manifest.find('\n', delta) - 1] ^= 1;  // the object's SHA-256
    repo.Write(folder + kManifestFileName, swapped);
    ExpectRefused(TrustCheck::kManifestMismatch, false);

    repo.Write(folder + kManifestFileName, manifest);
    RecordingSurface second;
    ASSERT_TRUE(second.RunPatch(run)) << Boxes(second);
    EXPECT_TRUE(ReadFile("data.pak") == build["data.pak"]);
    EXPECT_EQ(nginx->CountRequests("/lanternvale_patch/" + folder + "data.pak"), 0);
}

