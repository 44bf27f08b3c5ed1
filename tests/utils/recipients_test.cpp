// Tests of recipient rewriting: trimming, brackets and where "+spam" lands.
#include "utils/recipients.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One recipient as stored and as it must be rewritten.
struct recipient_case {
    const char* name;
    std::string input;
    std::string expected;
};

const std::vector<recipient_case> recipient_cases = {
    {"bracketed", "<user@example.org>", "<user+spam@example.org>"},
    {"unbracketed", "user@example.org", "user+spam@example.org"},
    {"outer_whitespace_trimmed", " \t<user@example.org>\r\n", "<user+spam@example.org>"},
    {"spaces_inside_brackets_removed", "< user@example.org >", "<user+spam@example.org>"},
    {"only_whitespace", " \t\r\n\v\f", ""},
    {"empty", "", ""},
    {"already_tagged", "<user+spam@example.org>", "<user+spam@example.org>"},
    {"already_tagged_with_more_letters", "<user+spamfilter@example.org>",
     "<user+spamfilter@example.org>"},
    {"upper_case_tag_not_counted", "<user+SPAM@example.org>", "<user+SPAM+spam@example.org>"},
    {"tag_in_domain_not_counted", "<user@x+spam.org>", "<user+spam@x+spam.org>"},
    {"two_at_signs_tag_before_last", "<a@b@c>", "<a@b+spam@c>"},
    {"quoted_local_part_with_at", "<\"john@home\"@example.com>",
     "<\"john@home+spam\"@example.com>"},
    {"quoted_local_part_with_at_unbracketed", "\"john@home\"@example.com",
     "\"john@home+spam\"@example.com"},
    {"quoted_local_part_only_at", "<\"@\"@example.com>", "<\"@+spam\"@example.com>"},
    {"quoted_local_part_already_tagged", "<\"john+spam@home\"@example.com>",
     "<\"john+spam@home\"@example.com>"},
    {"quoted_local_part_single_at_as_before", "<\"john doe\"@example.com>",
     "<\"john doe\"+spam@example.com>"},
    {"source_route", "<@relay.example:u@example.com>", "<@relay.example:u+spam@example.com>"},
    {"source_route_two_relays", "<@a.example,@b.example:u@example.com>",
     "<@a.example,@b.example:u+spam@example.com>"},
    {"source_route_quoted_local_part", "<@relay.example:\"x@y\"@example.com>",
     "<@relay.example:\"x@y+spam\"@example.com>"},
    {"source_route_already_tagged", "<@relay.example:u+spam@example.com>",
     "<@relay.example:u+spam@example.com>"},
    {"text_after_closing_quote", "<\"a@b\"c@example.com>", "<\"a@b\"c+spam@example.com>"},
    {"lone_quote_before_at", "<a@b\"@example.com>", "<a@b\"+spam@example.com>"},
    {"empty_brackets", "<>", "<>"},
    {"brackets_without_at", "< postmaster >", "<postmaster>"},
    {"unbracketed_without_at", "  postmaster ", "postmaster"},
    {"empty_local_part", "@example.org", "+spam@example.org"},
    {"parameter_after_bracket", "<user@example.org> NOTIFY=NEVER",
     "<user+spam@example.org> NOTIFY=NEVER"},
    {"lone_open_bracket", "<", "<"},
    {"byte_above_127_not_whitespace", "\xa0user@x\xa0", "\xa0user+spam@x\xa0"},
};

class recipients : public testing::TestWithParam<recipient_case> {};

TEST_P(recipients, rewrites_one) {
    const auto& c = GetParam();
    std::vector<std::string> list{c.input};
    rewrite_recipients(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(cases, recipients, testing::ValuesIn(recipient_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(recipients_list, keeps_number_and_order) {
    std::vector<std::string> list{"<b@x>", "a", "<c@y>"};
    rewrite_recipients(list);
    EXPECT_EQ(list, (std::vector<std::string>{"<b+spam@x>", "a", "<c+spam@y>"}));
    std::vector<std::string> empty;
    rewrite_recipients(empty);
    EXPECT_TRUE(empty.empty());
}

} // namespace
