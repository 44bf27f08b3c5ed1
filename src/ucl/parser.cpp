// The UCL reader: objects with or without braces, arrays, the string and number forms, comments,
// the macros (.include, .try_include, .includes, .priority, .load, .inherit) with their options,
// the priorities and duplicate strategies of keys, and the file variables. Every error names its
// line, column and what was expected.
#include "ucl/parser.hpp"

#include "ucl/ascii.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace ucl {

namespace {

constexpr int max_depth = 256;        // objects and arrays open at once
constexpr int max_include_depth = 16; // includes within includes

// A parse failure carrying its complete message; caught by `parse_document`.
class syntax_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value of a hexadecimal digit.
unsigned hex_digit_value(char c) {
    return static_cast<unsigned>(is_digit(c) ? c - '0' : to_lower(c) - 'a' + 10);
}

// Bytes that may begin an unquoted key: ASCII letters and digits, '_', '/' (a key such as
// "/path", as the library reads it) and non-ASCII bytes.
bool is_key_start(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return is_digit(c) || (c >= 'a' && c <= 'z') || is_upper(c) || c == '_' || c == '/' ||
           byte >= 0x80;
}

// Bytes that may follow in an unquoted key.
bool is_key_char(char c) {
    return is_key_start(c) || c == '-' || c == '.' || c == '/';
}

// Bytes that end a value written without quotes (a brace or bracket only when unbalanced).
bool ends_value(char c) {
    return c == '\n' || c == ';' || c == ',';
}

// The value of a boolean word (true, yes, on, false, no, off in any letter case).
std::optional<bool> boolean_word(std::string_view raw) {
    for (const char* word : {"true", "yes", "on"}) {
        if (equals_ignoring_case(raw, word)) return true;
    }
    for (const char* word : {"false", "no", "off"}) {
        if (equals_ignoring_case(raw, word)) return false;
    }
    return std::nullopt;
}

// A number suffix: a size multiplier, or a time unit in seconds.
struct suffix {
    std::string_view name;
    double factor;
    std::int64_t size_factor; // 0 for the time units
};

constexpr std::array<suffix, 15> suffixes{{
    {"k", 1e3, 1000},
    {"m", 1e6, 1000000},
    {"g", 1e9, 1000000000},
    {"kb", 1024.0, 1024},
    {"mb", 1048576.0, 1048576},
    {"gb", 1073741824.0, 1073741824},
    {"ms", 0.001, 0},
    {"s", 1, 0},
    {"min", 60, 0},
    {"h", 3600, 0},
    {"d", 86400, 0},
    {"w", 604800, 0},
    {"y", 31536000, 0},
    {"ks", 1e3, 0}, // thousands and milliards of seconds, as the library reads them
    {"gs", 1e9, 0},
}};

// The suffix spelled by `text` in any letter case, or null.
const suffix* find_suffix(std::string_view text) {
    for (const auto& candidate : suffixes) {
        if (equals_ignoring_case(text, candidate.name)) return &candidate;
    }
    return nullptr;
}

// Appends the UTF-8 encoding of one code point.
void append_utf8(unsigned code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Where a number's digits end in a word and what kind of number they write.
struct number_part {
    std::size_t length = 0; // bytes of `raw` taken by the sign, digits, fraction and exponent
    bool is_float = false;
    bool is_hex = false;
    bool no_hex_digit = false; // "0x" without a digit, which the UCL library reads as 0
};

// Finds the sign, digits, fraction and exponent at the start of a word.
number_part scan_number(std::string_view raw) {
    number_part part;
    std::size_t i = raw.starts_with('-') ? 1 : 0;
    if (i >= raw.size() || !is_digit(raw[i])) return part;
    if (raw.substr(i, 2) == "0x" || raw.substr(i, 2) == "0X") {
        std::size_t j = i + 2;
        while (j < raw.size() && is_hex_digit(raw[j]))
            ++j;
        part.length = j;
        part.is_hex = true;
        part.no_hex_digit = j == i + 2;
        return part;
    }
    while (i < raw.size() && is_digit(raw[i]))
        ++i;
    if (i < raw.size() && raw[i] == '.') {
        part.is_float = true;
        ++i;
        while (i < raw.size() && is_digit(raw[i]))
            ++i;
    }
    if (i < raw.size() && (raw[i] == 'e' || raw[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < raw.size() && (raw[j] == '+' || raw[j] == '-')) ++j;
        if (j < raw.size() && is_digit(raw[j])) {
            while (j < raw.size() && is_digit(raw[j]))
                ++j;
            part.is_float = true;
            i = j;
        }
    }
    part.length = i;
    return part;
}

// The integer of hexadecimal digits (none is 0) with an optional minus sign; nothing when out
// of range.
std::optional<std::int64_t> hex_value(std::string_view digits) {
    const bool negative = digits.starts_with('-');
    digits.remove_prefix(negative ? 3 : 2);
    std::uint64_t value = 0;
    for (char c : digits) {
        const unsigned digit = hex_digit_value(c);
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
        value = (value << 4) | digit;
    }
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    if (value > limit) return std::nullopt;
    if (negative) return static_cast<std::int64_t>(0 - value);
    return static_cast<std::int64_t>(value);
}

// Appends the code point of the \\u escape at `at` (its four digits checked) to `out`, a pair of
// surrogate escapes as one code point; returns the bytes read.
std::size_t append_unicode_escape(std::string_view text, std::size_t at, std::string& out) {
    auto code_at = [&](std::size_t p) {
        unsigned code = 0;
        for (std::size_t i = p + 2; i < p + 6; ++i) {
            code = code * 16 + hex_digit_value(text[i]);
        }
        return code;
    };
    auto is_escape = [&](std::size_t p) {
        if (p + 6 > text.size() || text[p] != '\\' || text[p + 1] != 'u') return false;
        return std::all_of(text.begin() + static_cast<long>(p) + 2,
                           text.begin() + static_cast<long>(p) + 6, is_hex_digit);
    };
    const unsigned code = code_at(at);
    if (code >= 0xD800 && code <= 0xDBFF && is_escape(at + 6)) {
        const unsigned low = code_at(at + 6);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            append_utf8(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00), out);
            return 12;
        }
    }
    append_utf8(code, out);
    return 6;
}

// A value without quotes with its backslash escapes read as the UCL library reads them: the JSON
// escapes, and any other character with its backslash dropped; a final backslash stays.
std::string unescaped_atom(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out += raw[i++];
            continue;
        }
        const char c = raw[i + 1];
        const bool unicode = c == 'u' && i + 6 <= raw.size() &&
                             std::all_of(raw.begin() + static_cast<long>(i) + 2,
                                         raw.begin() + static_cast<long>(i) + 6, is_hex_digit);
        if (unicode) {
            i += append_unicode_escape(raw, i, out);
            continue;
        }
        out += c == 'n'   ? '\n'
               : c == 't' ? '\t'
               : c == 'r' ? '\r'
               : c == 'b' ? '\b'
               : c == 'f' ? '\f'
                          : c;
        i += 2;
    }
    return out;
}

// The name of a value's type in a message.
std::string type_name(const Ucl& value) {
    switch (value.type()) {
    case Type::null:
        return "null";
    case Type::boolean:
        return "a boolean";
    case Type::integer:
        return "an integer";
    case Type::floating:
        return "a float";
    case Type::time:
        return "a time";
    case Type::string:
        return "a string";
    case Type::array:
        return "an array";
    case Type::object:
        return "an object";
    }
    return "a value";
}

// The macros the reader knows, each written with its leading dot.
constexpr std::array<std::string_view, 6> macro_names{".include",  ".try_include", ".includes",
                                                      ".priority", ".load",        ".inherit"};

} // namespace

parser::parser(std::string_view text, const file_access& files)
    : text_(text), files_(&files), curdir_(files.working_directory()), filename_("undef") {}

parser::parser(std::string_view text, const file_access& files, std::string file_name,
               std::string directory, int include_depth, int depth)
    : text_(text), files_(&files), file_name_(file_name), curdir_(std::move(directory)),
      filename_(std::move(file_name)), include_depth_(include_depth), depth_(depth) {}

Ucl parser::parse_document(std::string& error) {
    try {
        return parse_root();
    } catch (const syntax_error& e) {
        error = e.what();
        return Ucl();
    }
}

// The top level: an array, a braced object or the members of an object without braces.
Ucl parser::parse_root() {
    skip_space();
    if (peek() == '[') {
        Ucl items = parse_array();
        ignore_text_end();
        return items;
    }
    member_list members;
    root_ = &members;
    parse_body(members);
    root_ = nullptr;
    return members.take_object().value;
}

// An included file: its members are read into the object that holds the macro.
void parser::parse_included(member_list& members) {
    skip_space();
    if (peek() == '[') fail_expected("an object in the included file");
    parse_body(members);
}

// A braced object that must end the text, or members up to the end of the text.
void parser::parse_body(member_list& members) {
    skip_space();
    if (peek() != '{') return parse_members(members, false, 0);
    const std::size_t open = pos_;
    enter(open);
    parse_members(members, true, open);
    --depth_;
    ignore_text_end();
}

// Members up to the closing brace (when `braced`, the one at `open`) or the end of the text.
void parser::parse_members(member_list& members, bool braced, std::size_t open) {
    bool after_member = false;
    for (;;) {
        skip_space();
        if (at_end()) {
            if (!braced) return;
            fail_expected("'}' to close the object opened at " + where(open));
        }
        const char c = peek();
        if (braced && c == '}') {
            ++pos_;
            return;
        }
        if (c == ',' || c == ';') {
            if (!after_member) fail_expected("a key");
            ++pos_;
            continue;
        }
        if (c == '.') {
            parse_macro(members);
        } else {
            parse_member(members);
        }
        after_member = true;
    }
}

// One `key = value`, `key: value`, `key value`, `key { ... }` or `key label ... { ... }`.
void parser::parse_member(member_list& members) {
    const std::size_t start = pos_;
    const bool quoted = peek() == '"'; // a quoted key may touch its value: "k"1
    std::string key = parse_key();
    const bool blank = peek() == ' ' || peek() == '\t';
    const char next = peek();
    if (!quoted && !at_end() && !blank && next != '\r' && next != '=' && next != ':' &&
        next != '{' && next != '[' && next != '"') {
        fail_expected("'=', ':' or a value after the key '" + key + "'");
    }
    skip_inline();
    // After a quoted key, or a key and a blank, the library looks for the value on the following
    // lines, where it takes a '=' or ':' for the start of the value ("k" and "= 1" on the next
    // line is "= 1").
    if ((quoted || blank) && peek() == '\n') {
        skip_space();
        const std::string context = "after the key '" + key + "'";
        return read_member_value(members, std::move(key), start, context);
    }
    if (peek() == '=' || peek() == ':') {
        ++pos_;
        if (null_at_end()) {
            return insert_member(members, std::move(key), {Ucl::null(), {priority_, false, {}}},
                                 start);
        }
        const std::string context = "for the key '" + key + "'";
        return read_member_value(members, std::move(key), start, context);
    }
    if (!starts_labels()) {
        const std::string context = "or '=' after the key '" + key + "'";
        return read_member_value(members, std::move(key), start, context);
    }
    if (merge_in_place(members, key)) return;
    marked_value value = parse_labelled();
    read_member_end(members, std::move(key), std::move(value), start);
}

// The value of `key`: read into the object it merges with, or added by the member rules;
// `context` completes the error when no value is there.
void parser::read_member_value(member_list& members, std::string key, std::size_t start,
                               const std::string& context) {
    if (merge_in_place(members, key)) return;
    read_member_end(members, std::move(key), parse_value(context), start);
}

// Adds the value just read with this text's priority; a separator must follow it.
void parser::read_member_end(member_list& members, std::string key, marked_value value,
                             std::size_t start) {
    value.marks.priority = priority_;
    const Type type = value.value.type();
    insert_member(members, std::move(key), std::move(value), start);
    expect_value_end(type);
}

// After '=': true for blanks and a line break at the end of the text, which the library reads as
// null; otherwise the blanks, line breaks and comments before the value are skipped.
bool parser::null_at_end() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\r')
        ++pos_;
    const bool line_break = peek() == '\n';
    skip_space();
    return line_break && at_end();
}

// Adds the value by the member rules; a conflict that they refuse is an error at `start`.
void parser::insert_member(member_list& members, std::string key, marked_value value,
                           std::size_t start) {
    try {
        add_member(members, std::move(key), std::move(value), strategy_);
    } catch (const member_conflict& conflict) {
        fail_at(start, conflict.what());
    }
}

// A quoted or unquoted key.
std::string parser::parse_key() {
    const std::size_t start = pos_;
    if (peek() == '"') {
        std::string key = parse_double_quoted(false);
        if (key.empty()) fail_at(start, "expected a key that is not empty, found '\"\"'");
        return key;
    }
    if (at_end() || !is_key_start(peek())) fail_expected("a key");
    while (!at_end() && is_key_char(peek()))
        ++pos_;
    return std::string(text_.substr(start, pos_ - start));
}

// True when the rest of the line holds words or quoted strings followed by '{' or '['.
bool parser::starts_labels() const {
    std::size_t p = pos_;
    int labels = 0;
    for (;;) {
        const bool quoted_label = p < text_.size() && text_[p] == '"';
        if (quoted_label) {
            ++p;
            while (p < text_.size() && text_[p] != '"' && text_[p] != '\n') {
                p += text_[p] == '\\' ? 2u : 1u;
            }
            if (p >= text_.size() || text_[p] != '"') return false;
            ++p;
        } else if (p < text_.size() && is_key_start(text_[p])) {
            while (p < text_.size() && is_key_char(text_[p]))
                ++p;
        } else {
            break;
        }
        ++labels;
        // A word ends at a blank or at the brace: `"k"level"` starts no labels.
        if (!quoted_label && p < text_.size() && text_[p] != ' ' && text_[p] != '\t' &&
            text_[p] != '{' && text_[p] != '[')
            return false;
        while (p < text_.size() && (text_[p] == ' ' || text_[p] == '\t'))
            ++p;
    }
    return labels > 0 && p < text_.size() && (text_[p] == '{' || text_[p] == '[');
}

// `name label1 label2 { ... }` gives name → label1 → label2 → the object.
marked_value parser::parse_labelled() {
    std::vector<std::string> labels;
    while (peek() != '{' && peek() != '[') {
        if (depth_ + static_cast<int>(labels.size()) >= max_depth) {
            fail_at(pos_, "nesting deeper than " + std::to_string(max_depth) +
                              " levels: expected fewer labels");
        }
        labels.push_back(parse_key());
        while (peek() == ' ' || peek() == '\t')
            ++pos_;
    }
    marked_value value = parse_value("after the labels");
    for (auto label = labels.rbegin(); label != labels.rend(); ++label) {
        value.marks.priority = priority_;
        marked_value outer{Ucl::object({Ucl::Member(std::move(*label), std::move(value.value))}),
                           {}};
        outer.marks.nested.push_back(std::move(value.marks));
        value = std::move(outer);
    }
    return value;
}

// A value of any form; `context` completes the error when none is there.
marked_value parser::parse_value(const std::string& context) {
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']') fail_expected("a value " + context);
    switch (c) {
    case '{':
        return parse_object();
    case '[':
        return {parse_array(), {}};
    case '"':
        return {Ucl::string(parse_double_quoted(true)), {}};
    case '\'':
        return {Ucl::string(parse_single_quoted()), {}};
    default:
        if (starts_heredoc()) return {Ucl::string(parse_heredoc()), {}};
        return {parse_atom(), {}};
    }
}

// With the merge strategy, an object written for a key that holds an object is read into that
// object, so its members meet the old ones (and .inherit sees them) as they are read.
bool parser::merge_in_place(member_list& members, const std::string& key) {
    if (strategy_ != duplicate_strategy::merge || peek() != '{') return false;
    const member_entry* old = members.find(key);
    if (old == nullptr || old->value.type() != Type::object) return false;
    marked_value merged = parse_object(member_list(old->value, old->marks.nested));
    member_entry* entry = members.find(key);
    entry->value = std::move(merged.value);
    entry->marks.nested = std::move(merged.marks.nested);
    expect_value_end(Type::object);
    return true;
}

// An object in braces, starting at the opening brace.
marked_value parser::parse_object(member_list members) {
    const std::size_t open = pos_;
    enter(open);
    parse_members(members, true, open);
    --depth_;
    return members.take_object();
}

// An array in brackets, its values separated by commas or line breaks.
Ucl parser::parse_array() {
    const std::size_t open = pos_;
    enter(open);
    std::vector<Ucl> items;
    bool after_item = false;
    for (;;) {
        skip_space();
        if (at_end() || peek() == '}')
            fail_expected("']' to close the array opened at " + where(open));
        const char c = peek();
        if (c == ']') {
            ++pos_;
            break;
        }
        if (c == ',' || c == ';') {
            if (!after_item) fail_expected("a value in the array");
            ++pos_;
            continue;
        }
        items.push_back(parse_value("in the array").value);
        after_item = true;
        expect_value_end(items.back().type());
    }
    --depth_;
    return Ucl::array(std::move(items));
}

// A string in double quotes with JSON escapes; `expand` replaces the file variables in the
// unescaped text, so that an escaped "$" may start one, as in the UCL library.
std::string parser::parse_double_quoted(bool expand) {
    const std::size_t start = pos_++;
    std::string out;
    for (;;) {
        if (at_end() || peek() == '\n') {
            fail_expected("'\"' to close the string that starts at " + where(start));
        }
        const char c = peek();
        if (c == '"') {
            ++pos_;
            return expand ? expand_variables(out) : out;
        }
        if (c == '\\') {
            parse_escape(out);
        } else {
            out += c;
            ++pos_;
        }
    }
}

// One escape sequence starting at the backslash; a backslash before a character that has no
// escape is dropped ("\\d" is "d"), as the UCL library drops it.
void parser::parse_escape(std::string& out) {
    const std::size_t start = pos_++;
    const char c = peek();
    if (at_end()) fail_expected("an escaped character after '\\'");
    ++pos_;
    switch (c) {
    case '"':
    case '\\':
    case '/':
        out += c;
        return;
    case 'b':
        out += '\b';
        return;
    case 'f':
        out += '\f';
        return;
    case 'n':
        out += '\n';
        return;
    case 'r':
        out += '\r';
        return;
    case 't':
        out += '\t';
        return;
    case 'u':
        break;
    default:
        out += c;
        return;
    }
    unsigned code = parse_hex4();
    if (code >= 0xDC00 && code <= 0xDFFF) {
        fail_at(start, "expected a high surrogate before the low surrogate \\u" +
                           std::string(text_.substr(start + 2, 4)));
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
        if (peek() != '\\' || peek(1) != 'u') fail_expected("a low surrogate \\uDC00 to \\uDFFF");
        pos_ += 2;
        const unsigned low = parse_hex4();
        if (low < 0xDC00 || low > 0xDFFF) {
            fail_at(pos_ - 6, "expected a low surrogate \\uDC00 to \\uDFFF");
        }
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(code, out);
}

// The four hexadecimal digits of a \u escape.
unsigned parser::parse_hex4() {
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = peek();
        if (at_end() || !is_hex_digit(c)) fail_expected("four hexadecimal digits after \\u");
        code = code * 16 + hex_digit_value(c);
        ++pos_;
    }
    return code;
}

// A string in single quotes: \' is a quote and a backslash before a line break joins the lines;
// any other backslash stays with the character after it, which it keeps from ending the string
// ('C:\\' is C:\\), as in the UCL library. Line breaks are kept.
std::string parser::parse_single_quoted() {
    const std::size_t start = pos_++;
    std::string out;
    for (;;) {
        if (at_end()) fail_expected("\"'\" to close the string that starts at " + where(start));
        const char c = peek();
        if (c == '\'') {
            ++pos_;
            return out;
        }
        if (c == '\\' && pos_ + 1 < text_.size()) {
            const char next = peek(1);
            if (next == '\'') {
                out += '\'';
            } else if (next != '\n') {
                out += c;
                out += next;
            }
            pos_ += 2;
        } else {
            out += c;
            ++pos_;
        }
    }
}

// True at `<<TAG` (capital letters) followed by the end of the line.
bool parser::starts_heredoc() const {
    if (peek() != '<' || peek(1) != '<') return false;
    std::size_t p = pos_ + 2;
    while (p < text_.size() && is_upper(text_[p]))
        ++p;
    if (p == pos_ + 2) return false;
    if (p < text_.size() && text_[p] == '\r') ++p;
    return p < text_.size() && text_[p] == '\n';
}

// The lines up to the one that starts with the tag, without their final line break.
std::string parser::parse_heredoc() {
    const std::size_t start = pos_;
    pos_ += 2;
    const std::size_t tag_start = pos_;
    while (is_upper(peek()))
        ++pos_;
    const std::string_view tag = text_.substr(tag_start, pos_ - tag_start);
    pos_ = text_.find('\n', pos_) + 1;
    const std::size_t content = pos_;
    for (;;) {
        const std::size_t after_tag = pos_ + tag.size();
        if (text_.substr(pos_).starts_with(tag) &&
            (after_tag >= text_.size() || !is_upper(text_[after_tag]))) {
            break;
        }
        const std::size_t line_end = text_.find('\n', pos_);
        if (line_end == std::string_view::npos) {
            pos_ = text_.size();
            fail_expected("a line '" + std::string(tag) + "' to end the text that starts at " +
                          where(start));
        }
        pos_ = line_end + 1;
    }
    std::string_view body = text_.substr(content, pos_ - content);
    if (body.ends_with('\n')) body.remove_suffix(1);
    if (body.ends_with('\r')) body.remove_suffix(1);
    pos_ += tag.size();
    return expand_variables(body);
}

// A value without quotes as a boolean, null, number or string.
Ucl parser::parse_atom() {
    const std::size_t start = pos_;
    return interpret_atom(scan_atom(), start);
}

// A value without quotes: up to a line break, ';', ',', a comment or an unbalanced '}' or ']'; a
// backslash keeps the byte after it (a line break too) in the value.
std::string_view parser::scan_atom() {
    const std::size_t start = pos_;
    int braces = 0;
    int brackets = 0;
    while (!at_end()) {
        const char c = peek();
        if (c == '\\' && pos_ + 1 < text_.size()) {
            pos_ += 2;
            continue;
        }
        if (ends_value(c) || c == '#' || (c == '/' && peek(1) == '*')) break;
        if ((c == '}' && braces == 0) || (c == ']' && brackets == 0)) break;
        if (c == '{') ++braces;
        if (c == '}') --braces;
        if (c == '[') ++brackets;
        if (c == ']') --brackets;
        ++pos_;
    }
    std::string_view raw = text_.substr(start, pos_ - start);
    // Trailing blanks go, an escaped one too; an escaped line break stays, as in the library.
    while (!raw.empty() && is_space(raw.back()) && raw.back() != '\n')
        raw.remove_suffix(1);
    return raw;
}

// A word without quotes as a boolean, null, number (with its suffix) or else as a string.
Ucl parser::interpret_atom(std::string_view raw, std::size_t start) {
    if (auto flag = boolean_word(raw)) return Ucl::boolean(*flag);
    if (raw == "null") return Ucl::null();
    const number_part part = scan_number(raw);
    if (part.length == 0) return Ucl::string(expand_variables(unescaped_atom(raw)));
    // Digits that no 64-bit number holds are refused whatever follows them, as in the library.
    const std::string_view digits = raw.substr(0, part.length);
    const std::string out_of_range = "number out of range: expected a value that fits in 64 bits";
    double real = 0;
    std::int64_t whole = 0;
    if (part.is_hex) {
        auto value = hex_value(digits);
        if (!value) fail_at(start, out_of_range);
        whole = *value;
    } else {
        const auto result =
            part.is_float ? std::from_chars(digits.data(), digits.data() + digits.size(), real)
                          : std::from_chars(digits.data(), digits.data() + digits.size(), whole);
        if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
            fail_at(start, out_of_range);
        }
    }
    const suffix* unit = find_suffix(raw.substr(part.length));
    if ((part.length < raw.size() && unit == nullptr) ||
        (part.no_hex_digit && unit == nullptr && digits_follow(start + raw.size()))) {
        return Ucl::string(expand_variables(unescaped_atom(raw)));
    }
    if (unit == nullptr) return part.is_float ? Ucl::floating(real) : Ucl::integer(whole);
    // A time unit after hexadecimal digits is ignored, as in the UCL library.
    if (part.is_hex && unit->size_factor == 0) return Ucl::integer(whole);
    if (unit->size_factor != 0 && !part.is_float) {
        // The product wraps around at 64 bits, as in the UCL library.
        const std::uint64_t product =
            static_cast<std::uint64_t>(whole) * static_cast<std::uint64_t>(unit->size_factor);
        return Ucl::integer(static_cast<std::int64_t>(product));
    }
    const double scaled = (part.is_float ? real : static_cast<double>(whole)) * unit->factor;
    if (!std::isfinite(scaled)) fail_at(start, out_of_range);
    return unit->size_factor != 0 ? Ucl::floating(scaled) : Ucl::time(scaled);
}

// For "0x" without a digit: true when the UCL library, which looks for the digits past blanks
// and line breaks, finds them at `end` or a "/" that it cannot end the number with, and so
// reads the value as the text "0x".
bool parser::digits_follow(std::size_t end) const {
    while (end < text_.size() && (is_space(text_[end]) || text_[end] == '\v' || text_[end] == '\f'))
        ++end;
    if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
    return end < text_.size() && (is_hex_digit(text_[end]) || text_[end] == '/');
}

// A macro: its name, an optional `(name=value, ...)` list of options and its argument.
void parser::parse_macro(member_list& members) {
    const std::size_t start = pos_++;
    while (!at_end() && (is_key_start(peek()) || peek() == '-'))
        ++pos_;
    const std::string name(text_.substr(start, pos_ - start));
    const bool known = std::find(macro_names.begin(), macro_names.end(), name) != macro_names.end();
    // As in the library, a macro other than .load with no argument before the end of the text
    // does nothing; an unknown one only where the text ends right after its name.
    const std::size_t after_name = pos_;
    skip_space();
    if (at_end() && name != ".load" && (known || after_name == text_.size())) return;
    pos_ = after_name;
    if (!known) {
        fail_at(start, "unknown macro '" + name +
                           "': expected .include, .try_include, .includes, .priority, .load or "
                           ".inherit");
    }
    skip_inline();
    const Ucl options = peek() == '(' ? parse_macro_options(name) : Ucl::object({});
    skip_space();
    if (name != ".load" && at_end()) return;
    if (name == ".priority") {
        const std::string text = parse_macro_argument(name, "a priority");
        const auto priority = priority_of_text(text);
        if (!priority) {
            fail_at(start,
                    ".priority: invalid priority '" + text + "': expected a decimal integer");
        }
        priority_ = *priority;
    } else if (name == ".load") {
        load_macro(read_load_options(options), parse_macro_argument(name, "a path"), start,
                   members);
    } else if (name == ".inherit") {
        inherit_macro(parse_macro_argument(name, "a section name"), start, members);
    } else {
        const include_options include =
            read_include_options(options, name == ".try_include", name == ".includes");
        include_macro(name, include, parse_macro_argument(name, "a path"), start, members);
    }
}

// The options in parentheses, read as the members of an object; parentheses inside quotes or
// nested ones do not end them.
Ucl parser::parse_macro_options(const std::string& name) {
    const std::size_t open = pos_;
    std::size_t p = pos_;
    int nesting = 0;
    for (;; ++p) {
        if (p >= text_.size()) {
            pos_ = p;
            fail_expected("')' to close the options of " + name + " opened at " + where(open));
        }
        const char c = text_[p];
        if (c == '"' || c == '\'') {
            for (++p; p < text_.size() && text_[p] != c; ++p) {
                if (text_[p] == '\\') ++p;
            }
            if (p >= text_.size()) --p; // the check at the top of the loop fails next
            continue;
        }
        if (c == '(') ++nesting;
        if (c == ')' && --nesting == 0) break;
    }
    pos_ = p + 1;
    parser options_parser(text_.substr(open + 1, p - open - 1), *files_, "", curdir_,
                          include_depth_, depth_);
    options_parser.filename_ = filename_;
    std::string error;
    Ucl options = options_parser.parse_document(error);
    if (!error.empty()) fail_at(open, "invalid options for " + name + ": " + error);
    return options;
}

// The argument after a macro: a quoted string, a text in braces or a word without quotes, with
// the file variables replaced; `what` names it in the error when none is there.
std::string parser::parse_macro_argument(const std::string& name, const std::string& what) {
    skip_space();
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']' || c == '[' || c == '\'') {
        fail_expected(what + " after " + name);
    }
    std::string argument;
    if (c == '"') {
        argument = parse_double_quoted(true);
    } else if (c == '{') {
        const std::size_t close = text_.find('}', pos_);
        if (close == std::string_view::npos) {
            pos_ = text_.size();
            fail_expected("'}' to close the argument of " + name);
        }
        std::string_view inner = text_.substr(pos_ + 1, close - pos_ - 1);
        while (!inner.empty() && is_space(inner.front()))
            inner.remove_prefix(1);
        while (!inner.empty() && is_space(inner.back()))
            inner.remove_suffix(1);
        argument = expand_variables(inner);
        pos_ = close + 1;
    } else {
        argument = expand_variables(scan_atom());
    }
    skip_inline();
    return argument;
}

// An include of one file, or with the option glob of every file that a pattern matches.
void parser::include_macro(const std::string& name, const include_options& options,
                           const std::string& path, std::size_t start, member_list& members) {
    const auto matches = options.glob ? files_->glob(path) : std::nullopt;
    if (!matches) return include_file(name, options, path, start, members);
    if (matches->empty() && !options.try_missing) {
        fail_at(start, name + ": no file matches the pattern '" + path + "'");
    }
    for (const auto& match : *matches)
        include_file(name, options, match, start, members);
}

// Reads the file at `path` into `members`, or into the object or array at the option key; a
// missing file is skipped when the options allow it.
void parser::include_file(const std::string& name, const include_options& options,
                          const std::string& path, std::size_t start, member_list& members) {
    if (include_depth_ >= max_include_depth) {
        fail_at(start, "includes nested more than " + std::to_string(max_include_depth) +
                           " deep: expected a file that does not include itself");
    }
    std::string content;
    if (!read_macro_file(name, "included file", path, options.try_missing, start, content)) return;
    const std::string real = files_->real_path(path);
    if (options.sign) check_signature(name, real, start);
    parser included(content, *files_, real, std::filesystem::path(real).parent_path().string(),
                    include_depth_ + 1, depth_);
    included.priority_ = options.priority;
    included.strategy_ = options.duplicate;
    included.root_ = root_;
    if (!options.nest) return included.parse_included(members);
    include_nested(included, name, options, path, start, members);
}

// The included file's members as an object at the option key: merged into the object already
// there, or with target "array" appended to the array there (one is made of any other value).
void parser::include_nested(parser& included, const std::string& name,
                            const include_options& options, const std::string& path,
                            std::size_t start, member_list& members) {
    const std::string key = options.key.empty() ? file_key(path) : options.key;
    member_entry* old = members.find(key);
    if (!options.as_array && old != nullptr && old->value.type() != Type::object) {
        fail_at(start, name + ": cannot include into the key '" + key +
                           "': expected an object there, found " + type_name(old->value));
    }
    member_list object_members;
    if (!options.as_array && old != nullptr) {
        object_members = member_list(old->value, old->marks.nested);
    }
    included.parse_included(object_members);
    marked_value object = object_members.take_object();
    object.marks.priority = options.priority;
    old = members.find(key);
    if (old == nullptr) {
        if (options.as_array) object = {Ucl::array({object.value}), {options.priority, false, {}}};
        members.append(key, std::move(object));
        return;
    }
    if (options.as_array) {
        const Ucl& previous = old->value;
        std::vector<Ucl> items =
            previous.type() == Type::array ? previous.items() : std::vector<Ucl>{previous};
        items.push_back(std::move(object.value));
        old->value = Ucl::array(std::move(items));
        old->marks.nested.clear();
        return;
    }
    old->value = std::move(object.value);
    old->marks.nested = std::move(object.marks.nested);
}

// Reads the file a macro names into `content`; false for a missing file that `try_missing`
// skips. The errors name the macro and the file as `what` ("included file", "the file").
bool parser::read_macro_file(const std::string& name, const std::string& what,
                             const std::string& path, bool try_missing, std::size_t start,
                             std::string& content) const {
    const auto status = files_->status(path);
    if (status == file_access::kind::missing) {
        if (try_missing) return false;
        fail_at(start, name + ": cannot open " + what + " '" + path + "': no such file");
    }
    if (status != file_access::kind::regular || !files_->read(path, content)) {
        fail_at(start, name + ": cannot read " + what + " '" + path +
                           "': expected a readable regular file");
    }
    return true;
}

// Signatures are checked against the public keys registered with the reader, and the daemon
// registers none: an included file is refused once its signature file is looked for.
void parser::check_signature(const std::string& name, const std::string& real_path,
                             std::size_t start) const {
    const std::string signature = real_path + ".sig";
    if (files_->status(signature) == file_access::kind::missing) {
        fail_at(start, name + ": cannot open the signature file '" + signature + "': no such file");
    }
    fail_at(start, name + ": cannot verify the signature file '" + signature +
                       "': expected a public key, and none is registered");
}

// `.load(key=...)`: the file's bytes as a string, or with target "int" as an integer, at a key
// that the object does not hold yet.
void parser::load_macro(const load_options& options, const std::string& path, std::size_t start,
                        member_list& members) {
    if (!options.key) fail_at(start, ".load: no key given: expected the option key=\"name\"");
    std::string content;
    if (!read_macro_file(".load", "the file", path, options.try_missing, start, content)) return;
    if (members.find(*options.key) != nullptr) {
        fail_at(start,
                ".load: the key '" + *options.key + "' is already written: expected a new key");
    }
    Ucl value;
    switch (options.target) {
    case load_target::string:
        if (content.empty()) return;
        value = Ucl::string(options.escape ? json_escaped(content) : content);
        break;
    case load_target::integer:
        value = Ucl::integer(integer_prefix(content));
        break;
    case load_target::nothing:
        return;
    }
    members.append(*options.key, {std::move(value), {options.priority, false, {}}});
}

// `.inherit "section"`: copies the members of a top-level object written before into this
// object, except the keys this object already holds; the first key written here replaces a copy.
void parser::inherit_macro(const std::string& section, std::size_t start, member_list& members) {
    const member_entry* base = root_ != nullptr ? root_->find(section) : nullptr;
    if (base == nullptr || base->value.type() != Type::object) {
        fail_at(start, ".inherit: no section '" + section +
                           "' to inherit: expected an object at the top level, written before");
    }
    // A copy, as appending to this object may move the section when it is this object.
    const member_entry copied = *base;
    const std::size_t written = members.size();
    const auto& copies = copied.value.members();
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (members.held_among_first(copies[i].first, written)) continue;
        member_marks marks =
            i < copied.marks.nested.size() ? copied.marks.nested[i] : member_marks{};
        marks.inherited = true;
        members.append(copies[i].first, {copies[i].second, std::move(marks)});
    }
}

// After a value: a separator, a line break, a closing brace or bracket, the end of the text, or
// a block comment, which separates like a line break in the UCL library (`a = "x" /* c */ b = 2`).
void parser::expect_value_end(Type type) {
    bool block_comment = false;
    while (!at_end()) {
        if (is_space(peek()) && peek() != '\n') {
            ++pos_;
            continue;
        }
        if (peek() == '/' && peek(1) == '*') block_comment = true;
        if (!skip_comment()) break;
    }
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']' || block_comment) return;
    if (type == Type::object || type == Type::array) return;
    fail_expected("',', ';' or a line break after the value");
}

// The closing brace or bracket of the top level ends the reading, as in the UCL library: what
// follows it (a second "}" at the end of a JSON file, say) is not read.
void parser::ignore_text_end() {
    pos_ = text_.size();
}

// Replaces the variable at the start of `rest` ($$, $NAME, ${NAME}); returns the bytes read and
// sets `named` when a file variable was replaced.
std::size_t parser::expand_variable(std::string_view rest, std::string& out, bool& named) const {
    if (rest.starts_with("$$")) {
        out += '$';
        return 2;
    }
    const std::array<std::pair<std::string_view, const std::string*>, 2> variables{{
        {"CURDIR", &curdir_},
        {"FILENAME", &filename_},
    }};
    for (const auto& [name, value] : variables) {
        const std::string_view after = rest.substr(1);
        if (after.starts_with('{') && after.substr(1).starts_with(name) &&
            after.substr(1 + name.size()).starts_with('}')) {
            out += *value;
            named = true;
            return name.size() + 3;
        }
        if (after.starts_with(name)) {
            out += *value;
            named = true;
            return name.size() + 1;
        }
    }
    out += '$';
    return 1;
}

// A text with every file variable replaced. As in the UCL library, "$$" becomes "$" only in a
// text that names a file variable; in any other text it stays as written ("q$$.log").
std::string parser::expand_variables(std::string_view raw) const {
    std::string out;
    bool named = false;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] == '$') {
            i += expand_variable(raw.substr(i), out, named);
        } else {
            out += raw[i++];
        }
    }
    return named ? out : std::string(raw);
}

// Skips whitespace, line breaks and comments.
void parser::skip_space() {
    while (!at_end()) {
        if (is_space(peek())) {
            ++pos_;
        } else if (!skip_comment()) {
            return;
        }
    }
}

// Skips whitespace and comments up to the next line break, which stays unread.
void parser::skip_inline() {
    while (!at_end()) {
        if (is_space(peek()) && peek() != '\n') {
            ++pos_;
        } else if (!skip_comment()) {
            return;
        }
    }
}

// Skips a `#` comment up to its line break or a nested `/* */` comment; false when none starts.
bool parser::skip_comment() {
    if (peek() == '#') {
        const std::size_t line_end = text_.find('\n', pos_);
        pos_ = line_end == std::string_view::npos ? text_.size() : line_end;
        return true;
    }
    if (peek() != '/' || peek(1) != '*') return false;
    const std::size_t start = pos_;
    pos_ += 2;
    int open = 1;
    while (open > 0) {
        if (at_end()) fail_expected("'*/' to close the comment that starts at " + where(start));
        if (peek() == '/' && peek(1) == '*') {
            ++open;
            pos_ += 2;
        } else if (peek() == '*' && peek(1) == '/') {
            --open;
            pos_ += 2;
        } else {
            ++pos_;
        }
    }
    return true;
}

// The byte `ahead` bytes on, or NUL past the end of the text.
char parser::peek(std::size_t ahead) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
}

// Steps over the opening brace or bracket at `open`, refusing nesting beyond the limit.
void parser::enter(std::size_t open) {
    if (++depth_ > max_depth) {
        fail_at(open, "nesting deeper than " + std::to_string(max_depth) +
                          " levels: expected fewer open objects and arrays");
    }
    ++pos_;
}

// "line L, column C" of a byte offset, both counted from 1.
std::string parser::where(std::size_t pos) const {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < pos && i < text_.size(); ++i) {
        if (text_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(pos - line_start + 1);
}

// How the byte at `pos` reads in a message.
std::string parser::found(std::size_t pos) const {
    if (pos >= text_.size()) return "the end of the text";
    const char c = text_[pos];
    if (c == '\n') return "a line break";
    if (c >= 0x20 && c < 0x7F) return c == '\'' ? "\"'\"" : "'" + std::string(1, c) + "'";
    static const char digits[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    return std::string("byte 0x") + digits[byte >> 4] + digits[byte & 0xF];
}

// Throws the error at `pos`, prefixed by the file name in an included file.
void parser::fail_at(std::size_t pos, const std::string& message) const {
    throw syntax_error((file_name_.empty() ? "" : file_name_ + ": ") + where(pos) + ": " + message);
}

// Throws "expected X, found Y" at the current position.
void parser::fail_expected(const std::string& expected) const {
    fail_at(pos_, "expected " + expected + ", found " + found(pos_));
}

} // namespace ucl
