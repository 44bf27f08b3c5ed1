// Header edits from the scanner's reply: the milter block's removals with their continuation
// lines and additions at line indexes, and the new Subject of "rewrite subject", worked out on a
// list of lines and stored only when all succeeded.
#include "utils/milter_headers.hpp"

#include "utils/ascii_text.hpp"
#include "utils/header_fold.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/property_tree/exceptions.hpp>

#include <algorithm>
#include <cstdio>
#include <locale>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using boost::property_tree::ptree;
using boost::property_tree::ptree_bad_data;
using line_list = std::vector<std::string>;

constexpr guint fold_limit = 75;

// The line-ending choices of one message.
struct newline_style {
    rspamd_newlines_type fold_kind; // chooses the fold sequence
    const char* line_end;           // appended to an added header line before the joining "\n"
};

// The style of CRLF mail (kind 1) or of LF mail (any other kind).
newline_style style_of(int newline_type) {
    if (newline_type == 1) return {RSPAMD_TASK_NEWLINES_CRLF, "\r"};
    return {RSPAMD_TASK_NEWLINES_LF, ""};
}

// A line that opens a header field: non-empty, with a colon, not starting with whitespace.
bool starts_header(const std::string& line) {
    return !line.empty() && line.find(':') != std::string::npos && !is_ascii_space(line.front());
}

// A line that continues the field above it; the blank line of CRLF mail ("\r") is none.
bool continues_header(const std::string& line) {
    return !line.empty() && line != "\r" && is_ascii_space(line.front());
}

// The header opened by `line` is named `name`, ignoring ASCII case.
bool has_name(const std::string& line, const std::string& name) {
    return boost::algorithm::iequals(line.substr(0, line.find(':')), name, std::locale::classic());
}

// The name of the header opened by `line` equals a key of `remove`, ignoring ASCII case.
bool is_removed(const std::string& line, const ptree& remove) {
    for (const auto& key : remove) {
        if (has_name(line, key.first)) return true;
    }
    return false;
}

// The index of the first line after the header that opens at `i`: past its continuation lines.
std::size_t end_of_header(const line_list& lines, std::size_t i) {
    for (++i; i < lines.size() && continues_header(lines[i]);)
        ++i;
    return i;
}

// The lines of `lines` without the removed headers and their continuation lines.
line_list remove_headers(const line_list& lines, const ptree& remove) {
    line_list kept;
    kept.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size();) {
        if (!starts_header(lines[i]) || !is_removed(lines[i], remove)) {
            kept.push_back(lines[i++]);
            continue;
        }
        i = end_of_header(lines, i);
    }
    if (kept.empty()) kept.emplace_back();
    return kept;
}

// `text` with every byte outside printable ASCII written as \xHH, safe for a log line.
std::string printable(const std::string& text) {
    std::string shown;
    for (const char byte : text) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 32 && value <= 126) {
            shown.push_back(byte);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", value);
        shown += escaped;
    }
    return shown;
}

// Throws unless `name` is a header field name: printable ASCII other than the colon, not empty.
void check_field_name(const std::string& name) {
    const bool valid = !name.empty() && std::all_of(name.begin(), name.end(), [](char byte) {
        const auto value = static_cast<unsigned char>(byte);
        return value >= 33 && value <= 126 && byte != ':';
    });
    if (!valid)
        throw std::runtime_error("Invalid header name in add_headers: \"" + printable(name) + "\"");
}

// Throws unless every line break in the folded value is a fold: followed by a space or a tab.
// `source` names the member of the reply that the value came from.
void check_folded_value(const std::string& name, const std::string& folded, const char* source) {
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if (folded[i] != '\r' && folded[i] != '\n') continue;
        if (folded[i] == '\r' && i + 1 < folded.size() && folded[i + 1] == '\n') continue;
        if (i + 1 < folded.size() && (folded[i + 1] == ' ' || folded[i + 1] == '\t')) continue;
        throw std::runtime_error(std::string("Header value in ") + source +
                                 " breaks the header block: \"" + printable(name) + "\"");
    }
}

// Frees a folding result with its character data.
struct gstring_free {
    void operator()(GString* text) const { g_string_free(text, TRUE); }
};

// `value` folded for the header `name`.
std::string fold_value(const std::string& name, const std::string& value,
                       rspamd_newlines_type kind) {
    const std::unique_ptr<GString, gstring_free> folded(rspamd_header_value_fold(
        name.data(), name.size(), value.data(), value.size(), fold_limit, kind, nullptr));
    return std::string(folded->str, folded->len);
}

// The entry's order: a 32-bit decimal integer, blanks around it allowed.
int read_order(const ptree& node) {
    const auto order = node.get_value_optional<int>();
    if (!order) throw ptree_bad_data("conversion of data to type \"int\" failed", node.data());
    return *order;
}

// The header line for `name` (already checked) and `value`, paired with its order.
std::pair<int, std::string> header_line(const std::string& name, const std::string& value,
                                        int order, const newline_style& style) {
    const auto folded = fold_value(name, value, style.fold_kind);
    check_folded_value(name, folded, "add_headers");
    return {order, name + ": " + folded + style.line_end};
}

// The header line of an object entry: its "value", then its "order".
std::pair<int, std::string> object_header_line(const std::string& name, const ptree& entry,
                                               const newline_style& style) {
    check_field_name(name);
    const auto value = entry.get<std::string>("value");
    return header_line(name, value, read_order(entry.get_child("order")), style);
}

// An array entry: members, all without a name, that are the array's elements.
bool is_array(const ptree& entry) {
    return !entry.empty() &&
           std::all_of(entry.begin(), entry.end(), [](const auto& m) { return m.first.empty(); });
}

// Appends the header lines of one add_headers entry in document order. An object gives one; an
// array (a name added more than once, as for two DKIM signatures) one per element, each read as
// an object; a plain string one at order -1, the place Rspamd leaves to the filter. An entry
// with neither members nor text ({}, [] and "" alike in the tree) is an object without "value".
void collect_header_lines(std::vector<std::pair<int, std::string>>& lines, const std::string& name,
                          const ptree& entry, const newline_style& style) {
    if (entry.empty() && !entry.data().empty()) {
        check_field_name(name);
        lines.push_back(header_line(name, entry.data(), -1, style));
    } else if (is_array(entry)) {
        for (const auto& element : entry)
            lines.push_back(object_header_line(name, element.second, style));
    } else {
        lines.push_back(object_header_line(name, entry, style));
    }
}

// Inserts `line` at the index of `order`, at most in front of the blank line that ends the
// block; a block without one takes the line behind its last line, on a line of its own. An index
// on a continuation line moves down past it and the ones after it, so that the added header
// never lands inside a folded one and takes over its continuation lines.
void insert_header(line_list& lines, int order, std::string line, bool has_blank_line,
                   const newline_style& style) {
    std::size_t limit = lines.size() - 2;
    if (!has_blank_line) limit = lines.back().empty() ? lines.size() - 1 : lines.size();
    auto index = order < 0 ? 0 : std::min(static_cast<std::size_t>(order), limit);
    while (index < lines.size() && continues_header(lines[index]))
        ++index;
    if (index == lines.size()) {
        lines.back() += style.line_end;
        lines.emplace_back();
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
}

// Builds the added header lines and inserts them by ascending order, equal orders stable.
void add_headers(line_list& lines, const ptree& add, bool has_blank_line,
                 const newline_style& style) {
    std::vector<std::pair<int, std::string>> headers;
    for (const auto& [name, entry] : add)
        collect_header_lines(headers, name, entry, style);
    std::stable_sort(headers.begin(), headers.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [order, line] : headers) {
        insert_header(lines, order, std::move(line), has_blank_line, style);
    }
}

// The header block of `mail` split at every line feed, the carriage returns kept.
line_list split_lines(const MailData& mail) {
    line_list lines;
    boost::algorithm::split(lines, mail.headers, boost::algorithm::is_any_of("\n"));
    return lines;
}

// The lines with the first Subject header (and its continuation lines) replaced by `line` in its
// place and every other Subject header dropped; `line` on top when there is none.
line_list with_subject_line(const line_list& lines, std::string line) {
    line_list kept;
    kept.reserve(lines.size() + 1);
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size();) {
        const bool subject = starts_header(lines[i]) && has_name(lines[i], "Subject");
        if (!subject) {
            kept.push_back(lines[i++]);
            continue;
        }
        if (!replaced) kept.push_back(std::move(line));
        replaced = true;
        i = end_of_header(lines, i);
    }
    if (!replaced) kept.insert(kept.begin(), std::move(line));
    return kept;
}

} // namespace

void replace_subject(MailData& mail, const std::string& subject) {
    const auto style = style_of(mail.newline_type);
    const std::string name = "Subject";
    const auto folded = fold_value(name, subject, style.fold_kind);
    check_folded_value(name, folded, "subject");
    const auto lines = with_subject_line(split_lines(mail), name + ": " + folded + style.line_end);
    mail.headers = boost::algorithm::join(lines, "\n");
}

void apply_milter_headers(MailData& mail, const ptree& milter) {
    const auto style = style_of(mail.newline_type);
    const bool has_blank_line =
        mail.headers.ends_with("\r\n\r\n") || mail.headers.ends_with("\n\n");
    line_list lines = split_lines(mail);
    if (const auto remove = milter.get_child_optional("remove_headers")) {
        lines = remove_headers(lines, *remove);
    }
    if (const auto add = milter.get_child_optional("add_headers"); add && !add->empty()) {
        add_headers(lines, *add, has_blank_line, style);
    }
    mail.headers = boost::algorithm::join(lines, "\n");
}
