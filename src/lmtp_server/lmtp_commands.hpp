// The socket-free steps of the LMTP dialogue: command recognition, XFORWARD attributes, DATA lines
// and the reply texts, kept apart from the session so that they are tested without sockets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "utils/mail_data.hpp"

// The commands the session knows; everything else is `unknown`.
enum class lmtp_command { lhlo, xforward, mail_from, rcpt_to, data, rset, quit, unknown };

// One recognised command line.
struct command_line {
    lmtp_command command = lmtp_command::unknown;
    std::string argument; // the text after the command word, trimmed
};

// Reply texts, without the final CRLF that the session adds.
inline constexpr const char* greeting_reply = "220 localhost LMTP server ready";
inline constexpr const char* lhlo_reply = "250-localhost\r\n"
                                          "250-PIPELINING\r\n"
                                          "250-8BITMIME\r\n"
                                          "250-SMTPUTF8\r\n"
                                          "250-XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE\r\n"
                                          "250 OK";
inline constexpr const char* ok_reply = "250 OK";
inline constexpr const char* data_reply = "354 End data with <CR><LF>.<CR><LF>";
inline constexpr const char* bye_reply = "221 Bye";
inline constexpr const char* not_implemented_reply = "502 Command not implemented";
inline constexpr const char* timeout_reply = "421 4.4.2 Connection timeout";

// Removes leading and trailing ASCII whitespace (blank, tab, CR, LF, VT, FF).
std::string trim_text(std::string_view text);

// Recognises a trimmed command line by its case-insensitive prefix; the first match wins.
command_line parse_command(std::string_view line);

// Stores the attributes of an XFORWARD argument text in `xforward` and sets its `has_data`;
// returns the attribute names it did not know, in order.
std::vector<std::string> apply_xforward(std::string_view arguments, XForwardData& xforward);

// Appends one DATA line, without one leading dot, and a line feed to `buffer`; returns false
// instead when the line ends the data.
bool append_data_line(std::string_view line, std::string& buffer);

// The reply to the end of the data: `line` once per recipient, once when there is none,
// the copies separated by CRLF.
std::string transaction_reply(std::string_view line, std::size_t recipients);

// True when the reply closes the connection once written ("221" or "421").
bool is_closing_reply(std::string_view reply);
