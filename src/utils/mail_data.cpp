// The message record's copy and move rules, its split of a received text and its reassembly.
#include "utils/mail_data.hpp"

#include <utility>

namespace {

// Offset of `body` inside `raw`, or the length of `raw` when the body is empty.
std::size_t body_offset(const std::string& raw, std::string_view body) {
    if (body.empty()) return raw.size();
    return static_cast<std::size_t>(body.data() - raw.data());
}

// A view of `raw` from `offset` to its end; empty when `offset` is at or past the end.
std::string_view body_view(const std::string& raw, std::size_t offset) {
    if (offset >= raw.size()) return {};
    return std::string_view(raw).substr(offset);
}

// Line-ending kind of a text without a blank line: 0 when its first "\n" is not preceded by "\r".
int kind_from_first_break(const std::string& text) {
    const auto lf = text.find('\n');
    if (lf == std::string::npos) return 1;
    const auto crlf = text.find("\r\n");
    return (crlf == std::string::npos || lf < crlf) ? 0 : 1;
}

} // namespace

MailData::MailData(const MailData& other)
    : headers(other.headers), raw(other.raw),
      body(body_view(raw, body_offset(other.raw, other.body))), newline_type(other.newline_type) {}

MailData::MailData(MailData&& other) noexcept
    : headers(std::move(other.headers)), newline_type(other.newline_type) {
    const auto offset = body_offset(other.raw, other.body);
    raw = std::move(other.raw);
    body = body_view(raw, offset);
    other.body = {};
}

MailData& MailData::operator=(const MailData& other) {
    if (this == &other) return *this;
    const auto offset = body_offset(other.raw, other.body);
    headers = other.headers;
    raw = other.raw;
    body = body_view(raw, offset);
    newline_type = other.newline_type;
    return *this;
}

MailData& MailData::operator=(MailData&& other) noexcept {
    if (this == &other) return *this;
    const auto offset = body_offset(other.raw, other.body);
    headers = std::move(other.headers);
    raw = std::move(other.raw);
    body = body_view(raw, offset);
    newline_type = other.newline_type;
    other.body = {};
    return *this;
}

MailData MailData::from_raw(std::string&& text) {
    MailData mail;
    std::size_t end = std::string::npos; // index just past the blank line
    if (const auto i = text.find("\r\n\r\n"); i != std::string::npos) {
        end = i + 4;
    } else if (const auto j = text.find("\n\n"); j != std::string::npos) {
        end = j + 2;
        mail.newline_type = 0;
    }
    if (end == std::string::npos) {
        mail.newline_type = kind_from_first_break(text);
        mail.headers = std::move(text);
        text.clear();
        return mail;
    }
    mail.headers.assign(text, 0, end);
    mail.raw = std::move(text);
    text.clear();
    mail.body = body_view(mail.raw, end);
    return mail;
}

std::string MailData::to_string() const {
    std::string text;
    text.reserve(headers.size() + body.size());
    text.append(headers);
    text.append(body);
    return text;
}
