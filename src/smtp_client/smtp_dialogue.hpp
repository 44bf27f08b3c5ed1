// The states of the SMTP re-injection dialogue and the pure functions it is built from: judging a
// reply line, building the XFORWARD, MAIL FROM and RCPT TO commands, and the EHLO name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

#include "utils/mail_data.hpp"

// Where the dialogue stands: what the client has just sent and so which reply it waits for.
enum smtp_state : std::int32_t {
    WaitingGreeting = 0,
    EhloSent = 1,
    XforwardSent = 2,
    MailFromSent = 3,
    RcptToSent = 4,
    DataSent = 5,
    MessageSent = 6,
    QuitSent = 7,
    Finished = 8,
};

// The reply a state waits for and the error logged when another one comes.
struct smtp_expectation {
    std::string_view code;    // the reply's last line must begin with this
    std::string_view failure; // logged at error level when it does not
};

// The expected reply code and the failure message of a waiting state (not `Finished`).
smtp_expectation expectation_of(smtp_state state);

// Whether `line` begins with the reply code `code`; what follows the code is not examined.
bool reply_begins_with(std::string_view line, std::string_view code);

// Whether `line` is a continuation line of a multi-line reply: a code followed by "-".
bool is_continuation_line(std::string_view line);

// Whether an EHLO reply line announces the XFORWARD extension (a case-sensitive search).
bool announces_xforward(std::string_view line);

// The XFORWARD command: ADDR, NAME, PORT, PROTO, HELO, IDENT, SOURCE, leaving out empty values.
std::string xforward_command(const XForwardData& xforward);

// An envelope address in exactly one pair of angle brackets; a text that begins with "<" (an
// address with any parameters after it) is kept as it is.
std::string bracket_address(const std::string& address);

// Source of the local host name, with the signature of the event-loop library's `host_name`.
using host_name_source = std::string (*)(boost::system::error_code&);

// The name for EHLO: the local host name, or "localhost" (with a warning) when it cannot be had.
std::string ehlo_host_name(host_name_source source);

// The name for EHLO, from the name that gethostname reports.
std::string ehlo_host_name();
