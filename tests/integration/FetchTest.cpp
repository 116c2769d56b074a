#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestRun.h"
#include "fileset/FilesToPatch.h"
#include "patch/HttpFetch.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"

namespace {

class Fetch : public ::testing::Test {
  protected:
    void UsePort(int port) {
        g_patchServer.host = "127.0.0.1";
        g_patchServer.port = port;
    }
    FreshSettings settings;
    TestFolder folder;
    RunContext run = TestRun();
};

// Ports nothing listens on: one the test server held and gave back.
constexpr int64_t kLimit = 1 << 20;

// Names in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int ClosedPort() {
    int port;
    {
        TestHttpServer server(TestHttpServer::Files({}));
        port = server.Port();
    }
    return port;
}

}  // namespace

TEST_F(Fetch, OnlyACompleteOkAnswerReplacesTheLocalCopy) {
    TestHttpServer server([](const TestRequest& r) {
        TestReply reply;
        if (r.path == "/ok.txt") {
            reply.body = "hello\n";
        } else if (r.path == "/moved.txt") {
            reply.status = 302;
            reply.headers = {{"Location", "/ok.txt"}};
            reply.body = "moved";
        } else if (r.path == "/empty.txt") {
            reply.body = "";
        } else {
            reply.status = 404;
            reply.body = "<h1>404</h1>";
        }
        return reply;
    });
    UsePort(server.Port());

    long status = 0;
    EXPECT_TRUE(FetchToFile(run, "a.txt", "/ok.txt", kLimit, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(ReadFile("a.txt"), "hello\n");

    EXPECT_FALSE(FetchToFile(run, "a.txt", "/missing.txt", kLimit, &status));
    EXPECT_EQ(status, 404);
    EXPECT_EQ(ReadFile("a.txt"), "hello\n");

    EXPECT_FALSE(FetchToFile(run, "a.txt", "/moved.txt", kLimit, &status));
    EXPECT_EQ(status, 302);
    EXPECT_EQ(server.CountRequests("/ok.txt"), 1);  // the redirect was not followed
    EXPECT_EQ(ReadFile("a.txt"), "hello\n");

    EXPECT_TRUE(FetchToFile(run, "a.txt", "/empty.txt", kLimit, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(ReadFile("a.txt"), "");
    EXPECT_EQ(FolderEntries("."), std::vector<std::string>{"a.txt"});  // no temporary file left
}

TEST_F(Fetch, BodyInManyBlocksIsAppendedInOrder) {
    std::string body;
    for (int i = 0; body.size() < 300000; ++i)
        body += std::to_string(i) + ",";
    TestHttpServer server([&](const TestRequest&) {
        TestReply reply;
        reply.body = body;
        reply.blockSize = 997;
        return reply;
    });
    UsePort(server.Port());
    long status = 0;
    EXPECT_TRUE(FetchToFile(run, "blocks.txt", "/blocks", kLimit, &status));
    EXPECT_EQ(ReadFile("blocks.txt"), body);
}

TEST_F(Fetch, UnreachableServerKeepsTheLocalCopyAndGivesStatusZero) {
    UsePort(ClosedPort());
    WriteFile("build_folder.txt", "old content");
    long status = 42;
    EXPECT_FALSE(FetchToFile(run, "build_folder.txt", "/x", kLimit, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile("build_folder.txt"), "old content");
}

TEST_F(Fetch, NoPlaceForTheAnswerMeansNoRequestAndStatusZero) {
    TestHttpServer server(TestHttpServer::Files({{"/a", "body"}}));
    UsePort(server.Port());
    long status = 42;
    // The temporary file beside the copy cannot be created: nothing is asked.
    EXPECT_FALSE(FetchToFile(run, "no-such-folder/a.txt", "/a", kLimit, &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Fetch, LocalCopyThatCannotBeReplacedFailsTheFetch) {
    TestHttpServer server(TestHttpServer::Files({{"/a", "body"}}));
    UsePort(server.Port());
    MakeDirs("blocked.txt");
    long status = 0;
    EXPECT_FALSE(FetchToFile(run, "blocked.txt", "/a", kLimit, &status));
    EXPECT_EQ(FolderEntries("."), std::vector<std::string>{"blocked.txt"});

    // A copy the player marked read-only is kept, as it is where the file
    // system itself refuses.
    WriteFile("kept.txt", "old");
    ASSERT_EQ(::chmod("kept.txt", 0444), 0);
    EXPECT_FALSE(FetchToFile(run, "kept.txt", "/a", kLimit, &status));
    EXPECT_EQ(ReadFile("kept.txt"), "old");
}

TEST_F(Fetch, StalledServerEndsWithStatusZeroInsteadOfHanging) {
    TestHttpServer server([](const TestRequest&) {
        TestReply reply;
        reply.kind = TestReply::Kind::kStall;
        return reply;
    });
    UsePort(server.Port());
    run.limits.lowSpeedSeconds = 1;
    long status = 42;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FetchToFile(run, "stalled.txt", "/x", kLimit, &status));
    EXPECT_EQ(status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(Fetch, BuildFolderSwitchesTheBuildPath) {
    std::map<std::string, std::string> files = {
        {"/lanternvale_patch/build_folder.txt", "build_7/\r\nignored\n"}};
    TestHttpServer server(TestHttpServer::Files(files));
    UsePort(server.Port());
    FetchBuildFolder(run);
    // Only the line feed goes; the carriage return is part of the folder.
    EXPECT_EQ(g_patchServer.buildFolder, "build_7/\r");

    TestHttpServer plain(
        TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "build_8\n"}}));
    UsePort(plain.Port());
    FetchBuildFolder(run);
    EXPECT_EQ(g_patchServer.buildPath, "/lanternvale_patch/build_8");
    FilesToPatch manifest;
    EXPECT_THROW(FetchManifest(run, manifest), DownloadFailedException);
    EXPECT_EQ(plain.CountRequests("/lanternvale_patch/build_8current2.txt"), 1);

    TestHttpServer emptyLine(
        TestHttpServer::Files({{"/lanternvale_patch/build_folder.txt", "\n"}}));
    UsePort(emptyLine.Port());
    FetchBuildFolder(run);
    EXPECT_EQ(g_patchServer.buildPath, "/lanternvale_patch/");
}

TEST_F(Fetch, BuildFolderFailuresChangeNothing) {
    TestHttpServer server([](const TestRequest& r) {
        TestReply reply;
        reply.status = r.path.find("error") != std::string::npos ? 500 : 200;
        reply.body = "build_9/\n";
        return reply;
    });
    UsePort(server.Port());
    g_patchServer.serverPath = "/error/";
    FetchBuildFolder(run);
    EXPECT_EQ(g_patchServer.buildPath, "/lanternvale_patch/build_1/");
    EXPECT_FALSE(FileExists("build_folder.txt"));  // an error body is never kept

    g_patchServer.serverPath = "/empty/";
    TestHttpServer empty(TestHttpServer::Files({{"/empty/build_folder.txt", ""}}));
    UsePort(empty.Port());
    FetchBuildFolder(run);
    EXPECT_EQ(g_patchServer.buildFolder, "build_1/");
}

TEST_F(Fetch, ManifestLinesReachTheParserAndFailuresRaise) {
    TestHttpServer server(TestHttpServer::Files(
        {{"/lanternvale_patch/build_1/current2.txt", "a.dat 1\n\nb.dat 2 GAME_EXE\r\nc.dat 3"}}));
    UsePort(server.Port());
    FilesToPatch manifest;
    FetchManifest(run, manifest);
    ASSERT_EQ(manifest.files.size(), 3u);
    EXPECT_EQ(manifest.files[2].name, "c.dat");  // last line without a line feed
    std::string exe;
    manifest.GetGameExe(exe);
    EXPECT_EQ(exe, "b.dat");

    FilesToPatch local;
    LoadLocalManifest(local);
    EXPECT_EQ(local.files.size(), 3u);

    g_patchServer.buildPath = "/nowhere/";
    FilesToPatch failed;
    EXPECT_THROW(FetchManifest(run, failed), DownloadFailedException);

    UsePort(ClosedPort());
    EXPECT_THROW(FetchManifest(run, failed), DownloadFailedException);
    EXPECT_TRUE(failed.files.empty());
}

TEST_F(Fetch, AddressFileWithUnreachableBuildFolderKeepsThePreviousBuildPath) {
    TestHttpServer server(
        TestHttpServer::Files({{"/lanternvale_patch/build_1/current2.txt", "a 1\n"}}));
    PointAt(server.Port(), "/moved/");
    ReadPatchServerAddress();
    FetchBuildFolder(run);  // 404 under /moved/
    FilesToPatch manifest;
    FetchManifest(run, manifest);
    EXPECT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(server.CountRequests("/moved/build_folder.txt"), 1);
}

TEST_F(Fetch, OneEasyHandleReusesOneConnection) {
    TestHttpServer server(TestHttpServer::Files({{"/a", "aaa"}, {"/b", "bbb"}}));
    CURL* handle = curl_easy_init();
    curl_easy_setopt(
        handle, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    for (const char* path : {"/a", "/b"}) {
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + path;
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_perform(handle);
    }
    curl_easy_cleanup(handle);
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(Fetch, NginxServesABuildFolder) {
    TempDir root;
    PublishBuild(root.Path(),
                 {{"game.bin", "binary", 3, "GAME_EXE"}, {"data/a.dat", "aaaa", 2, ""}},
                 "build_2/");
    NginxServer nginx(root.Path());
    PointAt(nginx.Port());
    ReadPatchServerAddress();
    FetchBuildFolder(run);
    EXPECT_EQ(g_patchServer.buildPath, "/lanternvale_patch/build_2/");
    FilesToPatch manifest;
    FetchManifest(run, manifest);
    ASSERT_EQ(manifest.files.size(), 2u);
    EXPECT_EQ(manifest.files[1].size, 4);
    EXPECT_EQ(nginx.CountRequests("/lanternvale_patch/build_2/current2.txt"), 1);
}
