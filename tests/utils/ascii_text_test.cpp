// Tests of the ASCII text helpers: exactly six whitespace bytes, trimming, case-blind prefixes.
#include "utils/ascii_text.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <string>
#include <string_view>

namespace {

TEST(AsciiText, WhitespaceIsTheClassicLocalesSixBytes) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        EXPECT_EQ(is_ascii_space(c), std::isspace(byte) != 0) << "byte " << byte;
    }
}

TEST(AsciiText, TrimRemovesWhitespaceAtBothEndsOnly) {
    const struct {
        std::string_view text;
        std::string_view trimmed;
    } cases[] = {
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"250 OK\r\n", "250 OK"},
        {"\v x \f y\t", "x \f y"},
        {"\xa0x\xa0", "\xa0x\xa0"}, // a non-breaking space in Latin-1 is no ASCII whitespace
        {std::string_view("\0x\0", 3), std::string_view("\0x\0", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim_ascii_space(c.text), c.trimmed) << '"' << c.text << '"';
    }
}

TEST(AsciiText, PrefixMatchesIgnoringAsciiCaseOnly) {
    EXPECT_TRUE(starts_with_ascii_nocase("mail from:<a@b>", "MAIL FROM:"));
    EXPECT_TRUE(starts_with_ascii_nocase("250-XFORWARD NAME", "250-xforward"));
    EXPECT_TRUE(starts_with_ascii_nocase("anything", ""));
    EXPECT_FALSE(starts_with_ascii_nocase("RCPT", "RCPT TO:"));
    EXPECT_FALSE(starts_with_ascii_nocase("\xc4x", "\xe4x")); // Latin-1 letters are not folded
    EXPECT_FALSE(starts_with_ascii_nocase("[", "{"));         // nor the bytes beside Z and z
    EXPECT_FALSE(starts_with_ascii_nocase("@", "`"));
}

} // namespace
