// Tests of the grammar on its own, without files: a text read with the settings that an include
// gives it marks each member with the text's priority, follows its duplicate strategy and places
// its errors in the file it names.
#include "tree_text.hpp"
#include "ucl/parser.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using ucl_test::tree_text;

ucl::text_settings included_as(int priority, ucl::duplicate_strategy strategy) {
    ucl::text_settings settings;
    settings.file_name = "/etc/q/part.conf";
    settings.filename = settings.file_name;
    settings.priority = priority;
    settings.strategy = strategy;
    return settings;
}

TEST(Grammar, MarksEachMemberWithThePriorityOfItsText) {
    ucl::member_list members;
    ucl::add_member(members, "a", {ucl::Ucl::integer(1), {2, false, {}}},
                    ucl::duplicate_strategy::append);
    ucl::parser part("a = 5\nb { c = 1 }\n.priority 1\nd = 2\n",
                     included_as(3, ucl::duplicate_strategy::append), 0);
    part.parse_included(members);
    ASSERT_NE(members.find("b"), nullptr);
    EXPECT_EQ(members.find("b")->marks.priority, 3);
    ASSERT_EQ(members.find("b")->marks.nested.size(), 1u);
    EXPECT_EQ(members.find("b")->marks.nested[0].priority, 3);
    EXPECT_EQ(members.find("d")->marks.priority, 1);
    EXPECT_EQ(tree_text(members.take_object().value), R"({"a":5,"b":{"c":1},"d":2})");
}

TEST(Grammar, FollowsTheStrategyOfItsTextAndNamesItsFile) {
    ucl::member_list members;
    ucl::parser part("a = 1\n\na = 2\n", included_as(0, ucl::duplicate_strategy::error), 0);
    try {
        part.parse_included(members);
        ADD_FAILURE() << "a key written twice with duplicate=\"error\"";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "/etc/q/part.conf: line 3, column 1: duplicate key 'a': expected a "
                               "key written once, as duplicate=\"error\" asks");
    }
    std::string error;
    ucl::parser text("f = \"$FILENAME\"", included_as(0, ucl::duplicate_strategy::rewrite), 0);
    EXPECT_EQ(tree_text(text.parse_document(error)), R"({"f":"/etc/q/part.conf"})");
    EXPECT_EQ(error, "");
}

} // namespace
