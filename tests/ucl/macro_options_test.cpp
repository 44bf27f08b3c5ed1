// Tests of the macros' option lists and argument conversions: include and .load options, the
// .priority argument, the integer and escaped forms of a loaded file, glob patterns and the key
// named after an included file.
#include "support/test_env.hpp"
#include "tree_text.hpp"
#include "ucl/macro_options.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using ucl::duplicate_strategy;

// The options object that an option list's text gives.
ucl::Ucl options_of(const std::string& text) {
    return ucl_test::parse_ok(text);
}

TEST(IncludeOptions, TakeEachOptionOnlyInItsOwnType) {
    struct option_case {
        const char* text;
        bool try_missing, sign, glob, nest;
        const char* key;
        bool as_array;
        int priority;
        duplicate_strategy duplicate;
    };
    const option_case cases[] = {
        {"", false, false, false, false, "", false, 0, duplicate_strategy::append},
        {"try=true, sign=yes, glob=on", true, true, true, false, "", false, 0,
         duplicate_strategy::append},
        {"try=\"yes\", sign=1, glob=\"true\"", false, false, false, false, "", false, 0,
         duplicate_strategy::append},
        {"prefix=true", false, false, false, true, "", false, 0, duplicate_strategy::append},
        {"prefix=false, key=\"local\"", false, false, false, true, "local", false, 0,
         duplicate_strategy::append},
        {"key=5, target=\"array\"", false, false, false, false, "", true, 0,
         duplicate_strategy::append},
        {"key=k, target=ARRAY", false, false, false, true, "k", true, 0,
         duplicate_strategy::append},
        {"target=\"object\"", false, false, false, false, "", false, 0, duplicate_strategy::append},
        {"priority=2", false, false, false, false, "", false, 2, duplicate_strategy::append},
        {"priority=18", false, false, false, false, "", false, 2, duplicate_strategy::append},
        {"priority=-1", false, false, false, false, "", false, 15, duplicate_strategy::append},
        {"priority=1.5", false, false, false, false, "", false, 0, duplicate_strategy::append},
        {"priority=\"3\"", false, false, false, false, "", false, 0, duplicate_strategy::append},
        {"duplicate=merge", false, false, false, false, "", false, 0, duplicate_strategy::merge},
        {"duplicate=\"rewrite\"", false, false, false, false, "", false, 0,
         duplicate_strategy::rewrite},
        {"duplicate=\"error\"", false, false, false, false, "", false, 0,
         duplicate_strategy::error},
        {"duplicate=\"MERGE\"", false, false, false, false, "", false, 0,
         duplicate_strategy::append},
        {"duplicate=1", false, false, false, false, "", false, 0, duplicate_strategy::append},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text);
        const auto options = ucl::read_include_options(options_of(expected.text), false, false);
        EXPECT_EQ(options.try_missing, expected.try_missing);
        EXPECT_EQ(options.sign, expected.sign);
        EXPECT_EQ(options.glob, expected.glob);
        EXPECT_EQ(options.nest, expected.nest);
        EXPECT_EQ(options.key, expected.key);
        EXPECT_EQ(options.as_array, expected.as_array);
        EXPECT_EQ(options.priority, expected.priority);
        EXPECT_EQ(options.duplicate, expected.duplicate);
    }
}

TEST(IncludeOptions, MacroDefaultsGiveWayToTheOptions) {
    const auto try_include = ucl::read_include_options(options_of(""), true, false);
    EXPECT_TRUE(try_include.try_missing);
    EXPECT_FALSE(ucl::read_include_options(options_of("try=false"), true, false).try_missing);
    const auto includes = ucl::read_include_options(options_of(""), false, true);
    EXPECT_TRUE(includes.sign);
    EXPECT_FALSE(ucl::read_include_options(options_of("sign=no"), false, true).sign);
}

TEST(LoadOptions, KeyTargetEscapeAndPriority) {
    const auto none = ucl::read_load_options(options_of(""));
    EXPECT_FALSE(none.key.has_value());
    EXPECT_EQ(none.target, ucl::load_target::string);
    EXPECT_FALSE(none.try_missing);

    const auto all = ucl::read_load_options(
        options_of("key=\"host\", target=\"INT\", escape=true, try=yes, priority=2"));
    EXPECT_EQ(all.key, "host");
    EXPECT_EQ(all.target, ucl::load_target::integer);
    EXPECT_TRUE(all.escape);
    EXPECT_TRUE(all.try_missing);
    EXPECT_EQ(all.priority, 2);

    EXPECT_EQ(ucl::read_load_options(options_of("target=String")).target, ucl::load_target::string);
    EXPECT_EQ(ucl::read_load_options(options_of("target=\"float\"")).target,
              ucl::load_target::nothing);
    EXPECT_FALSE(ucl::read_load_options(options_of("key=5")).key.has_value());
    EXPECT_FALSE(ucl::read_load_options(options_of("key=\"\"")).key.has_value());
}

TEST(PriorityArgument, DecimalIntegersKeptToFourBits) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"1", 1},    {" 2", 2},   {"+2", 2},  {"17", 1},
        {"-1", 15},  {"0", 0},    {"15", 15}, {"99999999999999999999", 15},
        {"1.5", {}}, {"0x2", {}}, {"", {}},   {"abc", {}},
        {"2 ", {}},  {"-", {}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ucl::priority_of_text(text), expected) << "'" << text << "'";
}

TEST(LoadedInteger, LeadingDecimalDigitsHeldAtTheLimits) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"11333\n", 11333},
        {"12abc", 12},
        {"  -42\n", -42},
        {"-0x10", 0},
        {"", 0},
        {"abc", 0},
        {"99999999999999999999", std::numeric_limits<std::int64_t>::max()},
        {"-99999999999999999999", std::numeric_limits<std::int64_t>::min()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ucl::integer_prefix(text), expected) << "'" << text << "'";
}

TEST(LoadedText, EscapedAsJson) {
    EXPECT_EQ(ucl::json_escaped("a\nb\"\\"), "a\\nb\\\"\\\\");
    EXPECT_EQ(ucl::json_escaped("\t\r/\b\f"), "\\t\\r/\\b\\f");
    EXPECT_EQ(ucl::json_escaped(std::string("\x01\x1f", 2)), "\\u0001\\u001f");
    EXPECT_EQ(ucl::json_escaped("caf\xc3\xa9 \x7f"), "caf\xc3\xa9 \x7f");
}

TEST(IncludedFileKey, NameWithoutConfOrUclExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"k9.conf", "k9"},          {"include/x.y.conf", "x.y"}, {"/etc/a.ucl", "a"},
        {"plain.inc", "plain.inc"}, {"x.conf.conf", "x.conf"},   {".hidden", ".hidden"},
        {"noext", "noext"},         {".conf", ".conf"},
    };
    for (const auto& [path, key] : cases)
        EXPECT_EQ(ucl::file_key(path), key) << path;
}

TEST(GlobPatterns, SortedMatchesOnlyForWildcards) {
    test_support::temp_dir dir;
    for (const char* name : {"b.inc", "a.inc", "c.conf"})
        test_support::write_file(dir.file(name), "x = 1\n");
    EXPECT_FALSE(ucl::glob_matches(dir.file("a.inc")).has_value());
    EXPECT_FALSE(ucl::glob_matches(dir.file("[ab].inc")).has_value());
    EXPECT_EQ(ucl::glob_matches(dir.file("*.inc")),
              (std::vector<std::string>{dir.file("a.inc"), dir.file("b.inc")}));
    EXPECT_EQ(ucl::glob_matches(dir.file("?.conf")), std::vector<std::string>{dir.file("c.conf")});
    EXPECT_EQ(ucl::glob_matches(dir.file("none*")), std::vector<std::string>{});
}

} // namespace
