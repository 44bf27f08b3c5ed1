// Fuzz target for the message record: splitting any text with MailData::from_raw and joining it
// back with MailData::to_string gives the text again, and copies and moves own their body.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "utils/mail_data.hpp"

namespace {

// Ends the run with a message when an expectation about the record does not hold.
void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "mail_data fuzz: %s\n", what);
    std::abort();
}

// Index just past the first blank line (CRLF form first, then LF form), or npos without one.
std::size_t expected_split(const std::string& text, int& kind) {
    kind = 1;
    if (const auto i = text.find("\r\n\r\n"); i != std::string::npos) return i + 4;
    if (const auto j = text.find("\n\n"); j != std::string::npos) {
        kind = 0;
        return j + 2;
    }
    const auto lf = text.find('\n');
    const auto crlf = text.find("\r\n");
    if (lf != std::string::npos && (crlf == std::string::npos || lf < crlf)) kind = 0;
    return std::string::npos;
}

// True when `body` lies inside `raw` and ends where `raw` ends.
bool body_is_suffix_of_raw(const MailData& mail) {
    if (mail.body.empty()) return true;
    const char* begin = mail.raw.data();
    const char* end = begin + mail.raw.size();
    return mail.body.data() >= begin && mail.body.data() + mail.body.size() == end;
}

// Checks the record built from `text` against the split rule and the round trip.
void check_record(const MailData& mail, const std::string& text) {
    int kind = 1;
    const auto split = expected_split(text, kind);
    expect(mail.to_string() == text, "to_string(from_raw(text)) differs from text");
    expect(mail.newline_type == kind, "newline_type differs from the first line break");
    expect(body_is_suffix_of_raw(mail), "body does not end inside raw");
    if (split == std::string::npos) {
        expect(mail.headers == text, "text without blank line is not all headers");
        expect(mail.raw.empty() && mail.body.empty(), "text without blank line has raw or body");
        return;
    }
    expect(mail.headers == text.substr(0, split), "header block is not the text to the blank line");
    expect(mail.raw == text, "raw is not the whole text");
    expect(mail.body == std::string_view(text).substr(split), "body is not the rest of the text");
}

} // namespace

// Splits the input, checks the record, then checks copies and moves after the source is gone.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string moved_in = text;
    const MailData mail = MailData::from_raw(std::move(moved_in));
    expect(moved_in.empty(), "from_raw left the caller's string non-empty");
    check_record(mail, text);

    MailData copy;
    {
        auto source = std::make_unique<MailData>(mail);
        copy = *source;
        source->headers.assign("X");
        source->raw.assign(source->raw.size(), '\0');
    }
    check_record(copy, text);

    MailData moved;
    {
        MailData source(copy);
        moved = std::move(source);
    }
    check_record(moved, text);

    MailData constructed(std::move(moved));
    check_record(constructed, text);
    return 0;
}
