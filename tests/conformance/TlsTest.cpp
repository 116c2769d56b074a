// https:// patch servers: nginx with TLS on loopback, a CA and certificates
// made by openssl for each test. A certificate that does not verify is a
// failed request like any other: the run stops at stage 0, nothing installed.

#include <gtest/gtest.h>

#include <memory>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "RecordingSurface.h"
#include "TestFolder.h"
#include "TestRun.h"
#include "patch/Tls.h"

namespace {

const char kUnavailable[] = "Patch Server Unavailable";

void OpenSsl(std::vector<std::string> args, const std::string& dir) {
    args.insert(args.begin(), "/usr/bin/openssl");
    ProcessResult result = RunProcess(args, dir);
    ASSERT_EQ(result.exitCode, 0) << result.err;
}

// A CA of its own, and a server certificate it signs for `altNames`.
struct TestCa {
    TestCa(const std::string& dir, const std::string& name) : dir(dir), name(name) {
        OpenSsl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                 "-keyout", name + "-ca.key", "-out", name + "-ca.pem", "-days", "2", "-subj",
                 "/CN=" + name + " test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign"},
                dir);
    }
    std::string Ca() const { return dir + "/" + name + "-ca.pem"; }

    NginxTls Issue(const std::string& leaf, const std::string& altNames) const {
        WriteFile(dir + "/" + leaf + ".ext", "subjectAltName=" + altNames + "\n");
        OpenSsl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                 leaf + ".key", "-out", leaf + ".csr", "-subj", "/CN=" + leaf},
                dir);
        OpenSsl({"x509", "-req", "-in", leaf + ".csr", "-CA", name + "-ca.pem", "-CAkey",
                 name + "-ca.key", "-CAcreateserial", "-out", leaf + ".pem", "-days", "2",
                 "-extfile", leaf + ".ext"},
                dir);
        return {dir + "/" + leaf + ".pem", dir + "/" + leaf + ".key"};
    }

    std::string dir;
    std::string name;
};

class Https : public ::testing::Test {
  protected:
    void SetUp() override {
        PublishBuild(serverRoot.Path(), {{"game.exe", "game over TLS", 1, "GAME_EXE"}});
    }

    void Serve(const NginxTls& tls, const std::string& host = "127.0.0.1") {
        nginx = std::make_unique<NginxServer>(serverRoot.Path(), &tls);
        WriteFile(
            "patch_server_address.txt",
            "https://" + host + ":" + std::to_string(nginx->Port()) + "/lanternvale_patch/\n");
    }

    void ExpectRefused() {
        RecordingSurface surface;
        EXPECT_FALSE(surface.RunPatch(run));
        ASSERT_EQ(surface.boxes.size(), 1u);
        EXPECT_EQ(surface.boxes[0].caption, kUnavailable);
        EXPECT_FALSE(FileExists("game.exe"));
        // The TLS handshake failed before any request reached nginx.
        EXPECT_EQ(nginx->AccessLog().size(), 0u);
    }

    RunContext run = TestRun();
    FreshSettings settings;
    TestFolder game;
    TempDir serverRoot;
    TempDir pki;
    TestCa ca{pki.Path(), "operator"};
    std::unique_ptr<NginxServer> nginx;
};

}  // namespace

TEST_F(Https, AVerifiedServerPatchesOverTls) {
    Serve(ca.Issue("server", "IP:127.0.0.1,DNS:localhost"));
    run.tls.caBundle = ca.Ca();
    RecordingSurface surface;
    ASSERT_TRUE(surface.RunPatch(run));
    EXPECT_EQ(ReadFile("game.exe"), "game over TLS");
    EXPECT_EQ(nginx->CountRequests("/lanternvale_patch/build_1/game.exe"), 1);

    // By name as well as by address.
    WriteFile("patch_server_address.txt",
              "https://localhost:" + std::to_string(nginx->Port()) + "/lanternvale_patch/\n");
    RecordingSurface again;
    EXPECT_TRUE(again.RunPatch(run));
}

TEST_F(Https, ACertificateForAnotherHostIsRefused) {
    Serve(ca.Issue("elsewhere", "DNS:elsewhere.example"));
    run.tls.caBundle = ca.Ca();
    ExpectRefused();
}

TEST_F(Https, ACertificateFromAnUntrustedCaIsRefused) {
    Serve(ca.Issue("server", "IP:127.0.0.1"));
    // The system store does not know the test CA...
    run.tls.caBundle.clear();
    ExpectRefused();
    // ...and a pinned bundle of another CA does not either.
    TestCa other(pki.Path(), "stranger");
    run.tls.caBundle = other.Ca();
    ExpectRefused();
}
