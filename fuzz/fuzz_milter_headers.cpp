// Fuzz target for the scanner's header edits: a message and a milter block, both built from the
// input, go through apply_milter_headers, which must return or throw, never touch the body, and
// leave the message unchanged when it throws.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <utility>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fuzzer/FuzzedDataProvider.h>

#include "utils/mail_data.hpp"
#include "utils/milter_headers.hpp"

namespace {

using boost::property_tree::ptree;

// The header blocks before and after the edit, shown when an expectation fails.
const std::string* shown_before = nullptr;
const std::string* shown_after = nullptr;

// Prints `text` with control and non-ASCII bytes escaped.
void print_escaped(const char* label, const std::string& text) {
    std::fprintf(stderr, "%s: \"", label);
    for (const unsigned char c : text) {
        if (c == '\r')
            std::fprintf(stderr, "\\r");
        else if (c == '\n')
            std::fprintf(stderr, "\\n");
        else if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            std::fprintf(stderr, "\\x%02x", c);
        else
            std::fputc(c, stderr);
    }
    std::fprintf(stderr, "\"\n");
}

// Ends the run with a message, and the header blocks, when an expectation does not hold.
void expect(bool condition, const char* what) {
    if (condition) return;
    if (shown_before != nullptr) print_escaped("headers before", *shown_before);
    if (shown_after != nullptr) print_escaped("headers after ", *shown_after);
    std::fprintf(stderr, "milter_headers fuzz: %s\n", what);
    std::abort();
}

// `text` as a JSON string literal; control bytes are escaped, other bytes pass as they are.
std::string json_string(const std::string& text) {
    std::string literal = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            literal += '\\';
            literal += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            literal += escaped;
        } else {
            literal += c;
        }
    }
    return literal + "\"";
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
            json += (i ? "," : "") + json_string(input.ConsumeRandomLengthString(24)) + ":{";
            const bool has_value = input.ConsumeProbability<float>() < 0.9f;
            if (has_value) json += "\"value\":" + json_string(input.ConsumeRandomLengthString(200));
            if (input.ConsumeProbability<float>() < 0.9f) {
                json += (has_value ? "," : "") + std::string("\"order\":") + order_value(input);
            }
            json += "}";
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

} // namespace

// The input: one byte of flags (bit 0: the rest is raw JSON text), the message text up to the
// first NUL byte, then the JSON text or the bytes that the milter block is built from.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool raw_json = (data[0] & 1) != 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto end = rest.find('\0');
    MailData mail = MailData::from_raw(rest.substr(0, end));
    const std::string tail = end == std::string::npos ? std::string() : rest.substr(end + 1);
    FuzzedDataProvider builder(reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size());
    const std::string json = raw_json ? tail : milter_json(builder);
    ptree milter;
    try {
        std::istringstream stream(json);
        boost::property_tree::read_json(stream, milter);
    } catch (const boost::property_tree::json_parser_error&) {
        return 0;
    }

    const snapshot before = take(mail);
    shown_before = &before.headers;
    shown_after = &mail.headers;
    try {
        apply_milter_headers(mail, milter);
    } catch (const std::exception&) {
        const snapshot after = take(mail);
        expect(after.headers == before.headers, "a failed edit changed the header block");
        expect(after.raw == before.raw && after.body == before.body &&
                   after.body_data == before.body_data,
               "a failed edit changed the body");
        return 0;
    }
    const snapshot after = take(mail);
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
    return 0;
}
