#include <gtest/gtest.h>

#include "TestFolder.h"
#include "state/LocalFiles.h"
#include "state/Settings.h"

TEST(Settings, RewriteKeepsCommentsUnknownKeysAndLayout) {
    const std::string original =
        "# written by hand\n"
        "\n"
        "colour = blue\n"
        "  Limit_Rate=  2 MiB/s  \r\n"
        "not a setting\n"
        "proxy = http://10.0.0.1:3128\n";
    Settings settings;
    settings.Parse(original);
    EXPECT_EQ(settings.Text(), original);  // nothing changed: byte for byte

    settings.SetLimitRate(512 * 1024);
    settings.Set("proxy", "none");
    settings.Set("window", "large");
    EXPECT_EQ(settings.Text(),
              "# written by hand\n"
              "\n"
              "colour = blue\n"
              "limit_rate = 512 KiB/s\n"
              "not a setting\n"
              "proxy = none\n"
              "window = large\n");
    // A last line without a line feed gains one; nothing else moves.
    settings.Parse("a = 1");
    EXPECT_EQ(settings.Text(), "a = 1\n");
}

TEST(Settings, LastLineCountsAndSetDropsEarlierDuplicates) {
    Settings settings;
    settings.Parse("limit_rate = 100 KiB/s\n# note\nLIMIT_RATE = 200 KiB/s\nx == y\n");
    EXPECT_EQ(settings.LimitRate(), 200 * 1024);
    EXPECT_EQ(settings.Get("x"), "= y");
    EXPECT_EQ(settings.Get("# note"), std::nullopt);
    settings.SetLimitRate(std::nullopt);
    EXPECT_EQ(settings.Text(), "# note\nlimit_rate = off\nx == y\n");
    EXPECT_EQ(settings.LimitRate(), std::nullopt);
    settings.Remove("X");
    EXPECT_EQ(settings.Text(), "# note\nlimit_rate = off\n");
}

TEST(Settings, RatesParseOnlyWithTheirUnit) {
    struct Case {
        const char* text;
        std::optional<int64_t> bytes;
    } cases[] = {
        {"500 KiB/s", 500 * 1024},
        {"500KiB/s", 500 * 1024},
        {" 2 mib/s ", 2 * 1024 * 1024},
        {"1.5 MiB/s", 1536 * 1024},
        {"0.001 KiB/s", 1},  // rounded to the byte
        {"500", std::nullopt},
        {"500 KB/s", std::nullopt},
        {"500 kbit/s", std::nullopt},
        {"-5 KiB/s", std::nullopt},
        {"0 KiB/s", std::nullopt},
        {"1. KiB/s", std::nullopt},
        {".5 KiB/s", std::nullopt},
        {"1 KiB/s extra", std::nullopt},
        {"9999999999 MiB/s", std::nullopt},  // would overflow
        {"off", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseRate(c.text), c.bytes) << c.text;

    for (int64_t rate : {int64_t{1024}, int64_t{1536}, int64_t{3 << 20}, int64_t{1000},
                         int64_t{(5 << 20) + 512}}) {
        std::string text = FormatRate(rate);
        std::optional<int64_t> back = ParseRate(text);
        ASSERT_TRUE(back) << text;
        EXPECT_NEAR(static_cast<double>(*back), static_cast<double>(rate), 1.0) << text;
    }
    EXPECT_EQ(FormatRate(3 << 20), "3 MiB/s");
    EXPECT_EQ(FormatRate(1536), "1.5 KiB/s");
}

TEST(Settings, ProxyTakesOnlyAPlainHttpAddress) {
    struct Case {
        const char* value;
        Settings::ProxySetting::Kind kind;
    } cases[] = {
        {"http://proxy.example.net:3128", Settings::ProxySetting::Kind::kUrl},
        {"HTTP://127.0.0.1:8080/", Settings::ProxySetting::Kind::kUrl},
        {"http://[::1]:3128", Settings::ProxySetting::Kind::kUrl},
        {"http://proxy", Settings::ProxySetting::Kind::kUrl},
        {"None", Settings::ProxySetting::Kind::kNone},
        {"", Settings::ProxySetting::Kind::kAutomatic},
        {"proxy:3128", Settings::ProxySetting::Kind::kAutomatic},
        {"socks5://h:1", Settings::ProxySetting::Kind::kAutomatic},
        {"http://user:pw@h:1", Settings::ProxySetting::Kind::kAutomatic},
        {"http://h:0", Settings::ProxySetting::Kind::kAutomatic},
        {"http://h:65536", Settings::ProxySetting::Kind::kAutomatic},
        {"http://h:80/path", Settings::ProxySetting::Kind::kAutomatic},
        {"http://h\x01:80", Settings::ProxySetting::Kind::kAutomatic},
        {"http://[::1", Settings::ProxySetting::Kind::kAutomatic},
        {"http://:80", Settings::ProxySetting::Kind::kAutomatic},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.Parse(std::string("proxy = ") + c.value + "\n");
        Settings::ProxySetting proxy = settings.Proxy();
        EXPECT_EQ(proxy.kind, c.kind) << c.value;
        EXPECT_EQ(proxy.url, c.kind == Settings::ProxySetting::Kind::kUrl ? c.value : "");
    }
}

TEST(Settings, SetProxyTakesOnlyWhatTheLauncherCanUseAndKeepsAnUnchangedLine) {
    Settings settings;
    settings.Parse("proxy=NONE\n");
    EXPECT_TRUE(settings.SetProxy("none"));
    EXPECT_EQ(settings.Text(), "proxy=NONE\n");  // same meaning: left as written
    EXPECT_FALSE(settings.SetProxy("ftp://h:1"));
    EXPECT_FALSE(settings.SetProxy("http://h:1 extra"));
    EXPECT_EQ(settings.Text(), "proxy=NONE\n");
    EXPECT_TRUE(settings.SetProxy("http://h:8080"));
    EXPECT_EQ(settings.Text(), "proxy = http://h:8080\n");
    EXPECT_TRUE(settings.SetProxy(""));
    EXPECT_EQ(settings.Text(), "");
    EXPECT_EQ(settings.Proxy().kind, Settings::ProxySetting::Kind::kAutomatic);
}

TEST(Settings, FileIsReplacedWholeAndOversizedOrMissingFilesAreNotSettings) {
    TestFolder folder;
    Settings settings;
    EXPECT_EQ(settings.Load(), Settings::LoadResult::kMissing);
    EXPECT_EQ(settings.LimitRate(), std::nullopt);

    WriteFile(Settings::kFileName, "# mine\nlimit_rate = 64 KiB/s\n");
    ASSERT_EQ(settings.Load(), Settings::LoadResult::kLoaded);
    EXPECT_EQ(settings.LimitRate(), 64 * 1024);
    settings.Set("proxy", "http://127.0.0.1:1");
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(ReadFile(Settings::kFileName),
              "# mine\nlimit_rate = 64 KiB/s\nproxy = http://127.0.0.1:1\n");
    EXPECT_FALSE(FileExists(TemporaryNameFor(Settings::kFileName)));

    WriteFile(Settings::kFileName, std::string(Settings::kMaxFileSize + 1, '#'));
    EXPECT_EQ(settings.Load(), Settings::LoadResult::kUnreadable);
    EXPECT_EQ(settings.Text(), "");

    // A save that cannot replace the file leaves it and no temporary behind.
    TestFolder other;
    MakeDirs(std::string(Settings::kFileName) + "/inside");
    settings.Parse("limit_rate = off\n");
    EXPECT_FALSE(settings.Save());
    EXPECT_TRUE(FileExists(std::string(Settings::kFileName) + "/inside"));
    EXPECT_FALSE(FileExists(TemporaryNameFor(Settings::kFileName)));
}
