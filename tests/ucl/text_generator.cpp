// The families of generated texts: each builds a value, a key or a whole text of its kind and
// puts it where a configuration has it (the top level, a section, an array, before a closing
// brace or a comment).
#include "text_generator.hpp"

#include <functional>
#include <utility>

namespace ucl_test {

std::uint64_t random_source::next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::size_t random_source::below(std::size_t bound) {
    return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound);
}

bool random_source::chance(unsigned percent) {
    return below(100) < percent;
}

namespace {

using family_function = std::function<std::string(random_source&)>;

std::string digits(random_source& random, std::size_t min, std::size_t max) {
    std::string out;
    const std::size_t count = min + random.below(max - min + 1);
    for (std::size_t i = 0; i < count; ++i)
        out += static_cast<char>('0' + random.below(10));
    return out;
}

std::string hex_digits(random_source& random, std::size_t min, std::size_t max) {
    static const char hex[] = "0123456789abcdefABCDEF";
    std::string out;
    const std::size_t count = min + random.below(max - min + 1);
    for (std::size_t i = 0; i < count; ++i)
        out += hex[random.below(22)];
    return out;
}

// Puts `value` where a configuration has a value: at the top level, in a section, in an array,
// with one of the separators, line breaks or comments that may follow it.
std::string place_value(random_source& random, const std::string& value) {
    static const char* const after[] = {"\n", ";\n",        ",\n",        "",
                                        " ",  "  # note\n", " /* c */\n", ";"};
    const std::string tail = random.pick(after);
    switch (random.below(5)) {
    case 0:
        return "key = " + value + tail;
    case 1:
        return "section {\n  key = " + value + tail + "}\n";
    case 2:
        return "section { key = " + value + tail + "}";
    case 3:
        return "list = [" + value + (random.chance(50) ? ", 1" : "") + "]\n";
    default:
        return "a = 1\nkey " + value + tail + "\nb = 2\n";
    }
}

std::string double_quote_escapes(random_source& random) {
    static const char* const parts[] = {
        "\\d",   "\\.",     "\\[",   "\\ ",     "\\'",     "\\n",     "\\t", "\\\\",
        "\\/",   "\\u00e9", "\\u12", "\\x41",   "\\$",     "\\0",     "\\a", "\\e",
        "\\\"",  "\\r",     "\\b",   "\\f",     "\\U0041", "\\u0000", "\\z", "^",
        "\\d+$", "abc",     " ",     "\\u20AC", "\\uZZZZ", "\\",      "$$"};
    std::string value = "\"";
    const std::size_t count = 1 + random.below(4);
    for (std::size_t i = 0; i < count; ++i)
        value += random.pick(parts);
    value += "\"";
    return place_value(random, value);
}

std::string single_quote_backslashes(random_source& random) {
    static const char* const parts[] = {"C:", "\\Shares", "\\\\",  "\\'", "\\n",
                                        "\\", "abc",      "\\\"",  " ",   "\n",
                                        "$$", "\\u0041",  "\\\\\\"};
    std::string value = "'";
    const std::size_t count = 1 + random.below(4);
    for (std::size_t i = 0; i < count; ++i)
        value += random.pick(parts);
    value += "'";
    return place_value(random, value);
}

std::string top_level_trailing(random_source& random) {
    static const char* const heads[] = {
        "{ a = 1 }", "{\"a\": 1, \"b\": [1, 2]}",  "{ a { b = 1 } }", "[1, 2]",
        "{}",        "{ \"x\": { \"y\": \"z\" } }"};
    static const char* const tails[] = {"}",    "}\n",        "\n}\n",    " }}",     " x", "]",
                                        ";}",   "\n# c\n}",   " {b=1}",   "\na = 2", ",",  ";",
                                        "\n\n", " /* c */ }", "}garbage", "\"s\""};
    return std::string(random.pick(heads)) + random.pick(tails);
}

std::string number_suffixes(random_source& random) {
    static const char* const suffixes[] = {"",  "k",  "K",  "kb",  "KB",  "Kb", "m",   "mb",
                                           "g", "gb", "GB", "ms",  "s",   "S",  "min", "h",
                                           "d", "w",  "y",  "kib", "sec", "mS", "Min"};
    std::string value = random.chance(20) ? "-" : "";
    value += digits(random, 1, random.chance(30) ? 21 : 6);
    if (random.chance(20)) value += "." + digits(random, 1, 3);
    if (random.chance(10)) value += "e" + digits(random, 1, 3);
    value += random.pick(suffixes);
    return place_value(random, value);
}

std::string suffix_then_blank(random_source& random) {
    static const char* const numbers[] = {"2min", "90s", "11333", "5",    "1.5", "10ms",
                                          "3h",   "2k",  "4kb",   "true", "0x10"};
    static const char* const ends[] = {" }",           "  }",           "\t}",
                                       " # ninety\n}", " /* port */ }", "  # c\n}",
                                       " /* c */\n}",  " ;}",           " ,}"};
    return std::string("session { timeout = ") + random.pick(numbers) + random.pick(ends) + "\n";
}

std::string binary_fraction(random_source& random) {
    static const char* const suffixes[] = {"kb", "mb", "gb", "KB", "k", "m"};
    const std::string value =
        digits(random, 1, 3) + "." + digits(random, 1, 3) + random.pick(suffixes);
    return place_value(random, value);
}

std::string hex_numbers(random_source& random) {
    static const char* const suffixes[] = {"", "", "s", "min", "k", "kb", "ms", "h", "x", "g"};
    std::string value = random.chance(20) ? "-" : "";
    value += random.chance(50) ? "0x" : "0X";
    value += hex_digits(random, 0, random.chance(20) ? 18 : 6);
    value += random.pick(suffixes);
    return place_value(random, value);
}

std::string variables(random_source& random) {
    static const char* const parts[] = {"$$", "$CURDIR", "${CURDIR}", "$FILENAME", "${FILENAME}",
                                        "$X", "${X}",    "$",         "q",         ".log",
                                        "/",  "$$$",     "${CURDIR",  "$CURDIRX",  "$1"};
    std::string inner;
    const std::size_t count = 1 + random.below(3);
    for (std::size_t i = 0; i < count; ++i)
        inner += random.pick(parts);
    switch (random.below(4)) {
    case 0:
        return place_value(random, "'" + inner + "'");
    case 1:
        return place_value(random, "x" + inner);
    case 2:
        return "key = <<EOD\n" + inner + "\nEOD\n";
    default:
        return place_value(random, "\"" + inner + "\"");
    }
}

std::string unquoted_escapes(random_source& random) {
    static const char* const parts[] = {"a",   "\\n",    "\\t",     "\\\\",    "\\d",
                                        "C:",  "\\path", "\\\"",    "\\u0041", "b c",
                                        "\\/", "x\\",    "\\u00e9", "\\'"};
    std::string value;
    const std::size_t count = 1 + random.below(4);
    for (std::size_t i = 0; i < count; ++i)
        value += random.pick(parts);
    if (value.front() == '\\' || value.front() == '"') value = "v" + value;
    return place_value(random, value);
}

std::string surrogates(random_source& random) {
    static const char* const parts[] = {
        "\\uD83D\\uDE00", "\\ud83d\\ude00", "\\uD83D", "\\uDE00", "\\uD83Dx",
        "\\uD800\\u0041", "\\uDBFF\\uDFFF", "a",       "\\u00e9"};
    std::string value = "\"";
    const std::size_t count = 1 + random.below(3);
    for (std::size_t i = 0; i < count; ++i)
        value += random.pick(parts);
    return place_value(random, value + "\"");
}

std::string comments(random_source& random) {
    static const char* const texts[] = {
        "/* c */k = 1\n",
        "/* c */ k = 1\n",
        "a = 1 /* c */b = 2\n",
        "a = 1; /* c */b = 2\n",
        "a = 1\n/* c */b = 2\n",
        "# c\na = 1\n",
        "a = 1 # c\n",
        "a = /* c */ 1\n",
        "a /* c */ = 1\n",
        "/* a /* nested */ c */ a = 1\n",
        "/* c */\n{ a = 1 }\n",
        "# c\n{ a = 1 }\n",
        "s { a = 1 /* c */}\n",
        "s { a = 1 # c\n}\n",
        "a = [1, /* c */ 2]\n",
        "a = 1 /* unclosed\n",
        "s {/* c */a = 1}\n",
        "a = 1/**/\n",
        "a = 1#c\n",
        "a = x#c\n",
        "a = \"x\"/* c */\n",
        "a = 1 */\n",
    };
    std::string text = random.pick(texts);
    if (random.chance(30)) text = "pre = 0\n" + text;
    return text;
}

std::string keys(random_source& random) {
    static const char* const texts[] = {
        "\"k\"1\n",
        "\"k\"\"v\"\n",
        "\"k\"{a=1}\n",
        "\"k\"[1]\n",
        "\"k\" 1\n",
        "k{a=1}\n",
        "k[1]\n",
        "k-x.y/z = 1\n",
        "\"k\":1\n",
        "k:1\n",
        "k=1\n",
        "k 'v'\n",
        "a b c { x = 1 }\n",
        "a \"b\" { x = 1 }\n",
        "a b { }\n",
        "\"\" = 1\n",
        "\"a b\" = 1\n",
        "a\"b\" = 1\n",
        "1a = 2\n",
        "-a = 1\n",
        "_a = 1\n",
        "\xc3\xa9t\xc3\xa9 = 1\n",
        "a.b = 1\n",
        "\"k\"'v'\n",
        "s { \"k\"1 }\n",
        "s { k{a=1} }\n",
        "a b [1]\n",
        "\"k\"{}\n",
        "k=\"v\"\n",
        "k={}\n",
        "k = \"\"\n",
        "\"\\u0041\" = 1\n",
        "\"a\\\"b\" = 1\n",
        "'k' = 1\n",
        "a b c = 1\n",
        "a\tb { }\n",
    };
    return random.pick(texts);
}

std::string heredocs(random_source& random) {
    static const char* const bodies[] = {"line\n", "",        "a\nb\n", "  indented\n",
                                         "EO\n",   "\"q\"\n", "$$x\n",  "EODX\n"};
    static const char* const tags[] = {"EOD", "EOD", "X", "eod", "EoD", "ABC"};
    const std::string tag = random.pick(tags);
    std::string body = random.pick(bodies);
    std::string text = "key = <<" + tag + "\n" + body + tag + "\n";
    if (random.chance(20)) text = "s {\n" + text + "}\n";
    if (random.chance(25)) {
        std::string crlf;
        for (const char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        text = crlf;
    }
    if (random.chance(10)) text += "b = 1\n";
    if (random.chance(10)) text = "key = <<" + tag + "  \n" + body + tag + "\n";
    return text;
}

std::string separators(random_source& random) {
    static const char* const texts[] = {
        "x\n= 2\n",
        "a = 1;;\n",
        "a = 1,,b = 2\n",
        "host = ::1\n",
        "host = :1\n",
        "a = \n1\n",
        "a =\n",
        "a = 1 b = 2\n",
        "s { a = 1 } t { b = 2 }\n",
        "s { a = 1 }; t = 2\n",
        "a = [1 2]\n",
        "a = [1,]\n",
        "a = [,1]\n",
        "a = {b = 1,}\n",
        "a = 1;\n;\n",
        ";a = 1\n",
        "a : : 1\n",
        "a == 1\n",
        "a = 1 2\n",
        "a = { } b = 1\n",
        "a = [1\n2]\n",
        "a = x y z\n",
        "a=1\r\nb=2\r\n",
        "a = \"x\" \"y\"\n",
    };
    return random.pick(texts);
}

std::string macros(random_source& random) {
    static const char* const texts[] = {
        ".priority 2\na = 1\n",
        ".priority 16\na = 1\n",
        "base { a = 1 }\nsec { .inherit \"base\"; b = 2 }\n",
        "base { a = 1 }\nsec { b = 2; .inherit \"base\" }\n",
        ".include \"include/common.inc\"\n",
        ".include(key=\"sub\") \"include/common.inc\"\n",
        ".include(priority=2) \"include/common.inc\"\na = 1\n",
        ".load(key=\"k\") \"include/text.txt\"\n",
        ".load(key=\"k\", target=\"int\") \"include/rspamd-port\"\n",
        ".load(key=\"\") \"include/text.txt\"\n",
        ".load(key=1) \"include/text.txt\"\n",
        ".load \"include/text.txt\"\n",
        ".try_include \"include/absent.inc\"\na = 1\n",
        ".include \"include/absent.inc\"\n",
        ".unknown \"x\"\n",
        ".priority\n",
        ".priority x\n",
        "s { .priority 3; a = 1 }\n",
        ".include(duplicate=\"merge\") \"include/lmtp_merge.inc\"\n",
    };
    return random.pick(texts);
}

std::string json(random_source& random) {
    static const char* const values[] = {"1",
                                         "-0",
                                         "1e5",
                                         "1.0E+2",
                                         "\"s\"",
                                         "true",
                                         "null",
                                         "[]",
                                         "{}",
                                         "\"\\u00e9\"",
                                         "[1, {\"a\": 2}]",
                                         "0.5",
                                         "-1.25e-3",
                                         "\"\\\"\"",
                                         "1E400",
                                         "12345678901234567890"};
    std::string text = "{";
    const std::size_t count = 1 + random.below(3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) text += ", ";
        text += "\"k" + std::to_string(i) + "\": " + random.pick(values);
    }
    text += "}";
    if (random.chance(40)) text += "}";
    if (random.chance(30)) text += "\n";
    return text;
}

// Valid configurations that the mutations start from.
const char* const mutation_bases[] = {
    "lmtp {\n  listen_host = \"127.0.0.1\";\n  listen_port = 10024;\n}\n"
    "rspamd { host = 'localhost'; port = 11333; timeout = 30s }\n",
    "{\"log\": {\"level\": \"info\", \"file\": \"/var/log/q.log\"}, \"list\": [1, 2.5, \"x\"]}\n",
    "# comment\nsection label {\n  size = 10kb\n  flag = yes\n  text = <<EOD\nhello\nEOD\n}\n",
    "a = [1, 2, 3]\nb = { c = \"d\" }\n/* block */\ne = 0x1F\nf = 1.5e3\ng = -7\n",
    "smtp { host = ::1; port = 10025 }\nfilters { subject = \"^\\\\[SPAM\\\\]\" }\n",
};

std::string mutation(random_source& random) {
    static const char alphabet[] = "{}[]\"'\\#/*=:;,$\n \t0x.ksmEOD<-";
    std::string text = random.pick(mutation_bases);
    const std::size_t edits = 1 + random.below(3);
    for (std::size_t i = 0; i < edits; ++i) {
        const std::size_t at = random.below(text.size() + 1);
        const char c = alphabet[random.below(sizeof alphabet - 1)];
        switch (random.below(3)) {
        case 0:
            text.insert(at, 1, c);
            break;
        case 1:
            if (at < text.size()) text.erase(at, 1);
            break;
        default:
            if (at < text.size()) text[at] = c;
            break;
        }
    }
    return text;
}

const std::vector<std::pair<std::string_view, family_function>>& families() {
    static const std::vector<std::pair<std::string_view, family_function>> all = {
        {"double_quote_escapes", double_quote_escapes},
        {"single_quote_backslashes", single_quote_backslashes},
        {"top_level_trailing", top_level_trailing},
        {"number_suffixes", number_suffixes},
        {"suffix_then_blank", suffix_then_blank},
        {"binary_fraction", binary_fraction},
        {"hex_numbers", hex_numbers},
        {"variables", variables},
        {"unquoted_escapes", unquoted_escapes},
        {"surrogates", surrogates},
        {"comments", comments},
        {"keys", keys},
        {"heredocs", heredocs},
        {"separators", separators},
        {"macros", macros},
        {"json", json},
        {"mutation", mutation},
        {"mutation", mutation},
        {"mutation", mutation},
    };
    return all;
}

} // namespace

const std::vector<std::string_view>& generator_families() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const auto& [name, make] : families()) {
            if (out.empty() || out.back() != name) out.push_back(name);
        }
        return out;
    }();
    return names;
}

std::vector<generated_text> generate_texts(std::uint64_t seed, std::size_t count) {
    random_source random(seed);
    std::vector<generated_text> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& [name, make] = families()[i % families().size()];
        out.push_back({std::string(name), make(random)});
    }
    return out;
}

} // namespace ucl_test
