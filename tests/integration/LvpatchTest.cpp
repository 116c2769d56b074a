#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "base/Sha256.h"
#include "patch/PatchRun.h"
#include "patch/RunLog.h"
#include "patch/Tls.h"
#include "tools/lvpatch/ConsoleSurface.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kLvpatch = LVPATCH_PATH;

void PointAt(const std::string& game, int port) {
    WriteFile(game + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(port) + "/lanternvale_patch/\n");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(Lvpatch, PatchesAFolderAndReportsTheGameProgram) {
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"game.bin", std::string(400000, 'g'), 1, "GAME_EXE"},
                               {"tc.bin", "tc", 1, "TEST_CLIENT"},
                               {"nosize.dat", "SIZE-QUERY-BODY", 1, "", false}});
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");

    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Not a terminal: one line per new text, no live bar.
    EXPECT_THAT(run.out, HasSubstr("Checking for game updates...\n"));
    EXPECT_THAT(run.out, HasSubstr("Downloading files...\n"));
    EXPECT_THAT(run.out, HasSubstr("Downloading updates to game:  0.1 of 0.4 MB complete\n"));
    EXPECT_THAT(run.out, HasSubstr("You may now click Play to enter the game.\n"));
    EXPECT_THAT(run.out, HasSubstr("game: game.bin\ntest client: tc.bin\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("\r")));
    EXPECT_THAT(run.out, Not(HasSubstr("SIZE-QUERY-BODY")));  // size queries print nothing
    EXPECT_EQ(ReadFile(game.Path() + "/game.bin"), std::string(400000, 'g'));
}

TEST(Lvpatch, FailedRunExitsOneWithTheMessageOnStandardError) {
    TempDir root;
    MakeDirs(root.Path() + "/lanternvale_patch");
    TempDir game;
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");
    ProcessResult run = RunProcess({kLvpatch}, game.Path());  // the current folder by default
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr("[Patch Server Unavailable]\nBefore you can play this game"));
    EXPECT_THAT(run.out, Not(HasSubstr("game:")));
    EXPECT_TRUE(FileExists(game.Path() + "/file_versions.txt"));
}

TEST(Lvpatch, UsageErrorsExitTwo) {
    ProcessResult missing = RunProcess({kLvpatch, "--dir", "/nonexistent/folder"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot enter game folder '/nonexistent/folder'"));

    ProcessResult unknown = RunProcess({kLvpatch, "--bogus"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_THAT(unknown.err, HasSubstr("unexpected argument '--bogus'\nUsage: lvpatch "));
    EXPECT_EQ(unknown.out, "");

    ProcessResult noValue = RunProcess({kLvpatch, "--dir"});
    EXPECT_EQ(noValue.exitCode, 2);
    EXPECT_THAT(noValue.err, HasSubstr("--dir needs a value"));
    EXPECT_THAT(noValue.err, HasSubstr("Usage: lvpatch "));

    // The value-taking options all say so when the value is missing.
    for (const char* option : {"--parallel", "--limit-rate"}) {
        ProcessResult bare = RunProcess({kLvpatch, "--dir", ".", option});
        EXPECT_EQ(bare.exitCode, 2) << option;
        EXPECT_THAT(bare.err, HasSubstr(std::string(option) + " needs a value ("));
        EXPECT_THAT(bare.err, HasSubstr("Usage: lvpatch "));
    }

    ProcessResult both = RunProcess({kLvpatch, "--verbose", "--json"});
    EXPECT_EQ(both.exitCode, 2);

    ProcessResult version = RunProcess({kLvpatch, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.out, ::testing::MatchesRegex("lvpatch [0-9]+\\.[0-9]+\\.[0-9]+\n"));

    ProcessResult help = RunProcess({kLvpatch, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: lvpatch [--dir GAME_FOLDER]"));
}

TEST(Lvpatch, OnATerminalOneLiveLineShowsTheProgress) {
    if (::access("/usr/bin/script", X_OK) != 0)
        GTEST_SKIP() << "script(1) is needed to give lvpatch a terminal";
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"game.bin", std::string(3 << 20, 'g'), 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    WriteFile(game.Path() + "/patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/\n");
    ProcessResult run =
        RunProcess({"/usr/bin/script", "-qec", kLvpatch + " --dir " + game.Path(), "/dev/null"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    // Redrawn in place: carriage return and erase-line, then the bar and byte
    // counts, which a narrow terminal must not cut off, then the stage text.
    EXPECT_THAT(run.out,
                ::testing::ContainsRegex(
                    "\r\033\\[K\\[[#-]{20}\\] [0-9.]+ (KiB|MiB) of 3\\.0 MiB  Downloading"));
    // No bar before the run knows what it will download.
    EXPECT_THAT(run.out, HasSubstr("\r\033[KChecking files...\r"));
    EXPECT_THAT(run.out, HasSubstr("game: game.bin"));
}

TEST(Lvpatch, VerboseShowsEveryRequestAndWhyEachFileIsFetched) {
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"absent.dat", "aaaa"},
                               {"short.dat", "bbbb"},
                               {"unrecorded.dat", "cccc"},
                               {"nosize.dat", "dd", 1, "", false},
                               {"game.bin", "g", 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    WriteFile(game.Path() + "/short.dat", "b");
    WriteFile(game.Path() + "/unrecorded.dat", "cccc");  // right size, not in the ledger

    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path(), "--verbose"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string base =
        "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/";
    EXPECT_THAT(run.err,
                HasSubstr("lvpatch: GET " + base + "build_folder.txt -> HTTP 200, 9 bytes, "));
    EXPECT_THAT(run.err, HasSubstr("lvpatch: fetch absent.dat (missing)\n"));
    EXPECT_THAT(run.err, HasSubstr("lvpatch: fetch short.dat (size)\n"));
    EXPECT_THAT(run.err, HasSubstr("lvpatch: fetch unrecorded.dat (version)\n"));
    EXPECT_THAT(run.err, HasSubstr("lvpatch: fetch nosize.dat (missing)\n"));
    EXPECT_THAT(run.err,
                HasSubstr("lvpatch: GET " + base + "build_1/short.dat -> HTTP 200, 4 bytes, "));
    // After success: one summary line, then the programs.
    EXPECT_THAT(run.out,
                ::testing::ContainsRegex(
                    "\n5 files checked, 5 fetched, [0-9.]+ (B|KiB) in 0:0[0-9] \\([^)]*/s\\)\n"
                    "game: game.bin\n$"));

    // Up to date: the two text fetches and the size query, nothing else.
    ProcessResult again = RunProcess({kLvpatch, "--dir", game.Path(), "--verbose"});
    ASSERT_EQ(Lines(again.err).size(), 3u) << again.err;
    EXPECT_THAT(Lines(again.err)[2], HasSubstr("build_1/nosize.dat -> HTTP 200"));
    EXPECT_THAT(again.out, HasSubstr("5 files checked, 0 fetched, "));
}

TEST(Lvpatch, AFailureEndsWithTheLineThatSaysWhatFailed) {
    TempDir root;
    TempDir game;
    MakeDirs(root.Path() + "/lanternvale_patch");
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    const std::string base =
        "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/lanternvale_patch/";

    ProcessResult noManifest = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(noManifest.exitCode, 1);
    EXPECT_THAT(noManifest.err,
                ::testing::EndsWith("Martians from outer space have come down and eaten the "
                                    "Patch Server.  To fix that, get in a spaceship and "
                                    "follow them.\nlvpatch: failed: " +
                                    base + "build_1/current2.txt: HTTP 404\n"));

    // A game file whose place is taken by a folder cannot be written.
    PublishBuild(root.Path(), {{"blocked.dat", "x"}, {"fine.dat", "y"}});
    MakeDirs(game.Path() + "/blocked.dat");
    ProcessResult blocked = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_THAT(blocked.err, HasSubstr("[Launcher Cannot Update File]"));
    EXPECT_THAT(blocked.err,
                ::testing::EndsWith("lvpatch: failed: cannot write blocked.dat: Is a directory\n"));

    // A file the server sends short fails verification, and says which.
    RemoveTree(game.Path() + "/blocked.dat");
    WriteFile(root.Path() + "/lanternvale_patch/build_1/current2.txt",
              "blocked.dat 1 SIZE:1\nfine.dat 2 SIZE:5\n");
    ProcessResult shortFile = RunProcess({kLvpatch, "--dir", game.Path()});
    EXPECT_EQ(shortFile.exitCode, 1);
    EXPECT_THAT(shortFile.err,
                ::testing::EndsWith("lvpatch: failed: verification: fine.dat came with 1 bytes, "
                                    "the manifest says 5\n"));
}

TEST(Lvpatch, TheFailureLineNamesWhatFailedInEveryDownloadPath) {
    TempDir root;
    TempDir game;
    // The size query of big.dat is cut off on purpose once it has the size.
    PublishBuild(root.Path(),
                 {{"big.dat", std::string(200000, 'b'), 1, "", false}, {"blocked.dat", "x"}});
    MakeDirs(game.Path() + "/blocked.dat");
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());

    ProcessResult parallel = RunProcess({kLvpatch, "--dir", game.Path(), "--parallel", "4"});
    EXPECT_EQ(parallel.exitCode, 1);
    EXPECT_THAT(parallel.err, HasSubstr("[Launcher Cannot Update File]"));
    EXPECT_THAT(parallel.err,
                ::testing::EndsWith("lvpatch: failed: cannot write blocked.dat: Is a directory\n"));
    ProcessResult json = RunProcess({kLvpatch, "--dir", game.Path(), "--parallel", "4", "--json"});
    EXPECT_THAT(Lines(json.out).back(),
                HasSubstr("\"cause\":\"cannot write blocked.dat: Is a directory\"}"));

    // A build larger than any disk is refused before its first byte.
    RemoveTree(game.Path() + "/blocked.dat");
    WriteFile(root.Path() + "/lanternvale_patch/build_1/current2.txt",
              "huge.dat 1 SIZE:1125899906842624\n");
    ProcessResult full = RunProcess({kLvpatch, "--dir", game.Path(), "--verbose"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_THAT(full.err, Not(HasSubstr("huge.dat ->")));
    EXPECT_THAT(full.err,
                ::testing::ContainsRegex("\nlvpatch: failed: not enough disk space: the new files "
                                         "need 1125899906842624 more bytes, the disk has [0-9]+ "
                                         "free\n$"));
}

TEST(Lvpatch, EachResumedAttemptIsLoggedWithItsOwnAnswer) {
    const std::string body(100000, 'r');
    TestHttpServer server([&](const TestRequest& request) {
        TestReply reply;
        if (request.path == "/lanternvale_patch/build_folder.txt") {
            reply.body = "build_1/\n";
        } else if (request.path == "/lanternvale_patch/build_1/current2.txt") {
            reply.body = "big.dat 1 SIZE:100000\n";
        } else if (request.path != "/lanternvale_patch/build_1/big.dat") {
            reply.status = 404;
        } else if (request.Header("Range").empty()) {
            reply.kind = TestReply::Kind::kShortBody;
            reply.body = body;
            reply.sendBytes = 40000;
        } else {
            reply.status = 416;  // the rest is refused
        }
        return reply;
    });
    TempDir game;
    PointAt(game.Path(), server.Port());
    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path(), "--json"});
    EXPECT_EQ(run.exitCode, 1);
    std::vector<std::string> attempts;
    for (const std::string& line : Lines(run.out))
        if (line.find("\"event\":\"request\"") != std::string::npos &&
            line.find("/big.dat\"") != std::string::npos)
            attempts.push_back(line);
    ASSERT_EQ(attempts.size(), 2u) << run.out;
    EXPECT_THAT(attempts[0], HasSubstr("\"status\":200,\"bytes\":40000,"));
    EXPECT_THAT(attempts[0], HasSubstr("\"end\":\"broken\""));
    EXPECT_THAT(attempts[1], HasSubstr("\"status\":416,\"bytes\":0,"));
    EXPECT_THAT(
        Lines(run.out).back(),
        HasSubstr("\"cause\":\"verification: big.dat came with 40000 bytes, the manifest says "
                  "100000\"}"));
}

TEST(Lvpatch, RepairNamesTheFilesItFetchesAndCountsThem) {
    TempDir root;
    TempDir game;
    const std::string map = "map data";
    PublishBuild(root.Path(), {{"map.dat", map, 1, "SHA256:" + Sha256Hex(map)},
                               {"game.bin", "g", 1, "GAME_EXE SHA256:" + Sha256Hex("g")}});
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    ASSERT_EQ(RunProcess({kLvpatch, "--dir", game.Path()}).exitCode, 0);

    // Damage that size and ledger cannot see.
    WriteFile(game.Path() + "/map.dat", "MAP DATA");
    ProcessResult verbose = RunProcess({kLvpatch, "--dir", game.Path(), "--repair", "--verbose"});
    ASSERT_EQ(verbose.exitCode, 0) << verbose.err;
    EXPECT_THAT(verbose.err, HasSubstr("lvpatch: fetch map.dat (hash)\n"));
    EXPECT_THAT(verbose.err, Not(HasSubstr("fetch game.bin")));
    EXPECT_THAT(verbose.out, HasSubstr("repair: 2 files checked, 1 repaired\n"));
    EXPECT_THAT(verbose.out, HasSubstr("\n2 files checked, 1 fetched, "));
    EXPECT_EQ(ReadFile(game.Path() + "/map.dat"), map);

    // With JSON, standard output holds nothing but JSON lines.
    WriteFile(game.Path() + "/map.dat", "MAP DATA");
    ProcessResult json = RunProcess({kLvpatch, "--dir", game.Path(), "--repair", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    std::vector<std::string> lines = Lines(json.out);
    for (const std::string& line : lines)
        EXPECT_THAT(line, ::testing::StartsWith("{\"t\":"));
    EXPECT_THAT(json.out,
                HasSubstr("\"event\":\"fetch\",\"file\":\"map.dat\",\"reason\":\"hash\"}"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_THAT(lines[lines.size() - 2],
                HasSubstr("\"event\":\"repair\",\"files_checked\":2,\"files_damaged\":1,"
                          "\"repaired\":true}"));
    EXPECT_THAT(lines.back(), HasSubstr("\"files_fetched\":1,"));
}

TEST(ConsoleFailureCause, AStatedCauseWinsAndACutAskedForIsNoFailure) {
    ConsoleSurface surface(stdout, stderr, ConsoleSurface::Mode::kLines);
    const char* over = "over-limit";
    surface.OnRequest({"http://h/probe.dat", 200, 0, 0.1, over, "cut"});
    EXPECT_EQ(surface.FailureCause(), "");
    surface.OnRequest({"http://h/gone.dat", 404, 0, 0.1, "finished", ""});
    surface.OnRequest({"http://h/late.dat", 200, 0, 0.1, over, "cut"});
    surface.OnRequest({"http://h/ok.dat", 200, 5, 0.1, "finished", ""});
    EXPECT_EQ(surface.FailureCause(), "http://h/gone.dat: HTTP 404");
    surface.OnRequest({"http://h/cut.dat", 200, 7, 0.1, "broken", "Connection reset"});
    EXPECT_EQ(surface.FailureCause(), "http://h/cut.dat: HTTP 200, broken (Connection reset)");
    surface.OnFailure("cannot write a.dat: No space left on device");
    surface.OnRequest({"http://h/after.dat", 0, 0, 0.1, "broken", "refused"});
    EXPECT_EQ(surface.FailureCause(), "cannot write a.dat: No space left on device");
}

TEST(Lvpatch, WithoutATerminalProgressLinesComeAtMostOnceASecond) {
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"big.bin", std::string(3 << 20, 'b'), 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const std::regex stamped("([0-9]{2}:[0-9]{2}:[0-9]{2}) (.*)");
    std::set<std::string> progressStamps;
    int progressLines = 0;
    for (const std::string& line : Lines(run.out)) {
        std::smatch match;
        if (line.rfind("game: ", 0) == 0 || line.find(" checked, ") != std::string::npos)
            continue;
        ASSERT_TRUE(std::regex_match(line, match, stamped)) << line;
        if (match[2].str().rfind("Downloading updates to game:", 0) == 0) {
            ++progressLines;
            // A second apart at least, so never two in one second of the clock.
            EXPECT_TRUE(progressStamps.insert(match[1]).second) << run.out;
        }
    }
    // The run writes 30 progress texts; the first is always shown.
    EXPECT_GE(progressLines, 1);
    EXPECT_LT(progressLines, 30);
}

TEST(Lvpatch, JsonLinesCarryTheSameEvents) {
    TempDir root;
    TempDir game;
    PublishBuild(root.Path(), {{"a.dat", "aaaa"}, {"game.bin", "g", 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    WriteFile(game.Path() + "/a.dat", "a");
    ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path(), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<std::string> lines = Lines(run.out);
    for (const std::string& line : lines)
        EXPECT_THAT(
            line, ::testing::MatchesRegex("\\{\"t\":[0-9]+\\.[0-9]{3},\"event\":\"[a-z]+\".*\\}"));
    EXPECT_THAT(run.out,
                HasSubstr("\"event\":\"status\",\"text\":\"Checking for game updates...\"}"));
    EXPECT_THAT(run.out, HasSubstr("\"event\":\"fetch\",\"file\":\"a.dat\",\"reason\":\"size\"}"));
    // The bar as numbers: the download stage's bytes, full at its end.
    EXPECT_THAT(run.out, ::testing::ContainsRegex("\"event\":\"progress\",\"stage\":\"[^\"]*\","
                                                  "\"done\":5,\"total\":5,\"per_second\":[0-9]+\\}"));
    EXPECT_THAT(run.out, ::testing::ContainsRegex(
                             "\"event\":\"request\",\"url\":\"http://127\\.0\\.0\\.1:[0-9]+/"
                             "lanternvale_patch/build_1/a\\.dat\",\"status\":200,"
                             "\"bytes\":4,\"seconds\":[0-9.]+,\"end\":\"finished\"\\}"));
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(
        lines.back(),
        ::testing::MatchesRegex(
            ".*\"event\":\"result\",\"success\":true,\"files_checked\":2,"
            "\"files_fetched\":2,\"bytes\":[0-9]+,\"bytes_written\":[0-9]+,\"seconds\":[0-9.]+,"
            "\"game\":\"game.bin\",\"test_client\":\"\"\\}"));

    // A refused run ends with its cause.
    RemoveTree(root.Path() + "/lanternvale_patch/build_1");
    ProcessResult failed = RunProcess({kLvpatch, "--dir", game.Path(), "--json"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_THAT(failed.out,
                HasSubstr("\"event\":\"box\",\"caption\":\"Patch Server Unavailable\""));
    EXPECT_THAT(Lines(failed.out).back(),
                ::testing::ContainsRegex("\"success\":false,.*\"cause\":\"http://"
                                         "[^\"]*/build_1/current2\\.txt: HTTP 404\"\\}"));
}

TEST(Lvpatch, ServerTextsReachTheTerminalEscaped) {
    // A hostile server names its game program with terminal control codes.
    const std::string evil =
        "g\x1b]0;owned\x07\x1b[2J\xc2\x9b"
        "2J.sh";
    TestHttpServer server(TestHttpServer::Files(
        {{"/lanternvale_patch/build_folder.txt", "build_1/\n"},
         {"/lanternvale_patch/build_1/current2.txt", evil + " 1 GAME_EXE SIZE:2\n"},
         {"/lanternvale_patch/build_1/" + evil, "ok"}}));
    TempDir game;
    PointAt(game.Path(), server.Port());
    for (const char* flag : {"--verbose", "--json"}) {
        ProcessResult run = RunProcess({kLvpatch, "--dir", game.Path(), flag});
        const std::string all = run.out + run.err;
        EXPECT_EQ(all.find('\x1b'), std::string::npos) << flag << ": " << all;
        EXPECT_EQ(all.find('\x07'), std::string::npos) << flag;
        EXPECT_EQ(all.find("\xc2\x9b"), std::string::npos) << flag;
        const bool json = std::string(flag) == "--json";
        EXPECT_THAT(all, HasSubstr(json ? "\\u001b" : "\\x1b")) << all;
        EXPECT_THAT(all, HasSubstr(json ? "\\u009b2J" : "\\xc2\\x9b2J")) << all;
    }
}

TEST(ConsoleText, ControlBytesAreEscapedAndTextStaysReadable) {
    struct {
        std::string in, terminal, json;
    } cases[] = {
        {"plain.dat", "plain.dat", "\"plain.dat\""},
        {"\x1b[31mred", "\\x1b[31mred", "\"\\u001b[31mred\""},
        {"bell\x07 del\x7f", "bell\\x07 del\\x7f", "\"bell\\u0007 del\\u007f\""},
        {"caf\xc3\xa9 \xc4\x80", "caf\xc3\xa9 \xc4\x80",
         "\"caf\xc3\xa9 \xc4\x80\""},                        // UTF-8 stays
        {"c1 \xc2\x9b", "c1 \\xc2\\x9b", "\"c1 \\u009b\""},  // U+009B: CSI to some terminals
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9f\xc2\xa0",
         "\"\\u0080\\u009f\xc2\xa0\""},  // U+00A0 is no control
        {"raw \x9b \xff", "raw \\x9b \xff", "\"raw \\u009b \\u00ff\""},
        {"two\nlines\r", "two\\x0alines\\x0d", "\"two\\nlines\\u000d\""},
        {"q\"b\\", "q\"b\\", "\"q\\\"b\\\\\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeForTerminal(c.in, false), c.terminal) << c.in;
        EXPECT_EQ(JsonString(c.in), c.json) << c.in;
    }
    EXPECT_EQ(EscapeForTerminal("box\n\ntext\x1b", true), "box\n\ntext\\x1b");
}

// A launcher built with a CA pin talks only HTTPS: a plain address in the
// file is a server it cannot reach, and the failure line says why.
TEST(Lvpatch, APinnedLauncherAsksNothingOfAPlainAddress) {
    TestFolder game;
    FreshSettings fresh;
    TempDir root;
    PublishBuild(root.Path(), {{"game.exe", "the game", 1, "GAME_EXE"}});
    NginxServer nginx(root.Path());
    PointAt(game.Path(), nginx.Port());
    const struct {
        const char* pin;
        bool success;
        const char* cause;
    } cases[] = {
        {"/etc/operator-ca.pem", false,
         "the address file names http:// but this launcher only talks HTTPS to its pinned "
         "servers"},
        {"", true, ""},
    };
    for (const auto& c : cases) {
        RunContext run = TestRun();
        run.tls.caBundle = c.pin;
        const size_t requestsBefore = nginx.AccessLog().size();
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        ConsoleSurface surface(out, err, ConsoleSurface::Mode::kLines);
        run.log = &surface;
        std::thread worker([&] { PatchThreadProc(surface, run); });
        const bool success = surface.WaitForFinish();
        worker.join();
        std::rewind(err);
        std::string shown;
        for (int ch = 0; (ch = std::fgetc(err)) != EOF;)
            shown.push_back(static_cast<char>(ch));
        std::fclose(out);
        std::fclose(err);

        EXPECT_EQ(success, c.success) << c.pin;
        EXPECT_EQ(surface.FailureCause(), c.cause) << c.pin;
        if (!c.success) {
            EXPECT_THAT(shown, HasSubstr("[Patch Server Unavailable]"));
            EXPECT_EQ(nginx.AccessLog().size(), requestsBefore);
            EXPECT_FALSE(FileExists("game.exe"));
        } else {
            EXPECT_EQ(ReadFile("game.exe"), "the game");
        }
    }
}
