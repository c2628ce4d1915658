#include "at_tok.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// The tokenizer writes into the line: each case works on its own copy.
struct Line {
    explicit Line(const char *text) { snprintf(buf, sizeof buf, "%s", text); }
    char buf[128];
    char *cursor = buf;
};

TEST(AtTok, NumbersAndQuotedStringsUntilTheLineEnds) {
    Line l("+CREG: 2,\"1A2B\",7");
    int n = -1;
    char *s = nullptr;
    ASSERT_EQ(at_tok_start(&l.cursor), 0);
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(at_tok_nextstr(&l.cursor, &s), 0);
    EXPECT_STREQ(s, "1A2B");
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(l.cursor, nullptr);
    EXPECT_EQ(at_tok_nextint(&l.cursor, &n), -1);
    EXPECT_EQ(at_tok_nextstr(&l.cursor, &s), -1);
}

TEST(AtTok, QuotedFieldsKeepCommasAndDropTrailingText) {
    Line l("+COPS: 0,\"Net, Inc.\"junk ,7,,\"open");
    int n = -1;
    char *s = nullptr;
    ASSERT_EQ(at_tok_start(&l.cursor), 0);
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    ASSERT_EQ(at_tok_nextstr(&l.cursor, &s), 0);
    EXPECT_STREQ(s, "Net, Inc.");
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    EXPECT_EQ(n, 7);
    ASSERT_EQ(at_tok_nextstr(&l.cursor, &s), 0); // empty field between commas
    EXPECT_STREQ(s, "");
    ASSERT_EQ(at_tok_nextstr(&l.cursor, &s), 0); // no closing quote: runs to the end
    EXPECT_STREQ(s, "open");
    EXPECT_EQ(l.cursor, nullptr);

    Line e("+X: 5,,\"\",");
    ASSERT_EQ(at_tok_start(&e.cursor), 0);
    ASSERT_EQ(at_tok_nextint(&e.cursor, &n), 0);
    EXPECT_EQ(at_tok_nextint(&e.cursor, &n), -1); // an empty field is no number
    ASSERT_EQ(at_tok_nextstr(&e.cursor, &s), 0);
    EXPECT_STREQ(s, "");
    ASSERT_NE(e.cursor, nullptr); // the rest after the last comma is one more field
    ASSERT_EQ(at_tok_nextstr(&e.cursor, &s), 0);
    EXPECT_EQ(e.cursor, nullptr);
}

TEST(AtTok, LineWithoutColonFailsEveryLaterOperation) {
    Line l("OK");
    int n;
    char *s;
    EXPECT_EQ(at_tok_start(&l.cursor), -1);
    EXPECT_EQ(l.cursor, nullptr);
    EXPECT_EQ(at_tok_nextint(&l.cursor, &n), -1);
    EXPECT_EQ(at_tok_nextbool(&l.cursor, nullptr), -1);
    EXPECT_EQ(at_tok_nextstr(&l.cursor, &s), -1);
    EXPECT_EQ(at_tok_nexttoken(&l.cursor), nullptr);
}

TEST(AtTok, BoolsAreZeroOrOne) {
    Line l("+CFUN: 2,1,0");
    char b = 7;
    ASSERT_EQ(at_tok_start(&l.cursor), 0);
    EXPECT_EQ(at_tok_nextbool(&l.cursor, &b), -1);
    EXPECT_EQ(b, 7);
    ASSERT_EQ(at_tok_nextbool(&l.cursor, &b), 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(at_tok_nextbool(&l.cursor, nullptr), 0);
}

TEST(AtTok, NumbersSkipLeadingBlanksAndIgnoreTrailingText) {
    Line l("+CSQ:   17 , 99abc,FFFFFFFF");
    int n = -1;
    ASSERT_EQ(at_tok_start(&l.cursor), 0);
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    EXPECT_EQ(n, 17);
    ASSERT_EQ(at_tok_nextint(&l.cursor, &n), 0);
    EXPECT_EQ(n, 99);
    ASSERT_EQ(at_tok_nextint_base(&l.cursor, &n, 16, 1), 0);
    EXPECT_EQ(static_cast<unsigned>(n), 0xFFFFFFFFu);
}

} // namespace
