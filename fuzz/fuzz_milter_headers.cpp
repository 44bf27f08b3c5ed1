// Fuzz target for the scanner's header edits: a message and a milter block, both built from the
// input, go through apply_milter_headers, which must return or throw, never touch the body,
// leave the message unchanged when it throws, and give the header block the edit rules give;
// then, for some inputs, a new subject goes through replace_subject with the same checks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_text.hpp"
#include "utils/header_fold.hpp"
#include "utils/mail_data.hpp"
#include "utils/milter_headers.hpp"

namespace {

using boost::property_tree::ptree;

// The header blocks before and after the edit, shown when an expectation fails.
const std::string* shown_before = nullptr;
const std::string* shown_after = nullptr;
const std::string* shown_expected = nullptr;

// Ends the run with a message, and the header blocks, when an expectation does not hold.
void expect(bool condition, const char* what) {
    if (condition) return;
    if (shown_before != nullptr) print_escaped("headers before", *shown_before);
    if (shown_after != nullptr) print_escaped("headers after ", *shown_after);
    if (shown_expected != nullptr) print_escaped("headers wanted", *shown_expected);
    std::fprintf(stderr, "milter_headers fuzz: %s\n", what);
    std::abort();
}

// A JSON value for an entry's `order`: mostly integers, sometimes the forms that must fail.
std::string order_value(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return std::to_string(input.ConsumeIntegralInRange(-3, 12));
    case 1:
        return std::to_string(input.ConsumeIntegral<std::int64_t>());
    case 2:
        return json_string(" " + std::to_string(input.ConsumeIntegralInRange(-2, 8)) + " ");
    case 3:
        return "1.5";
    case 4:
        return input.ConsumeBool() ? "true" : "null";
    case 5:
        return json_string(input.ConsumeRandomLengthString(12));
    case 6:
        return "{}";
    default:
        return std::to_string(input.ConsumeIntegralInRange(0, 3));
    }
}

// An add_headers object entry as JSON text, its keys sometimes missing.
std::string entry_object(FuzzedDataProvider& input) {
    std::string json = "{";
    const bool has_value = input.ConsumeProbability<float>() < 0.9f;
    if (has_value) json += "\"value\":" + json_string(input.ConsumeRandomLengthString(200));
    if (input.ConsumeProbability<float>() < 0.9f) {
        json += (has_value ? "," : "") + std::string("\"order\":") + order_value(input);
    }
    return json + "}";
}

// A milter block as JSON text: remove_headers names and add_headers entries from the input,
// each key sometimes missing or of another JSON type.
std::string milter_json(FuzzedDataProvider& input) {
    std::string json = "{";
    const char* separator = "";
    if (input.ConsumeBool()) {
        json += "\"remove_headers\":{";
        const int count = input.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < count; ++i) {
            json += (i ? "," : "") + json_string(input.ConsumeRandomLengthString(24)) + ":" +
                    std::to_string(i);
        }
        json += "}";
        separator = ",";
    }
    if (input.ConsumeBool()) {
        json += separator;
        json += "\"add_headers\":{";
        const int count = input.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < count; ++i) {
            json += (i ? "," : "") + json_string(input.ConsumeRandomLengthString(24)) + ":";
            switch (input.ConsumeIntegralInRange(0, 5)) {
            case 0:
                json += json_string(input.ConsumeRandomLengthString(200));
                break;
            case 1: {
                json += "[";
                const int elements = input.ConsumeIntegralInRange(0, 3);
                for (int e = 0; e < elements; ++e)
                    json += (e ? "," : "") + entry_object(input);
                json += "]";
                break;
            }
            default:
                json += entry_object(input);
                break;
            }
        }
        json += "}";
    }
    return json + "}";
}

// The record as a comparable value: every member, the body by its bytes.
struct snapshot {
    std::string headers;
    std::string raw;
    std::string body;
    const char* body_data;
    int newline_type;
};

// Takes a snapshot of `mail`.
snapshot take(const MailData& mail) {
    return {mail.headers, mail.raw, std::string(mail.body), mail.body.data(), mail.newline_type};
}

// The number of empty lines ("" or a lone "\r") in the header block, the text after its last
// line feed not counted: the blank line that ends it, and any that the received text held.
std::size_t blank_lines(const std::string& headers) {
    std::size_t count = 0;
    std::size_t start = 0;
    for (auto end = headers.find('\n'); end != std::string::npos;
         start = end + 1, end = headers.find('\n', start)) {
        const auto length = end - start;
        if (length == 0 || (length == 1 && headers[start] == '\r')) ++count;
    }
    return count;
}

// Whether `c` is one of the six ASCII whitespace bytes.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether the line opens a header field: non-empty, with a colon, not starting with whitespace.
bool opens_header(const std::string& line) {
    return !line.empty() && line.find(':') != std::string::npos && !is_space(line[0]);
}

// Whether the line continues the field above it: non-empty, not the CRLF blank line "\r", and
// starting with whitespace.
bool continues_field(const std::string& line) {
    return !line.empty() && line != "\r" && is_space(line[0]);
}

// Whether two names are equal, ASCII letters compared without case.
bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Whether the daemon refuses to add a header of this name (it would not be a field name).
bool refused_name(const std::string& name) {
    if (name.empty()) return true;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 33 || byte > 126 || c == ':') return true;
    }
    return false;
}

// Whether a folded value holds a line break that is not a fold (not followed by a blank).
bool breaks_block(const std::string& folded) {
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if (folded[i] != '\r' && folded[i] != '\n') continue;
        if (folded[i] == '\r' && i + 1 < folded.size() && folded[i + 1] == '\n') continue;
        if (i + 1 < folded.size() && (folded[i + 1] == ' ' || folded[i + 1] == '\t')) continue;
        return true;
    }
    return false;
}

// `value` folded for the header `name`, or nothing when the result would break the block.
std::optional<std::string> folded_value(const std::string& name, const std::string& value,
                                        bool crlf) {
    GString* folded_text = rspamd_header_value_fold(
        name.data(), name.size(), value.data(), value.size(), 75,
        crlf ? RSPAMD_TASK_NEWLINES_CRLF : RSPAMD_TASK_NEWLINES_LF, nullptr);
    const std::string folded(folded_text->str, folded_text->len);
    g_string_free(folded_text, TRUE);
    if (breaks_block(folded)) return std::nullopt;
    return folded;
}

// The lines of a header block, split at every line feed.
std::vector<std::string> split_lines(const std::string& headers) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = headers.find('\n');; end = headers.find('\n', start)) {
        lines.push_back(headers.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

// The lines joined with line feeds.
std::string join_lines(const std::vector<std::string>& lines) {
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i)
        joined += (i ? "\n" : "") + lines[i];
    return joined;
}

// The header block with the new subject: the first Subject header and its continuation lines
// replaced in place, the others dropped, the new one on top when there was none; nothing when
// the folded subject would break the block.
std::optional<std::string> reference_subject(const MailData& mail, const std::string& subject) {
    const bool crlf = mail.newline_type == 1;
    const auto folded = folded_value("Subject", subject, crlf);
    if (!folded) return std::nullopt;
    const std::string line = "Subject: " + *folded + (crlf ? "\r" : "");
    const auto lines = split_lines(mail.headers);
    std::vector<std::string> kept;
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size();) {
        if (!opens_header(lines[i]) ||
            !same_name(lines[i].substr(0, lines[i].find(':')), "Subject")) {
            kept.push_back(lines[i++]);
            continue;
        }
        if (!replaced) kept.push_back(line);
        replaced = true;
        for (++i; i < lines.size() && continues_field(lines[i]);)
            ++i;
    }
    if (!replaced) kept.insert(kept.begin(), line);
    return join_lines(kept);
}

// The header block that the edit rules give for a block that ends with its blank line, or
// nothing when the edit must fail.
std::optional<std::string> reference_edit(const MailData& mail, const ptree& milter) {
    std::vector<std::string> lines = split_lines(mail.headers);
    if (const auto remove = milter.get_child_optional("remove_headers")) {
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < lines.size();) {
            bool removed = false;
            if (opens_header(lines[i])) {
                const std::string name = lines[i].substr(0, lines[i].find(':'));
                for (const auto& key : *remove)
                    removed = removed || same_name(name, key.first);
            }
            if (!removed) {
                kept.push_back(lines[i++]);
                continue;
            }
            for (++i; i < lines.size() && continues_field(lines[i]);)
                ++i;
        }
        lines = std::move(kept);
    }
    const auto add = milter.get_child_optional("add_headers");
    if (add && !add->empty()) {
        const bool crlf = mail.newline_type == 1;
        std::vector<std::pair<int, std::string>> added;
        for (const auto& [name, entry] : *add) {
            if (refused_name(name)) return std::nullopt;
            // A plain string is added at order -1; an array's elements, all without names, are
            // entries of this name one by one; anything else is one object entry.
            if (entry.empty() && !entry.data().empty()) {
                const auto folded = folded_value(name, entry.data(), crlf);
                if (!folded) return std::nullopt;
                added.emplace_back(-1, name + ": " + *folded + (crlf ? "\r" : ""));
                continue;
            }
            std::vector<const ptree*> objects;
            bool array = !entry.empty();
            for (const auto& member : entry)
                array = array && member.first.empty();
            if (array) {
                for (const auto& member : entry)
                    objects.push_back(&member.second);
            } else {
                objects.push_back(&entry);
            }
            for (const ptree* object : objects) {
                const auto value = object->get_optional<std::string>("value");
                const auto order_node = object->get_child_optional("order");
                if (!value || !order_node) return std::nullopt;
                const auto order = order_node->get_value_optional<int>();
                if (!order) return std::nullopt;
                const auto folded = folded_value(name, *value, crlf);
                if (!folded) return std::nullopt;
                added.emplace_back(*order, name + ": " + *folded + (crlf ? "\r" : ""));
            }
        }
        std::stable_sort(added.begin(), added.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [order, line] : added) {
            const std::size_t blank = lines.size() - 2;
            std::size_t index = order < 0 ? 0 : std::min(static_cast<std::size_t>(order), blank);
            // An index on a continuation line moves down to the next line that is not one.
            while (continues_field(lines[index]))
                ++index;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
        }
    }
    return join_lines(lines);
}

// Replaces the subject of `mail` and checks the result against the reference.
void check_subject(MailData& mail, const std::string& subject) {
    const snapshot before = take(mail);
    const auto expected = reference_subject(mail, subject);
    const std::string expected_text = expected.value_or("");
    shown_before = &before.headers;
    shown_after = &mail.headers;
    shown_expected = &expected_text;
    try {
        replace_subject(mail, subject);
    } catch (const std::exception&) {
        expect(!expected, "the subject was refused where the rules give a header block");
        expect(mail.headers == before.headers, "a refused subject changed the header block");
        return;
    }
    expect(expected.has_value(), "the subject was taken where the rules refuse it");
    expect(mail.headers == *expected, "the block with the subject is not what the rules give");
    expect(mail.raw == before.raw && mail.body == before.body &&
               mail.body.data() == before.body_data,
           "the subject changed the body");
}

} // namespace

// The input: one byte of flags (bit 0: the rest is raw JSON text; bit 1, for a built block: a
// new subject is taken first and replaced after the edit), the message text up to the first NUL
// byte, then the JSON text or the bytes that the subject and the milter block are built from.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool raw_json = (data[0] & 1) != 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto end = rest.find('\0');
    MailData mail = MailData::from_raw(rest.substr(0, end));
    const std::string tail = end == std::string::npos ? std::string() : rest.substr(end + 1);
    FuzzedDataProvider builder(reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size());
    const bool new_subject = !raw_json && (data[0] & 2) != 0;
    const std::string subject = new_subject ? builder.ConsumeRandomLengthString(120) : "";
    const std::string json = raw_json ? tail : milter_json(builder);
    ptree milter;
    try {
        std::istringstream stream(json);
        boost::property_tree::read_json(stream, milter);
    } catch (const boost::property_tree::json_parser_error&) {
        return 0;
    }

    const snapshot before = take(mail);
    const bool has_blank_line =
        mail.headers.ends_with("\r\n\r\n") || mail.headers.ends_with("\n\n");
    const std::optional<std::string> expected =
        has_blank_line ? reference_edit(mail, milter) : std::nullopt;
    const std::string expected_text = expected.value_or("");
    shown_before = &before.headers;
    shown_after = &mail.headers;
    try {
        apply_milter_headers(mail, milter);
    } catch (const std::exception&) {
        expect(!expected, "the edit failed where the edit rules give a header block");
        const snapshot after = take(mail);
        expect(after.headers == before.headers, "a failed edit changed the header block");
        expect(after.raw == before.raw && after.body == before.body &&
                   after.body_data == before.body_data,
               "a failed edit changed the body");
        return 0;
    }
    const snapshot after = take(mail);
    if (has_blank_line) {
        shown_expected = &expected_text;
        expect(expected.has_value(), "the edit succeeded where the edit rules make it fail");
        expect(after.headers == *expected, "the edited block is not what the edit rules give");
    }
    expect(after.raw == before.raw, "the edit changed the received text");
    expect(after.body == before.body && after.body_data == before.body_data,
           "the edit changed the body");
    expect(after.newline_type == before.newline_type, "the edit changed the newline kind");
    const auto add = milter.get_child_optional("add_headers");
    if (!milter.get_child_optional("remove_headers") && (!add || add->empty())) {
        expect(after.headers == before.headers, "a block without edits changed the headers");
    }
    if (before.headers.ends_with("\n")) { // else the last line may go, taking a line feed along
        expect(blank_lines(after.headers) == blank_lines(before.headers),
               "the edit added or dropped a blank line");
    }
    if (before.headers.ends_with("\r\n\r\n")) {
        expect(after.headers.ends_with("\n\r\n") || after.headers == "\r\n",
               "the edited block lost its CRLF blank line");
    } else if (before.headers.ends_with("\n\n")) {
        expect(after.headers.ends_with("\n\n") || after.headers == "\n",
               "the edited block lost its LF blank line");
    }
    if (new_subject) check_subject(mail, subject);
    return 0;
}
