// The channel a signed build is published for, and the build keys the
// offline root key signs: lvpublish's commands against a real server folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "KeyCommands.h"
#include "PatchServerFixture.h"
#include "PublishHelpers.h"
#include "TestFolder.h"
#include "base/Sha256.h"
#include "patch/KeyList.h"

using ::testing::HasSubstr;

namespace {

const std::string kLvpublish = LVPUBLISH_PATH;
constexpr int64_t kDay = 86400;

class KeyCommands : public ::testing::Test {
  protected:
    // A key file from keygen; returns its public half.
    std::string Keygen(const std::string& name) {
        ProcessResult keygen = RunProcess({kLvpublish, "keygen", Key(name)});
        EXPECT_EQ(keygen.exitCode, 0) << keygen.err;
        ProcessResult shown = RunProcess({kLvpublish, "public-key", Key(name)});
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        // public-key prints the line keygen ended with.
        EXPECT_THAT(keygen.out, ::testing::EndsWith(shown.out));
        return shown.out.substr(0, shown.out.find('\n'));
    }
    std::string Key(const std::string& name) const { return work.Path() + "/" + name; }
    std::string ListPath() const {
        return server.Path() + "/lanternvale_patch/" + kKeyListFileName;
    }
    KeyList List() const {
        std::optional<KeyList> list = ParseKeyList(ReadFile(ListPath()));
        EXPECT_TRUE(list);
        return list.value_or(KeyList{});
    }
    // Days from now until `expires`, rounded.
    static int64_t DaysLeft(int64_t expires) {
        return (expires - static_cast<int64_t>(std::time(nullptr)) + kDay / 2) / kDay;
    }
    ProcessResult Run(std::vector<std::string> argv) {
        argv.insert(argv.begin(), kLvpublish);
        return RunProcess(argv);
    }

    TempDir work;
    TempDir server;
};

}  // namespace

TEST_F(KeyCommands, TheChannelIsSignedAndResignKeepsIt) {
    Keygen("operator.key");
    const std::string build = work.Path() + "/build";
    MakeBuild(build, {{"game.exe", "game"}});
    const std::string statementPath =
        server.Path() + "/lanternvale_patch/build_1/build_statement.txt";
    auto channel = [&] {
        std::optional<BuildStatement> s =
            FileExists(statementPath) ? ParseStatement(ReadFile(statementPath)) : std::nullopt;
        return s ? s->product + "/" + s->channel : "none";
    };
    const std::vector<std::string> publish = {build, server.Path(), "--game-exe", "game.exe"};
    const std::vector<std::string> resign = {"resign", server.Path(), "--sign-key",
                                             Key("operator.key")};
    auto with = [](std::vector<std::string> argv, std::vector<std::string> more) {
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    };
    const struct {
        std::vector<std::string> argv;
        int exitCode;
        const char* said;
        const char* channelAfter;
    } steps[] = {
        {with(publish, {"--channel", "staging"}), 1, "need --sign-key", "none"},
        {with(publish, {"--sign-key", Key("operator.key"), "--channel", "sta ging"}), 1,
         "--channel takes 1 to 64 letters", "none"},
        {with(publish, {"--sign-key", Key("operator.key"), "--product", "p/q"}), 1,
         "--product takes", "none"},
        {with(publish, {"--sign-key", Key("operator.key"), "--channel", "staging"}), 0, "",
         "lantern-vale/staging"},
        {resign, 0, "", "lantern-vale/staging"},
        {with(resign, {"--channel", "staging"}), 0, "", "lantern-vale/staging"},
        {with(resign, {"--channel", "live"}), 1, "publish the build again", "lantern-vale/staging"},
        {with(resign, {"--product", "other-game"}), 1, "is for product lantern-vale",
         "lantern-vale/staging"},
    };
    for (const auto& step : steps) {
        ProcessResult r = Run(step.argv);
        EXPECT_EQ(r.exitCode, step.exitCode) << step.argv.back() << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(step.said)) << step.argv.back();
        EXPECT_EQ(channel(), step.channelAfter) << step.argv.back();
    }
    // The default is the launcher's default.
    MakeBuild(build, {{"game.exe", "game 2"}});
    ASSERT_EQ(Run(with(publish, {"--sign-key", Key("operator.key")})).exitCode, 0);
    EXPECT_THAT(ReadFile(server.Path() + "/lanternvale_patch/build_2/build_statement.txt"),
                HasSubstr("\nproduct lantern-vale\nchannel live\n"));
}

// A server signed before statements named a product and channel: the next
// serial still goes above the ones launchers took from it.
TEST_F(KeyCommands, SerialsContinueAboveFormatOneStatements) {
    const std::string publicKey = Keygen("operator.key");
    const std::string base = server.Path() + "/lanternvale_patch/";
    MakeDirs(base + "build_1");
    // A format-1 statement the key signed, and one it did not.
    const std::string body = "lantern-vale-build-statement 1\nkey " + publicKey +
                             "\nbuild-folder build_1/\nserial 41\nmanifest-sha256 " +
                             std::string(64, 'b') + "\nexpires 2027-01-15T09:00:00Z\n";
    std::string signature(64, '\0');
    {
        FILE* keyFile = std::fopen(Key("operator.key").c_str(), "r");
        ASSERT_TRUE(keyFile);
        EVP_PKEY* key = PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr);
        std::fclose(keyFile);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        size_t length = signature.size();
        ASSERT_EQ(EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key), 1);
        ASSERT_EQ(
            EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                           reinterpret_cast<const unsigned char*>(body.data()), body.size()),
            1);
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(key);
    }
    WriteFile(base + "build_1/build_statement.txt",
              body + "signature " +
                  ToHex(reinterpret_cast<const uint8_t*>(signature.data()), signature.size()) +
                  "\n");
    MakeDirs(base + "build_0");
    WriteFile(base + "build_0/build_statement.txt",
              "lantern-vale-build-statement 1\nkey " + publicKey +
                  "\nbuild-folder build_0/\nserial 900\nmanifest-sha256 " + std::string(64, 'b') +
                  "\nexpires 2027-01-15T09:00:00Z\nsignature " + std::string(128, 'c') + "\n");
    const std::string build = work.Path() + "/build";
    MakeBuild(build, {{"game.exe", "game"}});
    ProcessResult r =
        Run({build, server.Path(), "--game-exe", "game.exe", "--sign-key", Key("operator.key")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::optional<BuildStatement> statement =
        ParseStatement(ReadFile(base + "build_2/build_statement.txt"));
    ASSERT_TRUE(statement);
    EXPECT_EQ(statement->serial, 42u);
}

TEST_F(KeyCommands, SignKeysAndRotateWriteListsTheRootKeySigned) {
    const std::string root = Keygen("root.key");
    const std::string a = Keygen("a.key");
    const std::string b = Keygen("b.key");
    const std::string c = Keygen("c.key");
    ProcessResult signKeys = Run({"sign-keys", server.Path(), "--root-key", Key("root.key"),
                                  "--build-key", a + ":30", "--build-key", b});
    ASSERT_EQ(signKeys.exitCode, 0) << signKeys.err;
    KeyList list = List();
    EXPECT_EQ(list.root, root);
    ASSERT_EQ(list.keys.size(), 2u);
    EXPECT_EQ(list.keys[0].key, a);
    EXPECT_EQ(DaysLeft(list.keys[0].expires), 30);
    EXPECT_EQ(DaysLeft(list.keys[1].expires), lvpublish::kDefaultBuildKeyDays);
    const int64_t now = std::time(nullptr);
    EXPECT_TRUE(SignerTrusted(root, a, ReadFile(ListPath()), now));
    EXPECT_FALSE(SignerTrusted(root, c, ReadFile(ListPath()), now));

    // c comes in for 10 days; a and b stay for 3 at most.
    ProcessResult rotate = Run({"rotate", server.Path(), "--root-key", Key("root.key"), "--new-key",
                                Key("c.key"), "--days", "10", "--grace", "3"});
    ASSERT_EQ(rotate.exitCode, 0) << rotate.err;
    list = List();
    ASSERT_EQ(list.keys.size(), 3u);
    EXPECT_EQ(list.keys[2].key, c);
    EXPECT_EQ(DaysLeft(list.keys[0].expires), 3);
    EXPECT_EQ(DaysLeft(list.keys[1].expires), 3);
    EXPECT_EQ(DaysLeft(list.keys[2].expires), 10);
    EXPECT_TRUE(SignerTrusted(root, c, ReadFile(ListPath()), now));
    EXPECT_TRUE(SignerTrusted(root, a, ReadFile(ListPath()), now + 2 * kDay));
    EXPECT_FALSE(SignerTrusted(root, a, ReadFile(ListPath()), now + 4 * kDay));
}

TEST_F(KeyCommands, RefusalsLeaveTheListAsItWas) {
    Keygen("root.key");
    const std::string a = Keygen("a.key");
    Keygen("stranger.key");
    ASSERT_EQ(
        Run({"sign-keys", server.Path(), "--root-key", Key("root.key"), "--build-key", a}).exitCode,
        0);
    const std::string before = Snapshot(server.Path());
    WriteFile(Key("junk.key"), "not a key");
    ::chmod(Key("junk.key").c_str(), 0600);
    const std::vector<std::string> sign = {"sign-keys", server.Path(), "--root-key",
                                           Key("root.key")};
    auto with = [](std::vector<std::string> argv, std::vector<std::string> more) {
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    };
    std::vector<std::string> nine = sign;
    for (int i = 0; i < 9; ++i)
        nine.insert(nine.end(), {"--build-key", std::string(63, 'a') + std::to_string(i)});
    const struct {
        std::vector<std::string> argv;
        int exitCode;
        const char* said;
    } cases[] = {
        {sign, 2, "at least one --build-key"},
        {with(sign, {"--build-key", a.substr(1)}), 1, "not a public key of 64 hex digits"},
        {with(sign, {"--build-key", a + "x"}), 1, "not a public key"},
        {with(sign, {"--build-key", a + ":0"}), 1, "DAYS must be"},
        {with(sign, {"--build-key", a + ":"}), 1, "DAYS must be"},
        {with(sign, {"--build-key", a + ":3651"}), 1, "DAYS must be"},
        {with(sign, {"--build-key", a, "--build-key", a}), 1, "none twice"},
        {nine, 1, "1 to 8 keys"},
        {{"sign-keys", server.Path(), "--build-key", a}, 2, "--root-key KEYFILE is required"},
        {{"sign-keys", server.Path(), "--root-key", Key("junk.key"), "--build-key", a},
         1,
         "not an Ed25519 signing key"},
        {{"rotate", server.Path(), "--root-key", Key("root.key")}, 2, "--new-key"},
        {{"rotate", server.Path(), "--root-key", Key("root.key"), "--new-key", Key("a.key"),
          "--grace", "0"},
         1,
         "--grace"},
        // A list it cannot vouch for is not carried over.
        {{"rotate", server.Path(), "--root-key", Key("stranger.key"), "--new-key", Key("a.key")},
         1,
         "is not a key list signed by"},
        {{"public-key", Key("junk.key")}, 1, "not an Ed25519 signing key"},
        {{"rotate", server.Path(), "--sign-key", Key("a.key")}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        ProcessResult r = Run(c.argv);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.said << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.said));
        EXPECT_EQ(Snapshot(server.Path()), before) << c.said;
    }
}

TEST(RotatedKeys, DropsExpiredKeysCapsTheRestAndRefusesAFullList) {
    const int64_t now = 1800000000;
    const std::string fresh(64, 'f');
    const std::vector<BuildKey> current = {
        {std::string(64, '1'), now + 100 * kDay},  // capped at the grace
        {std::string(64, '2'), now + kDay},        // keeps its own, earlier end
        {std::string(64, '3'), now},               // expired: dropped
        {fresh, now + 5 * kDay},                   // the new key itself: renewed
    };
    std::vector<BuildKey> keys;
    std::string error;
    ASSERT_TRUE(lvpublish::RotatedKeys(current, fresh, 30, 7, now, &keys, &error));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].expires, now + 7 * kDay);
    EXPECT_EQ(keys[1].expires, now + kDay);
    EXPECT_EQ(keys[2].key, fresh);
    EXPECT_EQ(keys[2].expires, now + 30 * kDay);

    std::vector<BuildKey> full;
    for (size_t i = 0; i < kMaxBuildKeys; ++i)
        full.push_back({std::string(63, 'a') + std::to_string(i), now + kDay});
    EXPECT_FALSE(lvpublish::RotatedKeys(full, fresh, 30, 7, now, &keys, &error));
    EXPECT_THAT(error, HasSubstr("more than 8"));
}
