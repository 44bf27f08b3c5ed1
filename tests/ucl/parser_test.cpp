// Tests of the UCL reader: texts and the trees they give, broken texts and their errors, and
// inputs that must neither crash it nor make it read past the end of the text.
#include "tree_text.hpp"
#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using ucl_test::tree_text;

// Parses `text` from a heap copy of exactly its size, so any read past its end is caught.
ucl::Ucl parse_exact(const std::string& text, std::string& error) {
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::copy(text.begin(), text.end(), copy.get());
    copy[text.size()] = '#'; // never a NUL that a runaway scan could stop at
    return ucl::Ucl::parse(std::string_view(copy.get(), text.size()), error);
}

// A text and the tree it must give.
struct tree_case {
    const char* name;
    std::string text;
    std::string tree;
};

// Names a case in the test's failure messages.
void PrintTo(const tree_case& c, std::ostream* out) {
    *out << c.name;
}

class ReaderTree : public testing::TestWithParam<tree_case> {};

TEST_P(ReaderTree, GivesTree) {
    std::string error;
    const ucl::Ucl root = parse_exact(GetParam().text, error);
    ASSERT_EQ(error, "") << GetParam().text;
    EXPECT_EQ(tree_text(root), GetParam().tree) << GetParam().text;
}

const tree_case tree_cases[] = {
    {"empty_text", "", "{}"},
    {"only_comments_and_blanks", "  # a comment\n\t/* another */\n", "{}"},
    {"three_separators", "a = 1\nb: 2\nc 3\n", R"({"a":1,"b":2,"c":3})"},
    {"ends_and_trailing_commas", "a = 1; b = 2, c = 3,\nd = 4;;\n", R"({"a":1,"b":2,"c":3,"d":4})"},
    {"top_level_braces", "{ a = 1; }", R"({"a":1})"},
    {"sections_with_and_without_equals", "s { a = 1 }\nt = { b = 2 } u: {}",
     R"({"s":{"a":1},"t":{"b":2},"u":{}})"},
    {"section_with_label", "worker \"normal\" { count = 1 }",
     R"({"worker":{"normal":{"count":1}}})"},
    {"section_with_unquoted_labels", "a b c { x = 1 }", R"({"a":{"b":{"c":{"x":1}}}})"},
    {"label_before_array", "a \"b\" [1]", R"({"a":{"b":[1]}})"},
    {"words_without_brace_are_a_value", "a b c\n", R"({"a":"b c"})"},
    {"quoted_and_odd_keys", "\"a b\" = 1\na-b.c/d_e = 2\n1x = 3",
     R"({"a b":1,"a-b.c/d_e":2,"1x":3})"},
    {"arrays", "a = [1, \"x\", [true], {b = null}],\nb = [\n  1\n  2,\n]\nc = []",
     R"({"a":[1,"x",[true],{"b":null}],"b":[1,2],"c":[]})"},
    {"json_document", R"({"a": {"b": [1, 2.5, "x", true, null]}, "c": -3, "d": {}})",
     R"({"a":{"b":[1,2.5f,"x",true,null]},"c":-3,"d":{}})"},
    {"top_level_array", "[1, 2,]", "[1,2]"},
    {"json_escapes", R"(a = "\u00e9\n\t\"\\\/\b\f\r")",
     "{\"a\":\"\xc3\xa9\\n\\x09\\\"\\\\/\\x08\\x0c\\x0d\"}"},
    {"surrogate_pair", R"(a = "\ud83d\ude00")", "{\"a\":\"\xf0\x9f\x98\x80\"}"},
    {"single_quoted", "a = 'it\\'s \\n \"x\"'\nb = 'two\nlines'",
     R"({"a":"it's \\n \"x\"","b":"two\nlines"})"},
    {"socket_paths_unquoted", "a = /var/run/x.sock\nb = /run/lmtp/filter.sock:postfix:mail:0660;",
     R"({"a":"/var/run/x.sock","b":"/run/lmtp/filter.sock:postfix:mail:0660"})"},
    {"atom_ends", "a = foo bar  # note\nb = x=y, c = v{w}x\nd = [p q]",
     R"({"a":"foo bar","b":"x=y","c":"v{w}x","d":["p q"]})"},
    {"double_slash_is_no_comment", "a = 1 // x", R"({"a":"1 // x"})"},
    {"nested_block_comments", "/* a /* b */ c */ x = 1 /* d */\n", R"({"x":1})"},
    {"heredoc", "a = <<EOD\nline1\n  line2\nEOD\nb = 1", R"({"a":"line1\n  line2","b":1})"},
    {"heredoc_empty_and_crlf", "a = <<EOD\nEOD\nb = <<END\r\nx\r\nEND\r\n", R"({"a":"","b":"x"})"},
    {"integers", "a = 42\nb = -7\nc = 0x1F\nd = -0x10\ne = 010\nf = 9223372036854775807",
     R"({"a":42,"b":-7,"c":31,"d":-16,"e":10,"f":9223372036854775807})"},
    {"floats", "a = 2.5\nb = 1.5e3\nc = 1E-2\nd = 1.\ne = -0.25",
     R"({"a":2.5f,"b":1500f,"c":0.01f,"d":1f,"e":-0.25f})"},
    {"size_suffixes", "a = 1k\nb = 2M\nc = 1g\nd = 1kb\ne = 2MB\nf = 1gb\ng = 1.5k\nh = 0x10k",
     R"({"a":1000,"b":2000000,"c":1000000000,"d":1024,"e":2097152,"f":1073741824,)"
     R"("g":1500f,"h":16000})"},
    {"time_suffixes", "a = 10ms\nb = 1s\nc = 2min\nd = 1h\ne = 1d\nf = 1w\ng = 1y\nh = 1.5MIN",
     R"({"a":0.01s,"b":1s,"c":120s,"d":3600s,"e":86400s,"f":604800s,"g":31536000s,"h":90s})"},
    {"not_quite_numbers", "a = +5\nb = 123abc\nc = 1e\nd = 0x\ne = 1.5.6\nf = -\ng = .5",
     R"({"a":"+5","b":"123abc","c":"1e","d":"0x","e":"1.5.6","f":"-","g":".5"})"},
    {"booleans_and_null", "a = true\nb = off\nc = YES\nd = No\ne = on\nf = null\ng = Null",
     R"({"a":true,"b":false,"c":true,"d":false,"e":true,"f":null,"g":"Null"})"},
    {"duplicate_keys_kept_in_order", "a = 1\nb = 2\na = 3", R"({"a":1,"b":2,"a":3})"},
    {"section_in_two_blocks", "s { a = 1 }\ns { b = 2 }", R"({"s":{"a":1},"s":{"b":2}})"},
    {"value_on_next_line_after_colon", "a:\n  1", R"({"a":1})"},
    {"crlf_lines", "a = 1\r\nb = x \r\n", R"({"a":1,"b":"x"})"},
    {"utf8_key_and_value", "\xc3\xa9 = \xc3\xa9", "{\"\xc3\xa9\":\"\xc3\xa9\"}"},
    {"file_variable_unknown_and_dollars", "a = \"$OTHER ${OTHER} $$ $\"\nb = '$CURDIR'",
     R"({"a":"$OTHER ${OTHER} $$ $","b":"$CURDIR"})"},
    {"filename_is_undef", "a = \"$FILENAME ${FILENAME}\"\nb = x$FILENAME",
     R"({"a":"undef undef","b":"xundef"})"},
};

INSTANTIATE_TEST_SUITE_P(Texts, ReaderTree, testing::ValuesIn(tree_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Texts that the UCL library reads in its own way, and the reader with it.
const tree_case library_cases[] = {
    {"unknown_escape_drops_its_backslash", R"(a = "^\[SPAM\] \d+$"
b = "C:\path\x41\'")",
     R"({"a":"^[SPAM] d+$","b":"C:pathx41'"})"},
    {"escaped_dollar_starts_a_variable", R"(a = "\$FILENAME")", R"({"a":"undef"})"},
    {"single_quotes_keep_backslash_pairs", "a = 'C:\\Shares\\\\'\nb = 'a\\\"b'\nc = 'x\\\ny'",
     R"({"a":"C:\\Shares\\\\","b":"a\\\"b","c":"xy"})"},
    {"text_after_top_level_object_unread", "{ a = 1 }}\nb = 2 {", R"({"a":1})"},
    {"text_after_top_level_array_unread", "[1, 2]] x", "[1,2]"},
    {"json_with_a_brace_too_many", "{\"a\": {\"b\": 1}}}\n", R"({"a":{"b":1}})"},
    {"size_suffix_wraps_around", "a = 10000000000g\nb = 10000000000gb\nc = 0x10k",
     R"({"a":-8446744073709551616,"b":-7709325833709551616,"c":16000})"},
    {"dollars_without_a_variable_stay",
     "a = \"q$$.log\"\nb = q$$\nc = \"$FILENAME$$\"\nd = <<EOD\n$$\nEOD\n",
     R"({"a":"q$$.log","b":"q$$","c":"undef$","d":"$$"})"},
    {"unquoted_value_escapes", "a = v\\nb\nb = C:\\path\\to\nc = x\\;y\ne = v\\u00e9\\/\nd = x\\",
     "{\"a\":\"v\\nb\",\"b\":\"C:path\\x09o\",\"c\":\"x;y\",\"e\":\"v\xc3\xa9/\",\"d\":\"x\\\\\"}"},
    {"escaped_line_break_continues_a_value", "a = x\\\ny\nb = 1", R"({"a":"x\ny","b":1})"},
    {"thousands_of_seconds", "a = 10ks\nb = 2gs", R"({"a":10000s,"b":2000000000s})"},
    {"hex_number_ignores_a_time_suffix", "a = 0x1fs\nb = 0x10ms\nc = 0x10min\nd = 0x10kb",
     R"({"a":31,"b":16,"c":16,"d":16384})"},
    {"hex_prefix_without_digits", "a = 0x;\nb = 0xk\nc = [0x]\nd = 0x\nkey = 0x\ne = 0xz",
     R"({"a":0,"b":0,"c":[0],"d":0,"key":"0x","e":"0xz"})"},
    {"block_comment_separates_members", "a = \"x\" /* c */ b = 2\nc = [\"p\" /* c */ \"q\"]",
     R"({"a":"x","b":2,"c":["p","q"]})"},
    {"quoted_key_touching_its_value", "\"a\"1\n\"b\"\"v\"\n\"c\"{x=1}\n\"d\"x y\n\"e\"[1]",
     R"({"a":1,"b":"v","c":{"x":1},"d":"x y","e":[1]})"},
    {"value_on_the_next_line", "\"a\"\n\"v\"\nb \n{ c = 1 }\nd \n= 1",
     R"({"a":"v","b":{"c":1},"d":"= 1"})"},
    {"key_starting_with_slash", "/a = 1\ns { /b/c = 2 }", R"({"/a":1,"s":{"/b/c":2}})"},
    {"macro_without_argument_does_nothing", "a = 1\n.include(try=true)\n\n", R"({"a":1})"},
    {"unknown_macro_at_the_end_does_nothing", "a = 1\n.unknown", R"({"a":1})"},
    {"missing_value_at_the_end_is_null", "a = 1\nb =\n", R"({"a":1,"b":null})"},
    {"quoted_label_touching_a_word", "a \"b\"c { x = 1 }", R"({"a":{"b":{"c":{"x":1}}}})"},
};

INSTANTIATE_TEST_SUITE_P(Library, ReaderTree, testing::ValuesIn(library_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A broken text and the exact error it must give.
struct error_case {
    const char* name;
    std::string text;
    std::string error;
};

// Names a case in the test's failure messages.
void PrintTo(const error_case& c, std::ostream* out) {
    *out << c.name;
}

class ReaderError : public testing::TestWithParam<error_case> {};

TEST_P(ReaderError, GivesError) {
    std::string error;
    const ucl::Ucl root = parse_exact(GetParam().text, error);
    EXPECT_EQ(error, GetParam().error) << GetParam().text;
    EXPECT_FALSE(root);
}

const error_case error_cases[] = {
    {"unclosed_brace", "s {\n  a = 1\n",
     "line 3, column 1: expected '}' to close the object opened at line 1, column 3, found the "
     "end of the text"},
    {"unclosed_top_level_brace", "{ a = 1",
     "line 1, column 8: expected '}' to close the object opened at line 1, column 1, found the "
     "end of the text"},
    {"unclosed_array", "a = [1, 2",
     "line 1, column 10: expected ']' to close the array opened at line 1, column 5, found the "
     "end of the text"},
    {"array_closed_by_brace", "s { a = [1 }",
     "line 1, column 12: expected ']' to close the array opened at line 1, column 9, found '}'"},
    {"unclosed_string", "a = \"abc",
     "line 1, column 9: expected '\"' to close the string that starts at line 1, column 5, found "
     "the end of the text"},
    {"string_broken_by_line_break", "a = \"abc\nb = 1",
     "line 1, column 9: expected '\"' to close the string that starts at line 1, column 5, found "
     "a line break"},
    {"unclosed_single_quote", "a = 'abc",
     "line 1, column 9: expected \"'\" to close the string that starts at line 1, column 5, found "
     "the end of the text"},
    {"value_missing_at_end",
     "a =", "line 1, column 4: expected a value for the key 'a', found the end of the text"},
    {"value_missing_before_semicolon", "b = 1\na = ;",
     "line 2, column 5: expected a value for the key 'a', found ';'"},
    {"value_missing_before_brace", "s { a = }",
     "line 1, column 9: expected a value for the key 'a', found '}'"},
    {"key_without_value", "a",
     "line 1, column 2: expected a value or '=' after the key 'a', found the end of the text"},
    {"key_ended_by_line_break", "a\n= 1",
     "line 1, column 2: expected '=', ':' or a value after the key 'a', found a line break"},
    {"invalid_key_character", "a$ = 1",
     "line 1, column 2: expected '=', ':' or a value after the key 'a', found '$'"},
    {"key_starting_badly", "-a = 1", "line 1, column 1: expected a key, found '-'"},
    {"empty_quoted_key", "\"\" = 1",
     "line 1, column 1: expected a key that is not empty, found '\"\"'"},
    {"stray_closing_brace", "a = 1\n}", "line 2, column 1: expected a key, found '}'"},
    {"separator_before_any_key", "; a = 1", "line 1, column 1: expected a key, found ';'"},
    {"separator_first_in_array", "a = [,]",
     "line 1, column 6: expected a value in the array, found ','"},
    {"missing_delimiter", "a = \"x\" b = 1",
     "line 1, column 9: expected ',', ';' or a line break after the value, found 'b'"},
    {"unknown_macro_without_argument", "a = 1\n.unknown\n",
     "line 2, column 1: unknown macro '.unknown': expected .include, .try_include, .includes, "
     ".priority, .load or .inherit"},
    {"unknown_macro", "a = 1\n.unknown 5",
     "line 2, column 1: unknown macro '.unknown': expected .include, .try_include, .includes, "
     ".priority, .load or .inherit"},
    {"macro_options_unclosed", ".include(priority=2 \"x.conf\"",
     "line 1, column 29: expected ')' to close the options of .include opened at line 1, "
     "column 9, found the end of the text"},
    {"macro_without_path", "s { .include }",
     "line 1, column 14: expected a path after .include, found '}'"},
    {"short_unicode_escape", "a = \"\\u00\"",
     "line 1, column 10: expected four hexadecimal digits after \\u, found '\"'"},
    {"lone_low_surrogate", "a = \"\\ude00\"",
     "line 1, column 6: expected a high surrogate before the low surrogate \\ude00"},
    {"high_surrogate_alone", "a = \"\\ud83dx\"",
     "line 1, column 12: expected a low surrogate \\uDC00 to \\uDFFF, found 'x'"},
    {"unclosed_comment", "a = 1 /* open /* nested */",
     "line 1, column 27: expected '*/' to close the comment that starts at line 1, column 7, "
     "found the end of the text"},
    {"unterminated_heredoc", "a = <<EOD\nx\nEO",
     "line 3, column 3: expected a line 'EOD' to end the text that starts at line 1, column 5, "
     "found the end of the text"},
    {"integer_out_of_range", "a = 99999999999999999999",
     "line 1, column 5: number out of range: expected a value that fits in 64 bits"},
    {"digits_out_of_range_before_text", "a = 99999999999999999999abc",
     "line 1, column 5: number out of range: expected a value that fits in 64 bits"},
    {"float_out_of_range", "a = 1e999",
     "line 1, column 5: number out of range: expected a value that fits in 64 bits"},
    {"control_byte_named", "a = 1\n\x01", "line 2, column 1: expected a key, found byte 0x01"},
};

INSTANTIATE_TEST_SUITE_P(Texts, ReaderError, testing::ValuesIn(error_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, RefusesNestingBeyondItsLimit) {
    std::string error;
    const std::string deep = "a = " + std::string(300, '[') + std::string(300, ']');
    parse_exact(deep, error);
    EXPECT_EQ(error, "line 1, column 261: nesting deeper than 256 levels: expected fewer open "
                     "objects and arrays");

    std::string labels = "a";
    for (int i = 0; i < 300; ++i)
        labels += " b";
    parse_exact(labels + " {}", error);
    EXPECT_EQ(error, "line 1, column 515: nesting deeper than 256 levels: expected fewer labels");

    const std::string allowed = "a = " + std::string(200, '[') + std::string(200, ']');
    parse_exact(allowed, error);
    EXPECT_EQ(error, "");
}

TEST(Reader, FindsKeysWithoutWalkingTheObject) {
    std::string text;
    for (int i = 0; i < 50000; ++i)
        text += "key" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    text += "key7 = 8\n";
    const auto started = std::chrono::steady_clock::now();
    std::string error;
    const ucl::Ucl root = ucl::Ucl::parse(text, error);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
        << "50000 keys in one object must not take a search through the object each";
    ASSERT_EQ(error, "");
    EXPECT_EQ(root.members().size(), 50001u);
    EXPECT_EQ(root.lookup("key7").toint_safe(), 7);
    EXPECT_EQ(root.lookup("key49999").toint_safe(), 49999);
}

TEST(Reader, ExpandsCurdirToTheWorkingDirectory) {
    std::string error;
    const ucl::Ucl root =
        parse_exact("a = \"$CURDIR/x\"\nb = ${CURDIR}\nc = <<EOD\n$CURDIR\nEOD", error);
    ASSERT_EQ(error, "");
    const std::string curdir = std::filesystem::current_path().string();
    EXPECT_EQ(root.lookup("a").string_value(), curdir + "/x");
    EXPECT_EQ(root.lookup("b").string_value(), curdir);
    EXPECT_EQ(root.lookup("c").string_value(), curdir);
}

// Sample texts whose every prefix and many mutations are fed to the reader.
const char* const seed_texts[] = {
    "rspamd { host = \"127.0.0.1\"; port = 11333; }\nlmtp { listen_socket = "
    "/run/x.sock:postfix:mail:0660; session { timeout_seconds = 2min } }\n",
    "{\"a\": [1, 2.5e3, \"\\u00e9\\ud83d\\ude00\", true, null, {\"b\": {}}]}",
    "w \"x\" y { a = 'q\\'s'; b = <<EOD\nline\nEOD\n} /* c /* d */ */ # e\nc = 0x1Fkb, d = -1.5min",
    ".try_include \"/nonexistent/quillgate\"\na = \"$CURDIR ${FILENAME} $$\"\n",
};

TEST(Reader, SurvivesEveryPrefixOfItsSamples) {
    for (const std::string text : seed_texts) {
        for (std::size_t length = 0; length <= text.size(); ++length) {
            std::string error;
            const ucl::Ucl root = parse_exact(text.substr(0, length), error);
            EXPECT_EQ(static_cast<bool>(root), error.empty()) << text.substr(0, length);
            if (!error.empty()) {
                EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
            }
        }
    }
}

TEST(Reader, SurvivesRandomMutations) {
    std::mt19937 random(20261210);
    const std::string alphabet = "{}[]\"'\\/*#$<>=:;,.\n\r\t 0x1keEu-+abAZ\x80\xff";
    for (const std::string seed : seed_texts) {
        for (int round = 0; round < 400; ++round) {
            std::string text = seed;
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < edits && !text.empty(); ++i) {
                const std::size_t at = random() % text.size();
                const char c = alphabet[random() % alphabet.size()];
                if (random() % 2) {
                    text[at] = c;
                } else {
                    text.insert(at, 1, c);
                }
            }
            std::string error;
            const ucl::Ucl root = parse_exact(text, error);
            EXPECT_EQ(static_cast<bool>(root), error.empty()) << text;
        }
    }
}

} // namespace
