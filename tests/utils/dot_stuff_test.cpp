// Tests of dot-stuffing: exact output bytes for line breaks, leading dots and the final ".".
#include "utils/dot_stuff.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One message text and the stuffed bytes it must give.
struct stuff_case {
    const char* name;
    std::string input;
    std::string expected;
};

const std::vector<stuff_case> stuff_cases = {
    {"empty_input", "", "."},
    {"only_crlf", "\r\n", "\r\n."},
    {"final_crlf", "a\r\nb\r\n", "a\r\nb\r\n."},
    {"no_final_crlf", "a\r\nb", "a\r\nb\r\n."},
    {"leading_dot", ".a\r\n", "..a\r\n."},
    {"leading_two_dots", "..a\r\n", "...a\r\n."},
    {"lone_dot_line", "a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n."},
    {"dot_on_last_line_without_crlf", "a\r\n.", "a\r\n..\r\n."},
    {"dot_after_bare_lf_not_doubled", "a\n.b\r\n", "a\n.b\r\n."},
    {"bare_cr_stays", "a\rb\r\n.\r", "a\rb\r\n..\r\r\n."},
    {"empty_line_between", "a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n."},
    {"dot_inside_line_kept", "a.b\r\n", "a.b\r\n."},
    {"lf_only_text_is_one_line", "a\n.\n", "a\n.\n\r\n."},
};

class dot_stuff : public testing::TestWithParam<stuff_case> {};

TEST_P(dot_stuff, gives_exact_bytes) {
    const auto& c = GetParam();
    std::string output = "previous content";
    smtp_dot_stuff(c.input, output);
    EXPECT_EQ(output, c.expected);
}

INSTANTIATE_TEST_SUITE_P(cases, dot_stuff, testing::ValuesIn(stuff_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(dot_stuff_output, fits_the_single_reservation) {
    const std::string input = ".a\r\n.b\r\n.c";
    std::string output;
    smtp_dot_stuff(input, output);
    EXPECT_EQ(output, "..a\r\n..b\r\n..c\r\n.");
    EXPECT_GE(output.capacity(), input.size() + 3 + 3);
}

} // namespace
