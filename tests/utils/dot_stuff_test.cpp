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
    {"dot_after_bare_lf_doubled", "a\n.b\r\n", "a\r\n..b\r\n."},
    {"bare_cr_stays", "a\rb\r\n.\r", "a\rb\r\n..\r\r\n."},
    {"bare_cr_before_crlf_stays", "a\r\r\n.\r\r\n", "a\r\r\n..\r\r\n."},
    {"cr_then_lf_after_dot_line", ".\r.\n", "..\r.\r\n."},
    {"empty_line_between", "a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n."},
    {"dot_inside_line_kept", "a.b\r\n", "a.b\r\n."},
    {"lf_only_text_gets_crlf", "a\n.\n", "a\r\n..\r\n."},
    {"only_lf", "\n", "\r\n."},
    {"lf_only_empty_lines", "\n\na\n\n", "\r\n\r\na\r\n\r\n."},
    {"lf_only_without_final_lf", "a\n..b", "a\r\n...b\r\n."},
    {"mixed_line_ends", "a\r\n.b\nc\r\n.\n", "a\r\n..b\r\nc\r\n..\r\n."},
    // LMTP data that carried "..", "MAIL FROM:" and "..smuggled" after bare LFs: the dots stay
    // doubled, so no line of it can end the data early.
    {"smuggled_end_of_data", "Subject: x\n\nhello\n.\nMAIL FROM:<evil@example.com>\n.smuggled\n",
     "Subject: x\r\n\r\nhello\r\n..\r\nMAIL FROM:<evil@example.com>\r\n..smuggled\r\n."},
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

TEST(dot_stuff_output, reservation_holds_lf_only_text_and_the_writers_crlf) {
    // Every line dotted, every line end a bare LF, and a last line without one: the most the
    // output can grow, with the CRLF that the SMTP writer appends after the final ".".
    for (const std::string input : {".a\n.b\n.c", ".\n.\n", "\n\n\n", "."}) {
        SCOPED_TRACE(input);
        std::string output;
        smtp_dot_stuff(input, output);
        const auto reserved = output.capacity();
        output.append("\r\n");
        EXPECT_EQ(output.capacity(), reserved) << "the output was allocated again";
    }
}

TEST(dot_stuff_output, every_line_end_is_crlf_and_no_line_is_a_lone_dot) {
    // Every text of six bytes from ".", CR, LF and a letter: on the wire every LF of the stuffed
    // text follows a CR, and the first line "." is the one that ends the data.
    const char alphabet[] = {'.', '\r', '\n', 'a'};
    for (unsigned code = 0; code < 4u * 4 * 4 * 4 * 4 * 4; ++code) {
        std::string input;
        for (unsigned rest = code, i = 0; i < 6; ++i, rest /= 4)
            input.push_back(alphabet[rest % 4]);
        std::string output;
        smtp_dot_stuff(input, output);
        SCOPED_TRACE(testing::PrintToString(input));
        ASSERT_TRUE(output.ends_with("\r\n.") || output == ".");
        const std::string wire = "\r\n" + output + "\r\n";
        for (std::size_t lf = wire.find('\n'); lf != std::string::npos;
             lf = wire.find('\n', lf + 1))
            ASSERT_EQ(wire[lf - 1], '\r') << "bare LF at " << lf;
        ASSERT_EQ(wire.find("\r\n.\r\n"), wire.size() - 5) << "end of data before the end";
    }
}

} // namespace
