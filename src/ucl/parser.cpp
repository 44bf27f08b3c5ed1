// The UCL reader: objects with or without braces, arrays, the string and number forms, comments,
// the include macros and the file variables. Every error names its line, column and what was
// expected.
#include "ucl/parser.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace ucl {

namespace {

constexpr int max_depth = 256;        // objects and arrays open at once
constexpr int max_include_depth = 16; // includes within includes

// A parse failure carrying its complete message; caught by `parse_document`.
class syntax_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ASCII classes and case folding; the process sets no locale.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}

bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char to_lower(char c) {
    return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whitespace of the configuration language: the ASCII blanks, the line break included.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Bytes that may begin an unquoted key: ASCII letters and digits, '_' and non-ASCII bytes.
bool is_key_start(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return is_digit(c) || (c >= 'a' && c <= 'z') || is_upper(c) || c == '_' || byte >= 0x80;
}

// Bytes that may follow in an unquoted key.
bool is_key_char(char c) {
    return is_key_start(c) || c == '-' || c == '.' || c == '/';
}

// Bytes that end a value written without quotes (a brace or bracket only when unbalanced).
bool ends_value(char c) {
    return c == '\n' || c == ';' || c == ',';
}

// Equality with ASCII letters compared without regard to case.
bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (to_lower(a[i]) != to_lower(b[i])) return false;
    }
    return true;
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

constexpr std::array<suffix, 13> suffixes{{
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
        if (j == i + 2) return part;
        part.length = j;
        part.is_hex = true;
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

// The integer of hexadecimal digits with an optional minus sign; nothing when out of range.
std::optional<std::int64_t> hex_value(std::string_view digits) {
    const bool negative = digits.starts_with('-');
    digits.remove_prefix(negative ? 3 : 2);
    std::uint64_t value = 0;
    for (char c : digits) {
        const unsigned digit = is_digit(c) ? c - '0' : to_lower(c) - 'a' + 10;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
        value = (value << 4) | digit;
    }
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    if (value > limit) return std::nullopt;
    if (negative) return static_cast<std::int64_t>(0 - value);
    return static_cast<std::int64_t>(value);
}

// Reads a whole file into `out`; false when it cannot be read.
bool read_whole_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    try {
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return false;
    }
    return !in.bad();
}

// The working directory, or the empty text when it cannot be named.
std::string working_directory() {
    std::error_code ec;
    auto path = std::filesystem::current_path(ec);
    return ec ? std::string() : path.string();
}

} // namespace

parser::parser(std::string_view text)
    : text_(text), curdir_(working_directory()), filename_("undef") {}

parser::parser(std::string_view text, std::string file_name, std::string directory,
               int include_depth, int depth)
    : text_(text), file_name_(file_name), curdir_(std::move(directory)),
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
        expect_text_end();
        return items;
    }
    member_list members;
    parse_body(members);
    return Ucl::object(std::move(members));
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
    expect_text_end();
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
    std::string key = parse_key();
    const char next = peek();
    if (!at_end() && next != ' ' && next != '\t' && next != '\r' && next != '=' && next != ':' &&
        next != '{' && next != '[' && next != '"') {
        fail_expected("'=', ':' or a value after the key '" + key + "'");
    }
    skip_inline();
    Ucl value;
    if (peek() == '=' || peek() == ':') {
        ++pos_;
        skip_space();
        value = parse_value("for the key '" + key + "'");
    } else if (starts_labels()) {
        value = parse_labelled();
    } else {
        value = parse_value("or '=' after the key '" + key + "'");
    }
    members.emplace_back(std::move(key), value);
    expect_value_end(value);
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
        if (p < text_.size() && text_[p] == '"') {
            ++p;
            while (p < text_.size() && text_[p] != '"' && text_[p] != '\n') {
                p += text_[p] == '\\' ? 2 : 1;
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
        while (p < text_.size() && (text_[p] == ' ' || text_[p] == '\t'))
            ++p;
    }
    return labels > 0 && p < text_.size() && (text_[p] == '{' || text_[p] == '[');
}

// `name label1 label2 { ... }` gives name → label1 → label2 → the object.
Ucl parser::parse_labelled() {
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
    Ucl value = parse_value("after the labels");
    for (auto label = labels.rbegin(); label != labels.rend(); ++label) {
        value = Ucl::object({Ucl::Member(std::move(*label), value)});
    }
    return value;
}

// A value of any form; `context` completes the error when none is there.
Ucl parser::parse_value(const std::string& context) {
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']') fail_expected("a value " + context);
    switch (c) {
    case '{':
        return parse_object();
    case '[':
        return parse_array();
    case '"':
        return Ucl::string(parse_double_quoted(true));
    case '\'':
        return Ucl::string(parse_single_quoted());
    default:
        if (starts_heredoc()) return Ucl::string(parse_heredoc());
        return parse_atom();
    }
}

// An object in braces, starting at the opening brace.
Ucl parser::parse_object() {
    const std::size_t open = pos_;
    enter(open);
    member_list members;
    parse_members(members, true, open);
    --depth_;
    return Ucl::object(std::move(members));
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
        items.push_back(parse_value("in the array"));
        after_item = true;
        expect_value_end(items.back());
    }
    --depth_;
    return Ucl::array(std::move(items));
}

// A string in double quotes with JSON escapes; `expand` replaces the file variables.
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
            return out;
        }
        if (c == '\\') {
            parse_escape(out);
        } else if (c == '$' && expand) {
            pos_ += expand_variable(text_.substr(pos_), out);
        } else {
            out += c;
            ++pos_;
        }
    }
}

// One escape sequence starting at the backslash.
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
        fail_at(start, "invalid escape: expected one of \\\" \\\\ \\/ \\b \\f \\n \\r \\t "
                       "\\u after '\\', found " +
                           found(start + 1));
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
        code = code * 16 + (is_digit(c) ? c - '0' : to_lower(c) - 'a' + 10);
        ++pos_;
    }
    return code;
}

// A string in single quotes: only \' is an escape, line breaks are kept.
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
        if (c == '\\' && peek(1) == '\'') {
            out += '\'';
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

// A value without quotes: up to a line break, ';', ',', a comment or an unbalanced '}' or ']'.
Ucl parser::parse_atom() {
    const std::size_t start = pos_;
    int braces = 0;
    int brackets = 0;
    while (!at_end()) {
        const char c = peek();
        if (ends_value(c) || c == '#' || (c == '/' && peek(1) == '*')) break;
        if ((c == '}' && braces == 0) || (c == ']' && brackets == 0)) break;
        if (c == '{') ++braces;
        if (c == '}') --braces;
        if (c == '[') ++brackets;
        if (c == ']') --brackets;
        ++pos_;
    }
    std::string_view raw = text_.substr(start, pos_ - start);
    while (!raw.empty() && is_space(raw.back()))
        raw.remove_suffix(1);
    return interpret_atom(raw, start);
}

// A word without quotes as a boolean, null, number (with its suffix) or else as a string.
Ucl parser::interpret_atom(std::string_view raw, std::size_t start) {
    if (auto flag = boolean_word(raw)) return Ucl::boolean(*flag);
    if (raw == "null") return Ucl::null();
    const number_part part = scan_number(raw);
    const suffix* unit = part.length ? find_suffix(raw.substr(part.length)) : nullptr;
    if (part.length == 0 || (part.length < raw.size() && unit == nullptr)) {
        return Ucl::string(expand_variables(raw));
    }
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
    if (unit == nullptr) return part.is_float ? Ucl::floating(real) : Ucl::integer(whole);
    if (unit->size_factor != 0 && !part.is_float) {
        std::int64_t product = 0;
        if (__builtin_mul_overflow(whole, unit->size_factor, &product))
            fail_at(start, out_of_range);
        return Ucl::integer(product);
    }
    const double scaled = (part.is_float ? real : static_cast<double>(whole)) * unit->factor;
    if (!std::isfinite(scaled)) fail_at(start, out_of_range);
    return unit->size_factor != 0 ? Ucl::floating(scaled) : Ucl::time(scaled);
}

// `.include "path"` or `.try_include "path"`: the file's members are read in place.
void parser::parse_macro(member_list& members) {
    const std::size_t start = pos_++;
    while (!at_end() && (is_key_start(peek()) || peek() == '-'))
        ++pos_;
    const std::string name(text_.substr(start, pos_ - start));
    if (name != ".include" && name != ".try_include") {
        fail_at(start, "unknown macro '" + name + "': expected .include or .try_include");
    }
    skip_inline();
    if (peek() == '(')
        fail_expected("the path after " + name + " (macro options are not supported)");
    skip_space();
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']' || c == '{' || c == '[' || c == '\'') {
        fail_expected("a path after " + name);
    }
    const Ucl path = c == '"' ? Ucl::string(parse_double_quoted(true)) : parse_atom();
    expect_value_end(path);
    include_file(path.string_value(), name == ".include", start, members);
}

// Reads the file at `path` into `members`; a missing file is ignored unless `must_exist`.
void parser::include_file(const std::string& path, bool must_exist, std::size_t start,
                          member_list& members) {
    if (include_depth_ >= max_include_depth) {
        fail_at(start, "includes nested more than " + std::to_string(max_include_depth) +
                           " deep: expected a file that does not include itself");
    }
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        if (!must_exist) return;
        fail_at(start, "cannot open included file '" + path + "': no such file");
    }
    std::string content;
    if (status.type() != std::filesystem::file_type::regular || !read_whole_file(path, content)) {
        fail_at(start,
                "cannot read included file '" + path + "': expected a readable regular file");
    }
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) real = std::filesystem::absolute(path, ec);
    parser included(content, real.string(), real.parent_path().string(), include_depth_ + 1,
                    depth_);
    included.parse_included(members);
}

// After a value: a separator, a line break, a closing brace or bracket, or the end of the text.
void parser::expect_value_end(const Ucl& value) {
    skip_inline();
    const char c = peek();
    if (at_end() || ends_value(c) || c == '}' || c == ']') return;
    if (value.type() == Type::object || value.type() == Type::array) return;
    fail_expected("',', ';' or a line break after the value");
}

// After the closing brace or bracket of the top level only separators may follow.
void parser::expect_text_end() {
    for (;;) {
        skip_space();
        if (peek() != ',' && peek() != ';') break;
        ++pos_;
    }
    if (!at_end()) fail_expected("the end of the text after the top-level value");
}

// Replaces the variable at the start of `rest` ($$, $NAME, ${NAME}); returns the bytes read.
std::size_t parser::expand_variable(std::string_view rest, std::string& out) const {
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
            return name.size() + 3;
        }
        if (after.starts_with(name)) {
            out += *value;
            return name.size() + 1;
        }
    }
    out += '$';
    return 1;
}

// A text without escapes with every file variable replaced.
std::string parser::expand_variables(std::string_view raw) const {
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] == '$') {
            i += expand_variable(raw.substr(i), out);
        } else {
            out += raw[i++];
        }
    }
    return out;
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
