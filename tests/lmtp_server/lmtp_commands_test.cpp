// Command recognition, XFORWARD capture, DATA unstuffing and reply building, without sockets.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lmtp_server/lmtp_commands.hpp"

namespace {

// One command line and how it is recognised.
struct command_case {
    const char* name;
    const char* line;
    lmtp_command command;
    const char* argument;
};

// Names the case in test listings.
void PrintTo(const command_case& c, std::ostream* out) {
    *out << c.name;
}

const command_case command_cases[] = {
    {"LhloWithName", "LHLO mx.example.org", lmtp_command::lhlo, "mx.example.org"},
    {"LhloLowerCase", "lhlo mx", lmtp_command::lhlo, "mx"},
    {"BareLhlo", "LHLO", lmtp_command::lhlo, ""},
    {"LhloGluedToName", "LHLOmx", lmtp_command::lhlo, "mx"},
    {"Xforward", "XFORWARD NAME=a ADDR=b", lmtp_command::xforward, "NAME=a ADDR=b"},
    {"MailFromBrackets", "MAIL FROM:<a@example.org>", lmtp_command::mail_from, "<a@example.org>"},
    {"MailFromBlankAfterColon", "mail from: <a@example.org>", lmtp_command::mail_from,
     "<a@example.org>"},
    {"MailFromParameters", "MAIL FROM:<a@example.org> BODY=8BITMIME SMTPUTF8",
     lmtp_command::mail_from, "<a@example.org> BODY=8BITMIME SMTPUTF8"},
    {"NullSender", "MAIL FROM:<>", lmtp_command::mail_from, "<>"},
    {"MailFromWithoutColon", "MAIL FROM <a@example.org>", lmtp_command::unknown, ""},
    {"RcptTo", "Rcpt To:<b@example.org> NOTIFY=NEVER", lmtp_command::rcpt_to,
     "<b@example.org> NOTIFY=NEVER"},
    {"EmptyRecipient", "RCPT TO:", lmtp_command::rcpt_to, ""},
    {"Data", "DATA", lmtp_command::data, ""},
    {"DataGluedToLetters", "DATAX", lmtp_command::data, "X"},
    {"Rset", "rset", lmtp_command::rset, ""},
    {"Quit", "QUIT", lmtp_command::quit, ""},
    {"Ehlo", "EHLO mx", lmtp_command::unknown, ""},
    {"Helo", "HELO mx", lmtp_command::unknown, ""},
    {"Noop", "NOOP", lmtp_command::unknown, ""},
    {"Empty", "", lmtp_command::unknown, ""},
    {"TooShort", "LHL", lmtp_command::unknown, ""},
};

class ParseCommand : public testing::TestWithParam<command_case> {};

TEST_P(ParseCommand, RecognisesPrefixAndArgument) {
    const auto& c = GetParam();
    const command_line parsed = parse_command(c.line);
    EXPECT_EQ(parsed.command, c.command);
    EXPECT_EQ(parsed.argument, c.argument);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseCommand, testing::ValuesIn(command_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TrimText, RemovesTheSixAsciiWhitespaceBytesAtBothEnds) {
    EXPECT_EQ(trim_text(" \t\r\n\v\fa b\t \r\n"), "a b");
    EXPECT_EQ(trim_text(" \r\n "), "");
    EXPECT_EQ(trim_text(""), "");
    EXPECT_EQ(trim_text("\xa0x\xa0"), "\xa0x\xa0");
}

// One XFORWARD argument text applied to attributes holding "old" values.
struct xforward_case {
    const char* name;
    const char* arguments;
    XForwardData expected;
    std::vector<std::string> unknown;
};

// Names the case in test listings.
void PrintTo(const xforward_case& c, std::ostream* out) {
    *out << c.name;
}

// Attributes as an earlier XFORWARD of the transaction left them.
XForwardData earlier() {
    return {"old-name", "old-addr",  "old-port",   "old-proto",
            "old-helo", "old-ident", "old-source", true};
}

// `earlier` with some attributes replaced.
XForwardData changed(XForwardData data, const char* name, const char* addr, const char* helo) {
    if (name) data.name = name;
    if (addr) data.addr = addr;
    if (helo) data.helo = helo;
    return data;
}

const xforward_case xforward_cases[] = {
    {"ValuesStoredPlaceholderSkipped",
     "NAME=mx.example.org ADDR=192.0.2.10 HELO=[UNAVAILABLE]",
     changed(earlier(), "mx.example.org", "192.0.2.10", nullptr),
     {}},
    {"TempUnavailSkipped",
     "ADDR=[TEMPUNAVAIL] HELO=client",
     changed(earlier(), nullptr, nullptr, "client"),
     {}},
    {"AllSeven",
     "NAME=n ADDR=a PORT=25 PROTO=ESMTP HELO=h IDENT=Q1 SOURCE=REMOTE",
     {"n", "a", "25", "ESMTP", "h", "Q1", "REMOTE", true},
     {}},
    {"EmptyValueStored", "ADDR=", changed(earlier(), nullptr, "", nullptr), {}},
    {"ValueKeepsLaterEquals", "HELO=a=b", changed(earlier(), nullptr, nullptr, "a=b"), {}},
    {"DoubleBlankSeparates", "NAME=n  ADDR=a", changed(earlier(), "n", "a", nullptr), {}},
    {"TabDoesNotSeparate", "NAME=n\tADDR=a", changed(earlier(), "n\tADDR=a", nullptr, nullptr), {}},
    {"LowerCaseNameUnknown", "name=x ADDR=a", changed(earlier(), nullptr, "a", nullptr), {"name"}},
    {"PlaceholderOfUnknownNameSilent", "FOO=[UNAVAILABLE]", earlier(), {}},
    {"TokenWithoutEqualsIgnored", "JUNK ADDR=a", changed(earlier(), nullptr, "a", nullptr), {}},
    {"EmptyNameUnknown", "=value", earlier(), {""}},
    {"NothingTaken", "", earlier(), {}},
    {"PlaceholderIsExact",
     "HELO=[unavailable]",
     changed(earlier(), nullptr, nullptr, "[unavailable]"),
     {}},
};

class ApplyXforward : public testing::TestWithParam<xforward_case> {};

TEST_P(ApplyXforward, StoresKnownAttributesAndReportsUnknownNames) {
    const auto& c = GetParam();
    XForwardData data = earlier();
    data.has_data = false;
    const auto unknown = apply_xforward(c.arguments, data);
    EXPECT_EQ(unknown, c.unknown);
    EXPECT_TRUE(data.has_data);
    EXPECT_EQ(data.name, c.expected.name);
    EXPECT_EQ(data.addr, c.expected.addr);
    EXPECT_EQ(data.port, c.expected.port);
    EXPECT_EQ(data.proto, c.expected.proto);
    EXPECT_EQ(data.helo, c.expected.helo);
    EXPECT_EQ(data.ident, c.expected.ident);
    EXPECT_EQ(data.source, c.expected.source);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ApplyXforward, testing::ValuesIn(xforward_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// One DATA line and what it adds to the collected message.
struct data_case {
    const char* name;
    std::string line;
    bool stored;
    std::string appended;
};

// Names the case in test listings.
void PrintTo(const data_case& c, std::ostream* out) {
    *out << c.name;
}

const data_case data_cases[] = {
    {"PlainLineGetsLineFeed", "Subject: x\r", true, "Subject: x\r\n"},
    {"TwoDotsBecomeOne", "..", true, ".\n"},
    {"DotBeforeTextRemoved", ".text\r", true, "text\r\n"},
    {"DotBeforeBlankRemoved", ". ", true, " \n"},
    {"LoneCarriageReturn", "\r", true, "\r\n"},
    {"EmptyLine", "", true, "\n"},
    {"InnerDotKept", "a.b", true, "a.b\n"},
    {"NulBytesKept", std::string("a\0b", 3), true, std::string("a\0b\n", 4)},
    {"DotEndsData", ".", false, ""},
    {"DotCrEndsData", ".\r", false, ""},
    {"DotCrCrDoesNotEnd", ".\r\r", true, "\r\r\n"},
};

class AppendDataLine : public testing::TestWithParam<data_case> {};

TEST_P(AppendDataLine, UnstuffsOneDotAndEndsAtTheLoneDot) {
    const auto& c = GetParam();
    std::string buffer = "before\n";
    EXPECT_EQ(append_data_line(c.line, buffer), c.stored);
    EXPECT_EQ(buffer, "before\n" + c.appended);
}

INSTANTIATE_TEST_SUITE_P(Lines, AppendDataLine, testing::ValuesIn(data_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TransactionReply, OneLinePerRecipientJoinedByCrlf) {
    EXPECT_EQ(transaction_reply("250 OK", 0), "250 OK");
    EXPECT_EQ(transaction_reply("250 OK", 1), "250 OK");
    EXPECT_EQ(transaction_reply("451 x", 3), "451 x\r\n451 x\r\n451 x");
}

TEST(ClosingReply, OnlyCodes221And421CloseTheConnection) {
    EXPECT_TRUE(is_closing_reply("221 Bye"));
    EXPECT_TRUE(is_closing_reply("421 4.4.2 Connection timeout"));
    EXPECT_FALSE(is_closing_reply("250 OK"));
    EXPECT_FALSE(is_closing_reply("22"));
    EXPECT_FALSE(is_closing_reply(""));
}

TEST(LhloReply, AnnouncesEightBitAndUtf8InSixLines) {
    EXPECT_STREQ(lhlo_reply, "250-localhost\r\n250-PIPELINING\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                             "250-XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE\r\n250 OK");
}

} // namespace
