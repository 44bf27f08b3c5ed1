// Tests of the `ucl::Ucl` wrapper (lookups, text and integer conversions) and of the include
// macros with real files in a temporary directory.
#include "support/test_env.hpp"
#include "tree_text.hpp"
#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <unistd.h>

namespace {

using test_support::temp_dir;
using test_support::write_file;
using ucl_test::parse_ok;
using ucl_test::tree_text;

TEST(Wrapper, LookupChainsThroughMissingAndWrongTypes) {
    const ucl::Ucl root = parse_ok("s { a = 1; n = null }\nt = \"text\"");
    EXPECT_EQ(root.lookup("s").lookup("a").toint_safe(), 1);

    const ucl::Ucl missing = root.lookup("s").lookup("b");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.type(), ucl::Type::null);

    const ucl::Ucl explicit_null = root.lookup("s").lookup("n");
    EXPECT_TRUE(explicit_null);
    EXPECT_EQ(explicit_null.type(), ucl::Type::null);

    for (const ucl::Ucl& chained : {missing.lookup("x"), root.lookup("t").lookup("x"),
                                    root.lookup("s").lookup("a").lookup("x").lookup("y")}) {
        EXPECT_TRUE(chained);
        EXPECT_EQ(chained.type(), ucl::Type::null);
    }
    EXPECT_FALSE(root.lookup("S")); // keys are compared case-sensitively
}

TEST(Wrapper, LookupGivesTheFirstOfDuplicateKeys) {
    const ucl::Ucl root = parse_ok("a = 1\na = 2\ns { p = 1 }\ns { q = 2 }");
    EXPECT_EQ(root.lookup("a").toint_safe(), 1);
    EXPECT_EQ(root.lookup("s").lookup("p").toint_safe(), 1);
    EXPECT_FALSE(root.lookup("s").lookup("q"));
    EXPECT_EQ(root.members().size(), 4u);
}

TEST(Wrapper, StringValueOnlyForStringsAndUpToNul) {
    const ucl::Ucl root =
        parse_ok("s = \"ab\\u0000cd\"\nn = 5\nb = true\no {}\nl = [\"x\"]\nz = null");
    EXPECT_EQ(root.lookup("s").string_value(), "ab");
    for (const char* key : {"n", "b", "o", "l", "z", "missing"}) {
        EXPECT_EQ(root.lookup(key).string_value("dflt"), "dflt") << key;
        EXPECT_EQ(root.lookup(key).string_value(), "") << key;
    }
}

TEST(Wrapper, TointSafeConvertsNumbersOnly) {
    struct conversion {
        const char* text;
        std::optional<std::int64_t> value;
    };
    const conversion cases[] = {
        {"7", 7},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"25.9", 25},
        {"-7.9", -7},
        {"2min", 120},
        {"10ms", 0},
        {"-1.5s", -1},
        {"1e300", std::nullopt}, // no 64-bit integer holds it
        {"\"25\"", std::nullopt},
        {"true", std::nullopt},
        {"null", std::nullopt},
        {"{}", std::nullopt},
        {"[1]", std::nullopt},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(parse_ok(std::string("v = ") + text).lookup("v").toint_safe(), value) << text;
    }
    EXPECT_EQ(ucl::Ucl().toint_safe(), std::nullopt);
}

// A temporary directory made the working directory for the test's duration.
class Includes : public testing::Test {
  protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    // The error that parsing `text` gives.
    std::string parse_error(const std::string& text) {
        std::string error;
        ucl::Ucl::parse(text, error);
        return error;
    }

    temp_dir dir_;
    std::filesystem::path previous_;
};

TEST_F(Includes, ReadsTheFileInPlace) {
    write_file(dir_.file("common.inc"), "host = \"127.0.0.1\"\nport = 11333\n");
    write_file(dir_.file("braced.inc"), "{ level = \"debug\" }");
    const ucl::Ucl root = parse_ok("rspamd { .include \"common.inc\"\n port = 1 }\n"
                                   "log { .include " +
                                   dir_.file("braced.inc") + " }");
    EXPECT_EQ(tree_text(root), R"({"rspamd":{"host":"127.0.0.1","port":11333,"port":1},)"
                               R"("log":{"level":"debug"}})");
}

TEST_F(Includes, TryIncludeIgnoresAMissingFileAndIncludeRefusesIt) {
    EXPECT_EQ(tree_text(parse_ok(".try_include \"absent.inc\"\na = 1")), R"({"a":1})");
    EXPECT_EQ(parse_error("a = 1\n.include \"absent.inc\""),
              "line 2, column 1: .include: cannot open included file 'absent.inc': no such file");
    EXPECT_EQ(parse_error(".try_include \".\""),
              "line 1, column 1: .try_include: cannot read included file '.': expected a "
              "readable regular file");
}

TEST_F(Includes, VariablesInsideAFileNameThatFile) {
    write_file(dir_.file("vars.inc"), "where = \"$CURDIR|$FILENAME\"");
    const std::string real = std::filesystem::canonical(dir_.path()).string();
    EXPECT_EQ(parse_ok(".include \"vars.inc\"").lookup("where").string_value(),
              real + "|" + real + "/vars.inc");
    EXPECT_EQ(parse_ok(".include \"$CURDIR/vars.inc\"").lookup("where").string_value(),
              real + "|" + real + "/vars.inc");
}

TEST_F(Includes, ErrorsNameTheIncludedFile) {
    write_file(dir_.file("bad.inc"), "a = 1\n}\n");
    write_file(dir_.file("list.inc"), "[1, 2]");
    write_file(dir_.file("self.inc"), ".include \"self.inc\"");
    const std::string real = std::filesystem::canonical(dir_.path()).string();
    EXPECT_EQ(parse_error("s { .include \"bad.inc\" }"),
              real + "/bad.inc: line 2, column 1: expected a key, found '}'");
    EXPECT_EQ(parse_error(".include \"list.inc\""),
              real + "/list.inc: line 1, column 1: expected an object in the included file, "
                     "found '['");
    EXPECT_EQ(parse_error(".include \"self.inc\""),
              real + "/self.inc: line 1, column 1: includes nested more than 16 deep: expected "
                     "a file that does not include itself");
}

TEST_F(Includes, MacroErrorsNameTheMacroTheFileAndThePlace) {
    write_file(dir_.file("plain.inc"), "log { level = \"warn\" }\nlist = [1]\n");
    write_file(dir_.file("dup.inc"), "a = 1\n  a = 2\n");
    write_file(dir_.file("signed.inc"), "a = 1\n");
    write_file(dir_.file("signed.inc.sig"), "no signature");
    write_file(dir_.file("host"), "127.0.0.1");
    const std::string real = std::filesystem::canonical(dir_.path()).string();
    const std::pair<std::string, std::string> cases[] = {
        {"a = 1\n  .load(key=\"h\") \"absent\"",
         "line 2, column 3: .load: cannot open the file 'absent': no such file"},
        {".load \"host\"",
         "line 1, column 1: .load: no key given: expected the option key=\"name\""},
        {"s {\n .load(key=\"\") \"host\" }",
         "line 2, column 2: .load: no key given: expected the option key=\"name\""},
        {".load(key=5, try=true) \"absent\"",
         "line 1, column 1: .load: no key given: expected the option key=\"name\""},
        {"h = 1\n.load(key=\"h\") \"host\"",
         "line 2, column 1: .load: the key 'h' is already written: expected a new key"},
        {".load(key=\"h\") \".\"",
         "line 1, column 1: .load: cannot read the file '.': expected a readable regular file"},
        {"lmtp {\n  .inherit \"base\" }",
         "line 2, column 3: .inherit: no section 'base' to inherit: expected an object at the top "
         "level, written before"},
        {".include(duplicate=\"error\") \"dup.inc\"",
         real + "/dup.inc: line 2, column 3: duplicate key 'a': expected a key written once, as "
                "duplicate=\"error\" asks"},
        {"log = [1]\n.include(duplicate=\"merge\") \"plain.inc\"",
         real + "/plain.inc: line 1, column 1: cannot merge an object with an array: expected two "
                "objects or two arrays for the key 'log'"},
        {"local = 5\n.include(key=\"local\") \"plain.inc\"",
         "line 2, column 1: .include: cannot include into the key 'local': expected an object "
         "there, found an integer"},
        {".include(glob=true) \"none*.inc\"",
         "line 1, column 1: .include: no file matches the pattern 'none*.inc'"},
        {".includes \"plain.inc\"",
         "line 1, column 1: .includes: cannot open the signature file '" + real +
             "/plain.inc.sig': no such file"},
        {".include(sign=true, try=true) \"signed.inc\"",
         "line 1, column 1: .include: cannot verify the signature file '" + real +
             "/signed.inc.sig': expected a public key, and none is registered"},
        {".try_include(try=false) \"absent.inc\"",
         "line 1, column 1: .try_include: cannot open included file 'absent.inc': no such file"},
        {"\n.priority 1.5", "line 2, column 1: .priority: invalid priority '1.5': expected a "
                            "decimal integer"},
        {".priority(priority=2)\na = 1",
         "line 1, column 1: .priority: invalid priority 'a = 1': expected a decimal integer"},
        {".include(priority=2}) \"plain.inc\"",
         "line 1, column 9: invalid options for .include: line 1, column 11: expected a key, "
         "found '}'"},
        {".include {plain.inc", "line 1, column 20: expected '}' to close the argument of "
                                ".include, found the end of the text"},
    };
    for (const auto& [text, error] : cases)
        EXPECT_EQ(parse_error(text), error) << text;
}

TEST_F(Includes, MissingFilesWithTryAreSkipped) {
    EXPECT_EQ(tree_text(parse_ok(".include(try=true) \"absent.inc\"\n"
                                 ".includes(try=true) \"absent.inc\"\n"
                                 ".include(glob=true, try=true) \"absent*.inc\"\n"
                                 ".load(key=\"h\", try=true) \"absent\"\na = 1")),
              R"({"a":1})");
}

} // namespace
