// Each rule looks at the text and at both readings and holds only for the difference it names.
#include "knowing_differences.hpp"

#include "ucl/atoms.hpp"
#include "ucl/ucl.hpp"

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <regex>

namespace ucl_test {

namespace {

// Both readings of one text.
struct readings {
    const std::string& text;
    const std::string& error; // the reader's, empty when it read the text
    const ucl::Ucl& mine;
    const reference_result& reference;
    const ucl::Ucl& theirs;        // the reference's tree, empty when it refused the text
    const std::string& difference; // the first difference of the two trees
};

struct rule_check {
    knowing_rule rule;
    std::function<bool(const readings&)> holds;
};

bool contains(const std::string& text, const char* pattern) {
    return std::regex_search(text, std::regex(pattern));
}

bool refused_with(const readings& both, const char* part) {
    return both.error.empty() && !both.reference.parsed &&
           both.reference.output.find(part) != std::string::npos;
}

// The first pair of values where the trees differ, found by the same walk as `difference`.
struct value_pair {
    ucl::Ucl mine;
    ucl::Ucl theirs;
};

void differing_values(const ucl::Ucl& mine, const ucl::Ucl& theirs, std::vector<value_pair>& out) {
    if (difference(mine, theirs, "").empty()) return;
    if (mine.type() == ucl::Type::object && theirs.type() == ucl::Type::object &&
        mine.members().size() == theirs.members().size()) {
        for (std::size_t i = 0; i < mine.members().size(); ++i) {
            if (mine.members()[i].first != theirs.members()[i].first) {
                out.push_back({mine, theirs});
                return;
            }
            differing_values(mine.members()[i].second, theirs.members()[i].second, out);
        }
        return;
    }
    if (mine.type() == ucl::Type::array && theirs.type() == ucl::Type::array &&
        mine.items().size() == theirs.items().size()) {
        for (std::size_t i = 0; i < mine.items().size(); ++i)
            differing_values(mine.items()[i], theirs.items()[i], out);
        return;
    }
    out.push_back({mine, theirs});
}

bool is_number(const ucl::Ucl& value) {
    return value.type() == ucl::Type::integer || value.type() == ucl::Type::floating ||
           value.type() == ucl::Type::time;
}

// The reference gives the text of a number followed by a blank, "}" or a comment as a string:
// the reader reads that string as the number it gave.
bool number_read_as_string(const value_pair& pair) {
    if (!is_number(pair.mine) || pair.theirs.type() != ucl::Type::string) return false;
    std::string error;
    const ucl::Ucl again = ucl::Ucl::parse("x = " + pair.theirs.string_value(), error);
    return error.empty() && difference(again.lookup("x"), pair.mine, "").empty();
}

// True when a string of the tree, read as a value, is a number the reader refuses as out of range.
bool holds_overflowing_number(const ucl::Ucl& value) {
    if (value.type() == ucl::Type::string) {
        std::string error;
        ucl::Ucl::parse("x = " + value.string_value(), error);
        return error.find("number out of range") != std::string::npos;
    }
    for (const auto& item : value.items()) {
        if (holds_overflowing_number(item)) return true;
    }
    for (const auto& [key, member] : value.members()) {
        if (holds_overflowing_number(member)) return true;
    }
    return false;
}

// The reference drops the fraction before a binary suffix: 1.5kb is 1024.
bool fraction_dropped(const value_pair& pair) {
    if (pair.mine.type() != ucl::Type::floating || pair.theirs.type() != ucl::Type::integer)
        return false;
    for (const std::uint64_t factor : {1024ULL, 1048576ULL, 1073741824ULL}) {
        const double units = std::trunc(pair.mine.number_value() / static_cast<double>(factor));
        // The reference's product wraps around at 64 bits, as the reader's does for integers; a
        // number beyond them is the lowest integer to its conversion, which the product makes 0.
        const std::int64_t integer = std::fabs(units) < 9.2e18
                                         ? static_cast<std::int64_t>(units)
                                         : std::numeric_limits<std::int64_t>::min();
        const auto whole = static_cast<std::int64_t>(static_cast<std::uint64_t>(integer) * factor);
        if (pair.theirs.toint_safe() == whole) return true;
    }
    return false;
}

// The UTF-8 text with each code point above U+FFFF written as two surrogates of three bytes
// each, as the reference writes a pair of \u escapes.
std::string as_surrogate_halves(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0xF0 || i + 3 >= text.size() + 0) {
            out += text[i];
            continue;
        }
        unsigned code = (byte & 0x07u) << 18;
        code |= (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 12;
        code |= (static_cast<unsigned char>(text[i + 2]) & 0x3Fu) << 6;
        code |= static_cast<unsigned char>(text[i + 3]) & 0x3Fu;
        code -= 0x10000;
        for (const unsigned half : {0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)}) {
            out += static_cast<char>(0xE0 | (half >> 12));
            out += static_cast<char>(0x80 | ((half >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (half & 0x3F));
        }
        i += 3;
    }
    return out;
}

bool pair_as_halves(const value_pair& pair) {
    return pair.mine.type() == ucl::Type::string && pair.theirs.type() == ucl::Type::string &&
           as_surrogate_halves(pair.mine.string_value()) == pair.theirs.string_value();
}

// The reader's value is the text of a line of `text` that reads as the reference's object: the
// line as written, of which the reader's value is the unescaped form (a value without quotes
// loses its backslashes, `"^\\[x"` is `"^\[x"`).
bool section_read_as_text(const std::string& text, const value_pair& pair) {
    if (pair.mine.type() != ucl::Type::string || pair.theirs.type() != ucl::Type::object)
        return false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        std::string error;
        if (ucl::unescaped_atom(line) == pair.mine.string_value()) {
            const ucl::Ucl again = ucl::Ucl::parse(line, error);
            if (error.empty() && difference(reference_shape(again), pair.theirs, "").empty())
                return true;
        }
        start = end + 1;
    }
    return false;
}

// A knowing difference in one value of a text that both read.
struct value_check {
    knowing_rule rule;
    std::function<bool(const std::string& text, const value_pair&)> explains;
};

const std::vector<value_check>& value_checks() {
    static const std::vector<value_check> all = {
        {{"number_then_blank",
          "a number with a suffix followed by a blank and then \"}\" or a comment is a string to "
          "the reference (`timeout_seconds = 2min }`, `90s  # ninety`, `11333 /* port */`), on "
          "which a loader would read 0; the reader reads the number"},
         [](const std::string&, const value_pair& pair) { return number_read_as_string(pair); }},
        {{"binary_fraction",
          "the reference drops the fraction of a number with a binary suffix (`1.5kb` is 1024, "
          "and a number written with an exponent is cut to an integer first); the reader reads "
          "1536"},
         [](const std::string& text, const value_pair& pair) {
             return contains(text, "[0-9][.eE][-+0-9]*[kKmMgG][bB]") && fraction_dropped(pair);
         }},
        {{"surrogate_pair",
          "the reference writes each half of a \\u surrogate pair as three bytes, which is not "
          "UTF-8; the reader writes the code point in UTF-8"},
         [](const std::string& text, const value_pair& pair) {
             return contains(text, "\\\\u[dD][89abAB]") && pair_as_halves(pair);
         }},
        {{"section_on_next_line",
          "the reference gives a key alone on its line (`smtp #` and a section on the next line) "
          "the section as its object; the reader reads the section's text as the key's value"},
         [](const std::string& text, const value_pair& pair) {
             return section_read_as_text(text, pair);
         }},
        {{"digits_before_x",
          "the reference reads a value of digits, \"x\" and hexadecimal digits as the number after "
          "the \"x\" (`11x333` is 0x333, 819); the reader reads the text"},
         [](const std::string&, const value_pair& pair) {
             return pair.mine.type() == ucl::Type::string && is_number(pair.theirs) &&
                    std::regex_search(pair.mine.string_value(),
                                      std::regex("^-?(?!0[xX])[0-9][-+0-9.eE]*[xX]"));
         }},
    };
    return all;
}

// The names of the value checks that explain every value where the trees differ, joined by
// "+"; empty when one of the values is not explained.
std::string explained_values(const std::string& text, const ucl::Ucl& mine,
                             const ucl::Ucl& theirs) {
    std::vector<value_pair> pairs;
    differing_values(reference_shape(mine), theirs, pairs);
    std::vector<std::string_view> names;
    for (const auto& pair : pairs) {
        const auto check =
            std::find_if(value_checks().begin(), value_checks().end(),
                         [&](const value_check& c) { return c.explains(text, pair); });
        if (check == value_checks().end()) return "";
        if (std::find(names.begin(), names.end(), check->rule.name) == names.end())
            names.push_back(check->rule.name);
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto name : names)
        joined += (joined.empty() ? "" : "+") + std::string(name);
    return joined;
}

const std::vector<rule_check>& checks() {
    static const std::vector<rule_check> all = {
        {{"lone_surrogate",
          "the reference writes a \\u escape of half a surrogate pair as three bytes that are not "
          "UTF-8; the reader refuses the text and names the escape"},
         [](const readings& both) {
             return both.reference.parsed && both.error.find("surrogate") != std::string::npos;
         }},
        {{"key_against_brace",
          "a key written right against \"{\", \"[\" or a quoted value (`lmtp{`, `c\"x\"`) is "
          "refused by the reference; the reader reads it as with a blank between"},
         [](const readings& both) {
             return refused_with(both, "invalid character in a key', character: '{'") ||
                    refused_with(both, "invalid character in a key', character: '['") ||
                    refused_with(both, "invalid character in a key', character: '\"'");
         }},
        {{"comment_before_top_level_brace",
          "a comment before a top-level \"{\" is refused by the reference; the reader skips it as "
          "anywhere else"},
         [](const readings& both) {
             return refused_with(both, "key must begin with a letter', character: '{'") &&
                    contains(both.text, "^\\s*(#|/\\*)");
         }},
        {{"value_starts_with_separator",
          "an unquoted value that starts with \":\" or \"=\" (`host = ::1`) is refused by the "
          "reference; the reader reads it as text"},
         [](const readings& both) {
             return refused_with(both, "unexpected ':' character") ||
                    refused_with(both, "unexpected '=' character");
         }},
        {{"empty_heredoc",
          "the reference refuses a heredoc with no line (`<<EOD` and `EOD` on the next line); "
          "the reader reads the empty text"},
         [](const readings& both) {
             return refused_with(both, "unterminated multiline value") &&
                    contains(both.text, "<<([A-Z]+)\r?\n\\1");
         }},
        {{"crlf_heredoc",
          "the reference does not see a heredoc whose lines end in CR LF; the reader reads it as "
          "with LF"},
         [](const readings& both) { return contains(both.text, "<<[A-Z]+\r\n"); }},
        {{"value_after_key_without_equals",
          "a value written after its key and a blank without \"=\" or \":\" that holds \"$\" or "
          "starts with a byte other than a letter, a digit or a double quote (`key x${X}`, "
          "`key 'v'`) is taken for a label by the reference and refused; the reader reads it as "
          "the key's value"},
         [](const readings& both) {
             return (refused_with(both, "invalid character in a key") ||
                     refused_with(both, "key must begin with a letter") ||
                     refused_with(both, "string value must not be empty") ||
                     refused_with(both, "unknown macro") ||
                     refused_with(both, "invalid macro name") ||
                     refused_with(both, "is not opened with {")) &&
                    contains(
                        both.text,
                        R"((^|[\n{};,\]])[ \t]*"?[A-Za-z0-9_/][A-Za-z0-9_./-]*"?[ \t]+[^=:{\s"]|"[^"\n]*"[^\s=:{\[;,]|"[^"\n]*"[ \t]+"[^"\n]*"[ \t]*\}|[A-Za-z0-9_]"[^"\n]*" *\{)");
         }},
        {{"hex_digits_after_blanks",
          "after \"0x\" the reference reads hexadecimal digits that follow blanks, line breaks or "
          "a sign (`0x 1F` is 31, `0x-1F` is -31, `[0x` and `5]` on the next line is [5]); the "
          "reader reads the text as written (and so may find a key without a value on the next "
          "line)"},
         [](const readings& both) {
             return (both.error.empty() || both.reference.parsed) &&
                    contains(both.text, R"(0[xX]([ \t\r\n]+[+-]?|[+-])[0-9a-fA-F])");
         }},
        {{"binary_suffix_overflow",
          "a number with a fraction or an exponent and a binary suffix beyond any 64-bit number "
          "is 0 to the reference (`-8179e303KB`); the reader refuses it as out of range"},
         [](const readings& both) {
             return both.reference.parsed &&
                    both.error.find("number out of range") != std::string::npos &&
                    contains(both.text, "[0-9][.eE][-+0-9]*[kKmMgG][bB]");
         }},
        {{"overflow_then_blank",
          "a number with a suffix beyond any 64-bit value followed by a blank (`768e305K /* c */`) "
          "is a string to the reference, as in number_then_blank; the reader refuses it as out of "
          "range"},
         [](const readings& both) {
             return both.reference.parsed &&
                    both.error.find("number out of range") != std::string::npos &&
                    holds_overflowing_number(both.theirs);
         }},
        {{"bracket_in_value_after_key",
          "a quoted value after its key without \"=\" that holds \"[\" or \"{\" (`key \"\\[x\"`, "
          "or right against a quoted key: `\"k\"\": {\"`) is taken for a label by the reference; "
          "the reader reads it as the key's value (and "
          "may then find the rest of the line in the way)"},
         [](const readings& both) {
             return (both.error.empty() || both.reference.parsed) &&
                    contains(both.text,
                             R"re(([A-Za-z0-9_"] +|"[^"\n]*")"([^"\\\n]|\\.)*\\?[\[{])re");
         }},
        {{"control_byte_in_string",
          "the reference refuses a tab or another control byte written as it is inside double "
          "quotes; the reader keeps it in the string"},
         [](const readings& both) { return refused_with(both, "unexpected control character"); }},
        {{"heredoc_end_not_alone",
          "the reference needs a line break right after the closing tag of a heredoc (`EOD}` or "
          "`EOD` at the end of the text is unterminated to it); the reader ends the heredoc there"},
         [](const readings& both) {
             return refused_with(both, "unterminated multiline value") &&
                    contains(both.text, R"(<<([A-Z]+)\r?\n[\s\S]*?\n\1([^A-Z\n]|$))");
         }},
        {{"block_comment_end_missed",
          "the reference misses the end of a block comment that holds a '\"' or a '*' of its own "
          "and refuses the text; the reader skips the comment"},
         [](const readings& both) {
             return refused_with(both, "unfinished multiline comment") &&
                    contains(both.text, R"(/\*[^"]*?"[\s\S]*?\*/|/\*[\s\S]*?\*[\s\S]*?\*/)");
         }},
        {{"colon_in_label",
          "the reference reads `name a:b {` (or `a=b`, `a :b`, `a/=b`) as the labels a and b; the "
          "reader "
          "takes `a:b {` for the value of name and then finds the section's \"}\" without its "
          "\"{\" (or, where the section is not closed, reads on where the reference refuses the "
          "brace)"},
         [](const readings& both) {
             const bool labels = contains(
                 both.text,
                 R"([A-Za-z0-9_]+[ \t]+[A-Za-z0-9_/][-A-Za-z0-9_/.]*[ \t]*[:=][-A-Za-z0-9_/.]+[ \t]*\{)");
             // Where the section is not closed the reference refuses the brace the reader read
             // as text.
             return labels && ((!both.error.empty() && both.reference.parsed) ||
                               refused_with(both, "unmatched open brace"));
         }},
        {{"missing_try_include",
          "at a .try_include of a missing file the reference stops reading without an error "
          "text; the reader skips the file, as .try_include promises, and reads on"},
         [](const readings& both) {
             return refused_with(both, "nil") && contains(both.text, "\\.try_include|try *= *true");
         }},
    };
    return all;
}

} // namespace

const std::vector<knowing_rule>& knowing_rules() {
    static const std::vector<knowing_rule> rules = [] {
        std::vector<knowing_rule> out;
        for (const auto& check : value_checks())
            out.push_back(check.rule);
        for (const auto& check : checks())
            out.push_back(check.rule);
        return out;
    }();
    return rules;
}

comparison compare(const std::string& text, const reference_result& reference) {
    comparison result;
    if (!reference.ran) {
        result.outcome = verdict::not_run;
        return result;
    }
    std::string error;
    const ucl::Ucl mine = ucl::Ucl::parse(text, error);
    ucl::Ucl theirs;
    std::string difference;
    if (reference.parsed) {
        std::string json_error;
        theirs = json_reader(reference.output).read(json_error);
        if (!json_error.empty()) {
            // The reference printed no JSON (a string that starts with "inf" goes out bare).
            result.outcome = verdict::not_run;
            return result;
        }
        if (error.empty()) {
            difference = ucl_test::difference(reference_shape(mine), theirs, "$");
            if (difference.empty()) return result;
            result.rule = explained_values(text, mine, theirs);
            if (!result.rule.empty()) {
                result.outcome = verdict::knowing;
                return result;
            }
        } else {
            difference = "the reader refuses: " + error;
        }
    } else {
        if (!error.empty()) return result;
        difference = "the reference refuses: " + reference.output;
    }
    const readings both{text, error, mine, reference, theirs, difference};
    for (const auto& check : checks()) {
        if (check.holds(both)) {
            result.outcome = verdict::knowing;
            result.rule = std::string(check.rule.name);
            return result;
        }
    }
    result.outcome = verdict::disagree;
    result.description = difference;
    return result;
}

} // namespace ucl_test
