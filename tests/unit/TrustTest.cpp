#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "TestFolder.h"
#include "base/Sha256.h"
#include "patch/Ed25519.h"
#include "patch/KeyList.h"
#include "patch/SigningKey.h"
#include "patch/Trust.h"

namespace {

const int64_t kNow = 1800000000;  // 2027-01-15

SigningKey Key() {
    static const SigningKey key = *GenerateSigningKey();
    return key;
}

BuildStatement Signed(uint64_t serial = 5, const std::string& folder = "build_5/",
                      int64_t expires = kNow + 3600, const SigningKey& key = Key()) {
    BuildStatement s;
    s.product = "lantern-vale";
    s.channel = "live";
    s.buildFolder = folder;
    s.serial = serial;
    s.manifestSha256 = Sha256Hex("the manifest");
    s.expires = expires;
    EXPECT_TRUE(SignStatement(key, &s));
    return s;
}

TrustExpectation Expect() {
    TrustExpectation e;
    e.trustedKey = Key().publicHex;
    e.product = "lantern-vale";
    e.channel = "live";
    e.manifestSha256 = Sha256Hex("the manifest");
    e.buildFolder = "build_5/";
    e.highestAcceptedSerial = 5;
    e.now = kNow;
    return e;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST(Statement, WritesAndReadsBackExactly) {
    BuildStatement s = Signed();
    std::string text = FormatStatement(s);
    EXPECT_EQ(text.substr(0, text.find('\n')), "lantern-vale-build-statement 2");
    EXPECT_NE(text.find("\nkey " + Key().publicHex + "\nproduct lantern-vale\nchannel live\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nexpires 2027-01-15T09:00:00Z\n"), std::string::npos) << text;
    std::optional<BuildStatement> back = ParseStatement(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(FormatStatement(*back), text);
    EXPECT_EQ(back->serial, 5u);
    EXPECT_EQ(back->buildFolder, "build_5/");
    EXPECT_EQ(back->key, Key().publicHex);
    EXPECT_EQ(back->product, "lantern-vale");
    EXPECT_EQ(back->channel, "live");
    // An empty build folder is legal to build_folder.txt, so here too.
    EXPECT_TRUE(ParseStatement(FormatStatement(Signed(5, ""))));
}

TEST(Statement, RefusesAnythingItWouldNotHaveWritten) {
    const std::string good = FormatStatement(Signed());
    const std::string hex = Key().publicHex;
    const std::string upper = [&] {
        std::string u = hex;
        for (char& c : u)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return u;
    }();
    const std::string bad[] = {
        "",
        good.substr(0, good.size() - 1),                             // last line feed missing
        good + "\n",                                                 // trailing bytes
        good + "extra 1\n",                                          // an unknown field
        Replace(good, "\n", "\r\n"),                                 // carriage return
        Replace(good, "statement 2", "statement 1"),                 // another format
        Replace(good, "serial 5", "serial 05"),                      // leading zero
        Replace(good, "serial 5", "serial 0"),                       // zero
        Replace(good, "serial 5", "serial -5"),                      // sign
        Replace(good, "serial 5", "serial 1234567890123456789"),     // 19 digits
        Replace(good, "serial 5", "serial  5"),                      // two blanks
        Replace(good, "build-folder build_5/", "build-folder a b"),  // blank inside
        Replace(good, "build-folder build_5/", "build-folder " + std::string(256, 'x')),
        Replace(good, "key " + hex, "key " + upper),          // uppercase hex
        Replace(good, "key " + hex, "key " + hex.substr(2)),  // short key
        Replace(good, "expires 2027-01-15T09:00:00Z", "expires 2027-02-30T09:00:00Z"),
        Replace(good, "expires 2027-01-15T09:00:00Z", "expires 2027-01-15 09:00:00"),
        Replace(good, "expires 2027-01-15T09:00:00Z", "expires 1800003600"),
        // Fields out of order.
        Replace(Replace(good, "serial 5\n", ""), "expires", "serial 5\nexpires"),
        Replace(good, "product lantern-vale\nchannel live", "channel live\nproduct lantern-vale"),
        Replace(good, "product lantern-vale\n", ""),      // no product
        Replace(good, "channel live", "channel "),        // empty name
        Replace(good, "channel live", "channel li ve"),   // blank inside
        Replace(good, "channel live", "channel live/2"),  // not a short name
        Replace(good, "product lantern-vale", "product " + std::string(65, 'p')),
        std::string(kMaxStatementBytes + 1, 'a'),
    };
    for (const std::string& text : bad)
        EXPECT_FALSE(ParseStatement(text)) << text;
}

TEST(Statement, UtcTimesRoundTripAndRefuseImpossibleDates) {
    for (int64_t t : {int64_t{0}, kNow, int64_t{951782400} /* 2000-02-29 */})
        EXPECT_EQ(ParseUtc(FormatUtc(t)), t) << FormatUtc(t);
    // Known points, so that a round trip through the same wrong calendar fails.
    EXPECT_EQ(FormatUtc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(ParseUtc("2038-01-19T03:14:08Z"), int64_t{2147483648});
    EXPECT_FALSE(ParseUtc("2001-02-29T00:00:00Z"));
    EXPECT_FALSE(ParseUtc("2027-01-15T24:00:00Z"));
    EXPECT_FALSE(ParseUtc("2027-13-01T00:00:00Z"));
    EXPECT_FALSE(ParseUtc("2027-01-15T09:00:00z"));
}

TEST(Statement, EachCheckNamesWhatFailed) {
    const SigningKey other = *GenerateSigningKey();
    std::string good = FormatStatement(Signed());
    EXPECT_EQ(VerifyStatement(good, Expect()), TrustCheck::kPassed);

    EXPECT_EQ(VerifyStatement(std::nullopt, Expect()), TrustCheck::kMissing);
    EXPECT_EQ(VerifyStatement(std::string("<html>404</html>"), Expect()), TrustCheck::kMalformed);
    EXPECT_EQ(VerifyStatement(FormatStatement(Signed(5, "build_5/", kNow + 3600, other)), Expect()),
              TrustCheck::kWrongKey);

    // Another key's signature under the trusted key's name.
    BuildStatement forged = Signed(5, "build_5/", kNow + 3600, other);
    forged.key = Key().publicHex;
    EXPECT_EQ(VerifyStatement(FormatStatement(forged), Expect()), TrustCheck::kBadSignature);
    // Any signed field changed after signing.
    EXPECT_EQ(VerifyStatement(Replace(good, "serial 5", "serial 9"), Expect()),
              TrustCheck::kBadSignature);
    EXPECT_EQ(
        VerifyStatement(Replace(good, "expires 2027-01-15T09", "expires 2099-01-15T09"), Expect()),
        TrustCheck::kBadSignature);

    TrustExpectation e = Expect();
    e.manifestSha256 = Sha256Hex("another manifest");
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kManifestMismatch);

    e = Expect();
    e.buildFolder = "build_6/";
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kOtherBuildFolder);

    e = Expect();
    e.highestAcceptedSerial = 6;
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kRollback);
    e.highestAcceptedSerial = 5;  // the same build again is no rollback
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kPassed);

    e = Expect();
    e.now = kNow + 3600;  // expiry is the first second no longer valid
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kExpired);
    e.now = kNow + 3599;
    EXPECT_EQ(VerifyStatement(good, e), TrustCheck::kPassed);
}

TEST(Statement, SigningKeyReadsBackFromItsFile) {
    std::optional<SigningKey> read = ReadSigningKey(Key().privatePem);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->publicHex, Key().publicHex);
    EXPECT_EQ(read->publicHex.size(), 64u);
    EXPECT_FALSE(ReadSigningKey("not a key"));
    EXPECT_FALSE(ReadSigningKey(""));
    EXPECT_TRUE(VerifySignature(Key().publicHex, StatementBody(Signed()), Signed().signature));
}

TEST(AcceptedSerial, SavedWholeAndReadBack) {
    TestFolder folder;
    EXPECT_EQ(ReadAcceptedSerial(), 0u);
    ASSERT_TRUE(SaveAcceptedSerial(41));
    ASSERT_TRUE(SaveAcceptedSerial(42));
    EXPECT_EQ(ReadAcceptedSerial(), 42u);
    EXPECT_EQ(ReadFile(kTrustStateFileName), "42\n");
    EXPECT_FALSE(FileExists(std::string(kTrustStateFileName) + ".tmp"));
    // A damaged record is no record; a huge number is not read as one.
    WriteFile(kTrustStateFileName, "garbage");
    EXPECT_EQ(ReadAcceptedSerial(), 0u);
    WriteFile(kTrustStateFileName, std::string(40, '9'));
    EXPECT_EQ(ReadAcceptedSerial(), 0u);
}

namespace {

const SigningKey& BuildKeyA() {
    static const SigningKey key = *GenerateSigningKey();
    return key;
}

const SigningKey& Stranger() {
    static const SigningKey key = *GenerateSigningKey();
    return key;
}

// A list naming BuildKeyA until kNow + 3600 (and the stranger's key, expired),
// signed by `signer`.
KeyList Listed(const SigningKey& signer = Key()) {
    KeyList list;
    list.serial = 7;
    list.keys = {{BuildKeyA().publicHex, kNow + 3600}, {Stranger().publicHex, kNow - 1}};
    EXPECT_TRUE(SignKeyList(signer, &list));
    return list;
}

}  // namespace

TEST(KeyList, WritesAndReadsBackExactly) {
    const std::string text = FormatKeyList(Listed());
    EXPECT_EQ(text, "lantern-vale-build-keys 1\nroot " + Key().publicHex +
                        "\nserial 7\nbuild-key " + BuildKeyA().publicHex +
                        " 2027-01-15T09:00:00Z\nbuild-key " + Stranger().publicHex +
                        " 2027-01-15T07:59:59Z\nsignature " + Listed().signature + "\n");
    std::optional<KeyList> back = ParseKeyList(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(FormatKeyList(*back), text);
    ASSERT_EQ(back->keys.size(), 2u);
    EXPECT_EQ(back->keys[0].expires, kNow + 3600);
}

TEST(KeyList, RefusesAnythingItWouldNotHaveWritten) {
    const std::string good = FormatKeyList(Listed());
    const std::string a = BuildKeyA().publicHex;
    const std::string line = "build-key " + a + " 2027-01-15T09:00:00Z\n";
    KeyList nine;
    nine.root = Key().publicHex;
    nine.serial = 1;
    nine.signature = std::string(128, '0');
    for (int i = 0; i < 9; ++i)
        nine.keys.push_back({Sha256Hex(std::to_string(i)), kNow});
    KeyList eight = nine;
    eight.keys.pop_back();
    ASSERT_TRUE(ParseKeyList(FormatKeyList(eight)));  // the most it takes
    const std::string bad[] = {
        "",
        good.substr(0, good.size() - 1),                       // last line feed missing
        good + "\n",                                           // trailing bytes
        Replace(good, "\n", "\r\n"),                           // carriage return
        Replace(good, "build-keys 1", "build-keys 2"),         // another format
        Replace(good, line, line + line),                      // a key twice
        Replace(good, a, a.substr(1)),                         // short key
        Replace(good, a, Sha256Hex("x").substr(0, 63) + "A"),  // uppercase hex
        Replace(good, a + " 2027", a + "  2027"),              // two blanks
        Replace(good, "2027-01-15T09:00:00Z", "2027-02-30T09:00:00Z"),
        Replace(good, "2027-01-15T09:00:00Z\n", "\n"),  // no expiry
        Replace(good, "2027-01-15T09:00:00Z", "2027-01-15T09:00:00Z x"),
        Replace(good, "root ", "root-key "),     // unknown field
        Replace(good, "serial 7\n", ""),         // no serial
        Replace(good, "serial 7", "serial 07"),  // a leading zero
        Replace(good, "serial 7", "serial 1234567890123456789"),
        Replace(good, "lantern-vale-build-keys 1\n", ""),  // no first line
        // No keys at all, and more than the bound.
        "lantern-vale-build-keys 1\nroot " + Key().publicHex + "\nserial 7\nsignature " +
            std::string(128, '0') + "\n",
        FormatKeyList(nine),
        std::string(kMaxKeyListBytes + 1, 'a'),
    };
    for (const std::string& text : bad)
        EXPECT_FALSE(ParseKeyList(text)) << text;
}

TEST(KeyList, WhoMaySignAStatement) {
    const std::string listed = FormatKeyList(Listed());
    // Signed by the stranger, then put under the launcher's root.
    KeyList forged = Listed(Stranger());
    forged.root = Key().publicHex;
    KeyList longer = Listed();
    longer.keys[0].expires = kNow + 86400;  // after signing
    const struct {
        const char* what;
        std::string signer;
        std::optional<std::string> list;
        int64_t now;
        bool trusted;
    } cases[] = {
        {"the root key, no list", Key().publicHex, std::nullopt, kNow, true},
        {"the root key, any list", Key().publicHex, std::string("junk"), kNow, true},
        {"a listed key", BuildKeyA().publicHex, listed, kNow, true},
        {"a listed key, last second", BuildKeyA().publicHex, listed, kNow + 3599, true},
        {"a listed key, expired", BuildKeyA().publicHex, listed, kNow + 3600, false},
        {"a key listed as expired", Stranger().publicHex, listed, kNow, false},
        {"an unlisted key", Sha256Hex("unlisted"), listed, kNow, false},
        {"a listed key, no list", BuildKeyA().publicHex, std::nullopt, kNow, false},
        {"a list by another root", BuildKeyA().publicHex, FormatKeyList(Listed(Stranger())), kNow,
         false},
        {"another's signature under the root", BuildKeyA().publicHex, FormatKeyList(forged), kNow,
         false},
        {"a list changed after signing", BuildKeyA().publicHex, FormatKeyList(longer), kNow, false},
        {"a malformed list", BuildKeyA().publicHex, listed + "\n", kNow, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SignerTrusted(Key().publicHex, c.signer, c.list, c.now), c.trusted) << c.what;
}

TEST(KeyList, AStatementByABuildKeyPassesOnlyWithTheList) {
    const std::string statement = FormatStatement(Signed(5, "build_5/", kNow + 3600, BuildKeyA()));
    TrustExpectation e = Expect();
    EXPECT_EQ(VerifyStatement(statement, e), TrustCheck::kWrongKey);
    e.keyList = FormatKeyList(Listed());
    EXPECT_EQ(VerifyStatement(statement, e), TrustCheck::kPassed);
    // The listed key's name over the stranger's signature.
    BuildStatement forged = Signed(5, "build_5/", kNow + 3600, Stranger());
    forged.key = BuildKeyA().publicHex;
    EXPECT_EQ(VerifyStatement(FormatStatement(forged), e), TrustCheck::kBadSignature);
}
