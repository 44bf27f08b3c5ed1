// Tests of the rules for a key written twice, on values built in the test without any text:
// priorities, the duplicate strategies, merged containers and members that .inherit copied.
#include "tree_text.hpp"
#include "ucl/members.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using ucl::duplicate_strategy;
using ucl::Ucl;
using ucl_test::tree_text;

ucl::marked_value marked(Ucl value, int priority, bool inherited = false) {
    return {std::move(value), {priority, inherited, {}}};
}

// The object of `first` at key "k" and then `second` at "k" by `strategy`.
std::string after_two(const ucl::marked_value& first, const ucl::marked_value& second,
                      duplicate_strategy strategy) {
    ucl::member_list members;
    ucl::add_member(members, "a", {Ucl::integer(0), {}}, strategy);
    ucl::add_member(members, "k", first, strategy);
    ucl::add_member(members, "k", second, strategy);
    return tree_text(members.take_object().value);
}

TEST(MemberRules, PrioritiesDecideBetweenTwoValues) {
    const auto append = duplicate_strategy::append;
    EXPECT_EQ(after_two(marked(Ucl::integer(1), 0), marked(Ucl::integer(2), 0), append),
              R"({"a":0,"k":1,"k":2})");
    EXPECT_EQ(after_two(marked(Ucl::integer(1), 0), marked(Ucl::integer(2), 3), append),
              R"({"a":0,"k":2})");
    EXPECT_EQ(after_two(marked(Ucl::integer(1), 3), marked(Ucl::integer(2), 1), append),
              R"({"a":0,"k":1})");
    // A copied value gives way to the first one written in the object itself.
    EXPECT_EQ(after_two(marked(Ucl::integer(1), 0, true), marked(Ucl::integer(2), 0), append),
              R"({"a":0,"k":2})");
}

TEST(MemberRules, StrategiesRewriteMergeAndRefuse) {
    const ucl::marked_value one{Ucl::object({{"x", Ucl::integer(1)}}), {}};
    const ucl::marked_value two{Ucl::object({{"y", Ucl::integer(2)}}), {}};
    EXPECT_EQ(after_two(one, two, duplicate_strategy::rewrite), R"({"a":0,"k":{"y":2}})");
    EXPECT_EQ(after_two(one, two, duplicate_strategy::merge), R"({"a":0,"k":{"x":1,"y":2}})");
    EXPECT_EQ(after_two(marked(Ucl::array({Ucl::integer(1)}), 0),
                        marked(Ucl::array({Ucl::integer(2)}), 0), duplicate_strategy::merge),
              R"({"a":0,"k":[1,2]})");
    EXPECT_EQ(after_two(marked(Ucl::integer(1), 0), marked(Ucl::integer(2), 0),
                        duplicate_strategy::merge),
              R"({"a":0,"k":1,"k":2})");
    EXPECT_THROW(after_two(one, two, duplicate_strategy::error), ucl::member_conflict);
    try {
        after_two(one, marked(Ucl::array({}), 0), duplicate_strategy::merge);
        ADD_FAILURE() << "an object merged with an array";
    } catch (const ucl::member_conflict& conflict) {
        EXPECT_STREQ(conflict.what(), "cannot merge an object with an array: expected two "
                                      "objects or two arrays for the key 'k'");
    }
}

// The marks of an object's members stay beside it, so that an object merged again still knows
// which text wrote each of its members.
TEST(MemberRules, MergedObjectsKeepTheMarksOfTheirMembers) {
    ucl::marked_value first = marked(Ucl::object({{"x", Ucl::integer(1)}}), 0);
    first.marks.nested.push_back({5, false, {}});
    ucl::marked_value second =
        marked(Ucl::object({{"x", Ucl::integer(2)}, {"y", Ucl::integer(3)}}), 0);
    second.marks.nested = {{1, false, {}}, {1, false, {}}};
    EXPECT_EQ(after_two(first, second, duplicate_strategy::merge), R"({"a":0,"k":{"x":1,"y":3}})");
    second.marks.nested[0].priority = 7;
    EXPECT_EQ(after_two(first, second, duplicate_strategy::merge), R"({"a":0,"k":{"x":2,"y":3}})");

    ucl::member_list members;
    ucl::add_member(members, "k", first, duplicate_strategy::append);
    const ucl::marked_value object = members.take_object();
    ASSERT_EQ(object.marks.nested.size(), 1u);
    ASSERT_EQ(object.marks.nested[0].nested.size(), 1u);
    EXPECT_EQ(object.marks.nested[0].nested[0].priority, 5);
    ucl::member_list again(object.value, object.marks.nested);
    ASSERT_NE(again.find("k"), nullptr);
    EXPECT_EQ(again.find("k")->marks.nested[0].priority, 5);
}

TEST(MemberRules, ReplacingDropsTheLaterValuesOfTheKey) {
    ucl::member_list members;
    for (int i = 0; i < 3; ++i)
        ucl::add_member(members, "k", marked(Ucl::integer(i), 0), duplicate_strategy::append);
    ucl::add_member(members, "b", marked(Ucl::integer(9), 0), duplicate_strategy::append);
    ucl::add_member(members, "k", marked(Ucl::integer(5), 2), duplicate_strategy::append);
    EXPECT_EQ(members.size(), 2u);
    ASSERT_NE(members.find("b"), nullptr);
    EXPECT_EQ(tree_text(members.take_object().value), R"({"k":5,"b":9})");
}

} // namespace
