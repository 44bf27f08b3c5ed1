// The grammar of UCL texts: objects with or without braces, arrays, the string and number forms,
// comments and the file variables; members go in by the member rules, macros are read by the
// macros. Every error names its line, column and what was expected.
#include "ucl/parser.hpp"

#include "ucl/atoms.hpp"
#include "ucl/macros.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace ucl {

namespace {

constexpr int max_depth = 256; // objects and arrays open at once

// A parse failure carrying its complete message; caught by `parse_document`.
class syntax_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace

parser::parser(std::string_view text, const file_access& files) : text_(text) {
    settings_.files = &files;
    settings_.curdir = files.working_directory();
}

parser::parser(std::string_view text, text_settings settings, int depth)
    : text_(text), settings_(std::move(settings)), depth_(depth) {}

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
    settings_.root = &members;
    parse_body(members);
    settings_.root = nullptr;
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
            read_macro(*this, members);
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
            return insert_member(members, std::move(key),
                                 {Ucl::null(), {settings_.priority, false, {}}}, start);
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
    value.marks.priority = settings_.priority;
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
        add_member(members, std::move(key), std::move(value), settings_.strategy);
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
        value.marks.priority = settings_.priority;
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
    if (settings_.strategy != duplicate_strategy::merge || peek() != '{') return false;
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
        {"CURDIR", &settings_.curdir},
        {"FILENAME", &settings_.filename},
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
    throw syntax_error((settings_.file_name.empty() ? "" : settings_.file_name + ": ") +
                       where(pos) + ": " + message);
}

// Throws "expected X, found Y" at the current position.
void parser::fail_expected(const std::string& expected) const {
    fail_at(pos_, "expected " + expected + ", found " + found(pos_));
}

} // namespace ucl
