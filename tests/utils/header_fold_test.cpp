// Tests of header value folding: exact bytes for the worked example and the limits, quotes,
// line breaks and separators that steer the folds.
#include "utils/header_fold.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Folds `value` for a header name of `name_len` bytes at the limit 75.
std::string fold(std::size_t name_len, const std::string& value,
                 rspamd_newlines_type how = RSPAMD_TASK_NEWLINES_CRLF) {
    const std::string name(name_len, 'N');
    GString* folded = rspamd_header_value_fold(name.data(), name.size(), value.data(), value.size(),
                                               75, how, nullptr);
    std::string result(folded->str, folded->len);
    g_string_free(folded, TRUE);
    return result;
}

// `count` four-letter words "w001 ", "w002 "... from number `first`, each followed by a space.
std::string words(int first, int count) {
    std::string text;
    for (int i = first; i < first + count; ++i) {
        text += (i < 10 ? "w00" : "w0") + std::to_string(i) + " ";
    }
    return text;
}

// The same words without the last space.
std::string words_trimmed(int first, int count) {
    auto text = words(first, count);
    text.pop_back();
    return text;
}

// One value, the length of the header name, and the CRLF-folded result.
struct fold_case {
    const char* name;
    std::size_t name_len;
    std::string value;
    std::string expected;
};

const std::string letters57(57, 'a');
const std::string letters50(50, 'a');
const std::string long_quote = "\"" + std::string(40, 'q') + " " + std::string(40, 'q') + "\"";

// Letters a, b, c ... separated by `separator`, `count` of them.
std::string separated(int count, char separator) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += separator;
        text += static_cast<char>('a' + i % 26);
    }
    return text;
}

const std::vector<fold_case> fold_cases = {
    {"empty_value", 6, "", ""},
    {"single_long_token_never_cut", 30, std::string(200, 'x'), std::string(200, 'x')},
    {"worked_example", 6, words(1, 30),
     words_trimmed(1, 11) + "\r\n\t" + words_trimmed(12, 13) + "\r\n\t" + words(25, 6)},
    {"tab_fold_moves_the_space", 1, letters57 + " \tz", letters57 + "\r\n\t z"},
    {"fold_already_present_kept", 6, "ab\r\n cd", "ab\r\n cd"},
    {"bare_crlf_replaced", 6, "ab\r\ncd", "ab\r\n\tcd"},
    {"bare_lf_replaced", 6, "ab\ncd", "ab\r\n\tcd"},
    {"bare_cr_replaced", 6, "ab\rcd", "ab\r\n\tcd"},
    {"line_break_at_end_becomes_fold", 6, "ab\n", "ab\r\n\t"},
    {"bare_break_keeps_line_length", 6, letters50 + "\nbbbbb z", letters50 + "\r\n\tbbbbb\r\n\tz"},
    {"fold_present_restarts_line_length", 6, letters50 + "\n bbbbb z", letters50 + "\n bbbbb z"},
    {"commas_not_counted", 6, separated(60, ','),
     separated(53, ',') + ",\r\n\t" + separated(60, ',').substr(106)},
    {"semicolons_not_counted", 6, separated(60, ';'),
     separated(53, ';') + ";\r\n\t" + separated(60, ';').substr(106)},
    {"long_quoted_string_not_cut", 6, long_quote + "x y", long_quote + "x\r\n\ty"},
    {"length_75_at_space_takes_token", 1, "a " + std::string(70, 'x') + " b",
     "a " + std::string(70, 'x') + "\r\n\tb"},
    {"length_76_at_space_folds_before", 1, "a " + std::string(71, 'x') + " b",
     "a\r\n\t" + std::string(71, 'x') + "\r\n\tb"},
    {"name_of_74_folds_before_second_word", 74, "ab cd", "ab\r\n\tcd"},
    {"separator_at_end_folds_first", 60, "abc,", "\r\n\tabc,"},
    {"separator_at_end_after_kept_fold", 6, "x\r\n " + std::string(61, 'y') + ",",
     "x\r\n " + std::string(61, 'y') + ","},
    {"last_token_past_hard_limit", 74, "ab ", "ab\r\n\t"},
    {"vertical_tab_is_whitespace", 60, "a\vb", "a\r\n\tb"},
};

class header_fold : public testing::TestWithParam<fold_case> {};

TEST_P(header_fold, gives_exact_bytes) {
    const auto& c = GetParam();
    EXPECT_EQ(fold(c.name_len, c.value), c.expected);
}

TEST_P(header_fold, lf_kind_differs_only_in_fold_sequence) {
    const auto& c = GetParam();
    std::string expected = c.expected;
    // Every fold sequence of the case (and only those) turns into its LF form.
    for (auto at = expected.find("\r\n\t"); at != std::string::npos;
         at = expected.find("\r\n\t", at + 2)) {
        if (c.value.find(expected.substr(at, 3)) == std::string::npos) expected.erase(at, 1);
    }
    EXPECT_EQ(fold(c.name_len, c.value, RSPAMD_TASK_NEWLINES_LF), expected);
}

INSTANTIATE_TEST_SUITE_P(cases, header_fold, testing::ValuesIn(fold_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(header_fold_kinds, crlf_pair_becomes_lf_fold_in_lf_mail) {
    EXPECT_EQ(fold(6, "ab\r\ncd", RSPAMD_TASK_NEWLINES_LF), "ab\n\tcd");
    EXPECT_EQ(fold(6, "ab\ncd", RSPAMD_TASK_NEWLINES_CRLF), "ab\r\n\tcd");
}

// `text` without its ASCII whitespace bytes.
std::string without_whitespace(const std::string& text) {
    std::string kept;
    for (const char byte : text) {
        if (std::string_view(" \t\n\v\f\r").find(byte) == std::string_view::npos)
            kept.push_back(byte);
    }
    return kept;
}

TEST(header_fold_property, adds_and_removes_only_whitespace) {
    // Values drawn from the bytes that steer the pass, by a fixed-seed generator.
    const std::vector<std::string> pieces = {"word", "x",  " ",  "\t",    ",",    ";", "\"",
                                             "\r\n", "\n", "\r", "\r\n ", "\n\t", "\v"};
    std::uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        std::string value;
        const auto length = next() % 80;
        for (std::uint32_t i = 0; i < length; ++i)
            value += pieces[(next() >> 8) % pieces.size()];
        const auto name_len = (next() >> 8) % 90;
        for (const auto how : {RSPAMD_TASK_NEWLINES_CRLF, RSPAMD_TASK_NEWLINES_LF}) {
            const auto folded = fold(name_len, value, how);
            ASSERT_EQ(without_whitespace(folded), without_whitespace(value))
                << testing::PrintToString(value);
        }
    }
}

TEST(header_fold_assertions, null_name_or_value_aborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        rspamd_header_value_fold(nullptr, 0, "v", 1, 75, RSPAMD_TASK_NEWLINES_CRLF, nullptr),
        "name != NULL");
    EXPECT_DEATH(
        rspamd_header_value_fold("n", 1, nullptr, 0, 75, RSPAMD_TASK_NEWLINES_CRLF, nullptr),
        "value != NULL");
}

} // namespace
