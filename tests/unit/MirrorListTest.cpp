#include <gtest/gtest.h>

#include <string>

#include "patch/MirrorList.h"
#include "patch/Mirrors.h"
#include "patch/RunContext.h"

TEST(ServerAddress, BaseUrlsAreTakenAsWrittenAndAnythingElseRefused) {
    struct Case {
        const char* url;
        const char* base;  // nullptr: refused
    } cases[] = {
        {"https://cdn.example.com/lanternvale_patch/",
         "https://cdn.example.com:443/lanternvale_patch/"},
        {"http://10.0.0.7:8080/a/lanternvale_patch/", "http://10.0.0.7:8080/a/lanternvale_patch/"},
        {"http://[::1]:81/lanternvale_patch/", "http://[::1]:81/lanternvale_patch/"},
        {"http://host/", "http://host:80/"},
        {"ftp://host/lanternvale_patch/", nullptr},
        {"http://host/lanternvale_patch", nullptr},  // no last slash
        {"http://host", nullptr},
        {"http:///lanternvale_patch/", nullptr},
        {"http://host:0/x/", nullptr},
        {"http://host:65536/x/", nullptr},
        {"http://host:/x/", nullptr},
        {"http://user@host/x/", nullptr},
        {"http://host/../x/", nullptr},
        {"http://host/a//b/", nullptr},
        {"http://host/a b/", nullptr},
        {"http://host/a?b/", nullptr},
        {"http://host/%2e%2e/", nullptr},
        {"http://-host/x/", nullptr},
        {"http://[::1/x/", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::optional<ServerAddress> address = ParseServerAddress(c.url);
        ASSERT_EQ(address.has_value(), c.base != nullptr);
        if (address) {
            EXPECT_EQ(address->Base(), c.base);
            EXPECT_EQ(address->Url("build_2/a.dat"), std::string(c.base) + "build_2/a.dat");
        }
    }
}

TEST(MirrorList, WhatIsWrittenIsReadBackAndAnythingElseIsRefused) {
    MirrorList plain;
    plain.mirrors = {"http://a.example/lanternvale_patch/", "https://b.example/lanternvale_patch/"};
    MirrorList bound = plain;
    bound.key = std::string(64, 'a');
    bound.product = "lantern-vale";
    bound.channel = "live";
    bound.buildFolder = "build_3/";
    bound.manifestSha256 = std::string(64, 'b');
    bound.signature = std::string(128, 'c');
    for (const MirrorList& list : {plain, bound}) {
        std::optional<MirrorList> back = ParseMirrorList(FormatMirrorList(list));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->mirrors, list.mirrors);
        EXPECT_EQ(FormatMirrorList(*back), FormatMirrorList(list));
    }

    const std::string text = FormatMirrorList(plain);
    const std::string one = "lantern-vale-mirrors 1\nmirror http://a.example/lanternvale_patch/\n";
    std::string many = "lantern-vale-mirrors 1\n";
    for (size_t i = 0; i <= kMaxMirrors; ++i)
        many += "mirror http://m" + std::to_string(i) + ".example/lanternvale_patch/\n";
    const std::string refused[] = {
        "",
        "lantern-vale-mirrors 1\n",                                             // no mirror
        "lantern-vale-mirrors 2\nmirror http://a.example/x/\n",                 // another format
        one.substr(0, one.size() - 1),                                          // no last line feed
        one + one.substr(one.find('\n') + 1),                                   // a mirror twice
        one + "mirror ftp://a.example/x/\n",                                    // not a base URL
        one + "# comment\n",                                                    // anything else
        text.substr(0, text.find('\n') + 1) + "mirror  http://a.example/x/\n",  // two blanks
        FormatMirrorList(bound).substr(0, FormatMirrorList(bound).find("signature")),  // unsigned
        many,
    };
    for (const std::string& bad : refused) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseMirrorList(bad));
    }
}

// Servers take turns while none is measured; once measured, a slow one gets
// a transfer only when the fast ones are that much busier, one that is slow
// now only when the others are busier still, and a skipped or unchecked one
// gets none.
TEST(ServerChoice, TransfersGoWhereTheyEndSoonest) {
    const ServerAddress a = *ParseServerAddress("http://a.example/p/");
    const ServerAddress b = *ParseServerAddress("http://b.example/p/");
    const ServerAddress c = *ParseServerAddress("http://c.example/p/");
    ServerSet set;
    set.Reset(a);
    set.Add(b, "mirror");
    EXPECT_FALSE(set.Add(a, "mirror"));
    set.Add(c, "mirror");
    set.MarkChecked(1);
    set.MarkChecked(2);
    // The servers chosen for the next `count` transfers, which stay in
    // flight unless `end` says they end at once.
    auto take = [&](int count, bool end) {
        std::string order;
        for (int i = 0; i < count; ++i) {
            const int chosen = set.Choose();
            order += static_cast<char>('a' + chosen);
            set.Started(static_cast<size_t>(chosen));
            if (end)
                set.Ended(static_cast<size_t>(chosen), -1);
        }
        return order;
    };
    EXPECT_EQ(take(6, true), "abcabc");

    // a brings 4 MB/s a transfer, b 1 MB/s, c is skipped and d not checked:
    // b's first turn comes when a holds three.
    set.Started(0);
    set.Ended(0, 4000000);
    set.Started(1);
    set.Ended(1, 1000000);
    RunContext run;
    set.Skip(run, 2, "it answered 503");
    set.Add(*ParseServerAddress("http://d.example/p/"), "mirror");
    EXPECT_EQ(take(5, false), "aaaba");

    // What the transfers in flight bring now counts where it is less: a
    // slowed to 100 kB/s a transfer, so b takes the next ones; d, not
    // measured yet but with a first transfer trickling in, gets none, nor
    // does b once it stalls.
    set.MarkChecked(3);
    set.Started(3);
    set.Observe(3, 1000);
    set.Observe(0, 100000);
    EXPECT_EQ(take(3, false), "bbb");
    set.Observe(1, 0);
    EXPECT_EQ(set.Choose(), 0);
    // A transfer moved away for what it brought stands for its server; an
    // ended one only blends in: a, with a stalled transfer moved away,
    // falls behind b.
    set.Observe(0, -1);
    set.Observe(1, -1);
    set.Ended(0, 0, true);
    EXPECT_EQ(set.Choose(), 1);
    set.Skip(run, 0, "it broke off");
    set.Skip(run, 1, "it broke off");
    set.Skip(run, 3, "it broke off");
    EXPECT_EQ(set.Choose(), -1);
}
