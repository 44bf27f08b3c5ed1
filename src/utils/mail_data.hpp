// The records that carry one message and its XFORWARD attributes through the daemon.
#pragma once

#include <string>
#include <string_view>

// One received message split into its header block and its body.
struct MailData {
    std::string headers;   // header block, blank line included; the whole text if it has none
    std::string raw;       // the whole received text, owner of the body's bytes
    std::string_view body; // the bytes of `raw` after the blank line
    int newline_type = 1;  // 1 for CRLF mail, 0 for LF-only mail

    MailData() = default;
    MailData(const MailData& other);
    MailData(MailData&& other) noexcept;
    MailData& operator=(const MailData& other);
    MailData& operator=(MailData&& other) noexcept;
    ~MailData() = default;

    // Splits a received text at its first blank line; the text is moved in.
    static MailData from_raw(std::string&& text);

    // The message as one text: the header block followed by the body.
    std::string to_string() const;
};

// The XFORWARD attributes of one LMTP transaction, stored as received.
struct XForwardData {
    std::string name;
    std::string addr;
    std::string port;
    std::string proto;
    std::string helo;
    std::string ident;
    std::string source;
    bool has_data = false; // an XFORWARD command was received
};
