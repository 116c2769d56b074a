#include <gtest/gtest.h>

#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "patch/PatchServer.h"
#include "patch/Tls.h"

namespace {

class Address : public ::testing::Test {
  protected:
    void SetUp() override { g_patchServer = InitialPatchServerSettings(); }
    void TearDown() override { g_patchServer = InitialPatchServerSettings(); }

    PatchServerSettings Read(const std::string& content) {
        WriteFile("patch_server_address.txt", content);
        g_patchServer = InitialPatchServerSettings();
        ReadPatchServerAddress();
        return g_patchServer;
    }

    TestFolder folder;
};

}  // namespace

TEST_F(Address, DefaultsGiveTheManifestUrlOnPort80) {
    EXPECT_EQ(BuildPatchUrl(g_patchServer.buildPath + "current2.txt"),
              "http://patch.lanternvale.example:80/lanternvale_patch/build_1/current2.txt");
    ReadPatchServerAddress();  // no file: nothing changes
    EXPECT_EQ(g_patchServer.host, "patch.lanternvale.example");
}

TEST_F(Address, TokenShapes) {
    PatchServerSettings s = Read("http://host.test\n");
    EXPECT_EQ(s.host, "host.test");
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(s.serverPath, "/");

    s = Read("http://host.test:8080 trailing words\n");
    EXPECT_EQ(s.port, 8080);
    EXPECT_EQ(s.serverPath, "/");

    s = Read("http://host.test/patches");
    EXPECT_EQ(s.serverPath, "/patches/");
    EXPECT_EQ(s.port, 80);

    s = Read("http://host.test:81/patches/\r\nsecond line ignored");
    EXPECT_EQ(s.host, "host.test");
    EXPECT_EQ(s.port, 81);
    EXPECT_EQ(s.serverPath, "/patches/");

    s = Read("http://host.test:/x");
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(BuildPatchUrl("/x/a"), "http://host.test:0/x/a");

    s = Read("ftp://xhost.test:9");  // the first seven characters are dropped unread
    EXPECT_EQ(s.host, "host.test");
    EXPECT_EQ(s.port, 9);

    // Deeper paths lose their inner slashes.
    s = Read("http://h/a/b");
    EXPECT_EQ(s.serverPath, "/ab/");
}

TEST_F(Address, UnusableFilesChangeNothing) {
    for (const char* content : {"", "\n", "   \n", "http://", "short\nhttp://second.test"}) {
        PatchServerSettings s = Read(content);
        EXPECT_EQ(s.host, "patch.lanternvale.example") << content;
        EXPECT_EQ(s.serverPath, "/lanternvale_patch/");
    }
}

TEST_F(Address, OnlyTheFirst1023CharactersOfTheLineCount) {
    std::string host(1100, 'h');
    PatchServerSettings s = Read("http://" + host);
    EXPECT_EQ(s.host.size(), 1023u - 7u);
}

TEST_F(Address, BuildPathIsNotRecomputedByTheAddressFile) {
    PatchServerSettings s = Read("http://other.test/elsewhere/");
    EXPECT_EQ(s.serverPath, "/elsewhere/");
    EXPECT_EQ(s.buildPath, "/lanternvale_patch/build_1/");
}

TEST(Url, LeadingSlashOfTheServerPathIsDroppedAndNothingIsEscaped) {
    g_patchServer = InitialPatchServerSettings();
    // Moved in: GCC 12 takes a literal assigned here for an overlapping copy
    // (a false -Wrestrict).
    g_patchServer.host = std::string("h");
    g_patchServer.port = 8000;
    EXPECT_EQ(BuildPatchUrl("/a b%20/c"), "http://h:8000/a b%20/c");
    EXPECT_EQ(BuildPatchUrl("rel"), "http://h:8000/rel");
    EXPECT_EQ(BuildPatchUrl(""), "http://h:8000/");
    g_patchServer = InitialPatchServerSettings();
}

TEST(AddressScheme, HttpsKeepsItsSchemeAndDefaultsToPort443) {
    TestFolder folder;
    FreshSettings fresh;
    WriteFile("patch_server_address.txt", "https://host.test/patches\n");
    ReadPatchServerAddress();
    EXPECT_EQ(g_patchServer.scheme, "https");
    EXPECT_EQ(g_patchServer.port, 443);
    EXPECT_EQ(BuildPatchUrl("/patches/build_folder.txt"),
              "https://host.test:443/patches/build_folder.txt");

    WriteFile("patch_server_address.txt", "HTTPS://host.test:8443");
    ReadPatchServerAddress();
    EXPECT_EQ(BuildPatchUrl("/a"), "https://host.test:8443/a");

    // The scheme follows the file: a later plain address is plain again.
    WriteFile("patch_server_address.txt", "http://plain.test");
    ReadPatchServerAddress();
    EXPECT_EQ(BuildPatchUrl("/a"), "http://plain.test:80/a");

    // "https://" alone: nothing after it, no host, but no crash either.
    WriteFile("patch_server_address.txt", "https://");
    ReadPatchServerAddress();
    EXPECT_EQ(BuildPatchUrl("/a"), "https://:443/a");

    // Seven characters that merely look like a scheme are still dropped.
    WriteFile("patch_server_address.txt", "httpsX:host.test");
    ReadPatchServerAddress();
    EXPECT_EQ(g_patchServer.scheme, "http");
    EXPECT_EQ(g_patchServer.host, "host.test");
}

TEST(AddressScheme, APinnedLauncherTakesOnlyHttpsAddresses) {
    TestFolder folder;
    FreshSettings fresh;
    TlsSettings tls;
    const std::string pin = "/etc/operator-ca.pem";
    // The host the launcher then asks; a refused address is not taken in part.
    const struct {
        std::string pin;
        const char* address;
        const char* host;
    } cases[] = {
        {"", "http://plain.test/p/", "plain.test"},
        {pin, "https://secure.test/p/", "secure.test"},
        {pin, "HTTPS://secure.test/p/", "secure.test"},
        {pin, "http://plain.test/p/", nullptr},
        {pin, "HTTP://plain.test/p/", nullptr},
        {pin, "httpsX:plain.test/p/", nullptr},  // plain HTTP as well
    };
    for (const auto& c : cases) {
        g_patchServer = InitialPatchServerSettings();
        tls.caBundle = c.pin;
        WriteFile("patch_server_address.txt", c.address);
        ReadPatchServerAddress(tls);
        EXPECT_EQ(g_patchServer.unusable.empty(), c.host != nullptr) << c.pin << " " << c.address;
        EXPECT_EQ(g_patchServer.host, c.host ? c.host : "patch.lanternvale.example") << c.address;
    }
    // The next run reads the file again: once it is fixed, the address is usable.
    WriteFile("patch_server_address.txt", "https://secure.test/p/");
    ReadPatchServerAddress(tls);
    EXPECT_TRUE(g_patchServer.unusable.empty());
}
