#include <gtest/gtest.h>

#include <limits>

#include "base/Scan.h"

using scan::Scanner;

TEST(Scan, TokenThatDoesNotFitItsBufferFailsInsteadOfSplitting) {
    Scanner s("abcd efg");
    std::string token;
    EXPECT_EQ(s.ReadToken(4, &token), Scanner::Token::kTooLong);  // 4 bytes need a 5-byte buffer
    EXPECT_EQ(s.ReadToken(4, &token), Scanner::Token::kOk);
    EXPECT_EQ(token, "efg");
    EXPECT_EQ(s.ReadToken(4, &token), Scanner::Token::kEnd);
}

TEST(Scan, FailedNumberLeavesTheTextForTheNextRead) {
    Scanner s("  word 12");
    int32_t value = 0;
    EXPECT_FALSE(s.ReadInt(&value));
    std::string token;
    ASSERT_EQ(s.ReadToken(16, &token), Scanner::Token::kOk);
    EXPECT_EQ(token, "word");
    EXPECT_TRUE(s.ReadInt(&value));
    EXPECT_EQ(value, 12);
}

TEST(Scan, NumberStopsAtFirstNonDigitAndClampsTo32Bits) {
    Scanner s("-3x 99999999999 +7");
    int32_t value = 0;
    ASSERT_TRUE(s.ReadInt(&value));
    EXPECT_EQ(value, -3);
    std::string rest;
    ASSERT_EQ(s.ReadToken(8, &rest), Scanner::Token::kOk);
    EXPECT_EQ(rest, "x");
    ASSERT_TRUE(s.ReadInt(&value));
    EXPECT_EQ(value, std::numeric_limits<int32_t>::max());
    ASSERT_TRUE(s.ReadInt(&value));
    EXPECT_EQ(value, 7);
}

TEST(Scan, ParseInt64ReadsLikeStrtoll) {
    EXPECT_EQ(scan::ParseInt64("1234"), 1234);
    EXPECT_EQ(scan::ParseInt64("  -12abc"), -12);
    EXPECT_EQ(scan::ParseInt64("abc"), 0);
    EXPECT_EQ(scan::ParseInt64(""), 0);
    EXPECT_EQ(scan::ParseInt64("4294967296"), 4294967296LL);
    EXPECT_EQ(scan::ParseInt64("99999999999999999999"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(scan::ParseInt64("-99999999999999999999"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(scan::ParseInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(scan::ParseInt32(" 8080"), 8080);
    EXPECT_EQ(scan::ParseInt32("x80"), 0);
}

TEST(Scan, UpperCasingTouchesOnlyAsciiLetters) {
    EXPECT_EQ(scan::ToUpper("game_exe\xe9"), "GAME_EXE\xe9");
    EXPECT_EQ(scan::Trim(" \t size:1 \r"), "size:1");
}
