// The pure parts of the SMTP dialogue: judging reply lines, the XFORWARD command, bracketing of
// envelope addresses and the EHLO name.
#include <memory>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "smtp_client/smtp_dialogue.hpp"
#include "support/log_capture.hpp"

namespace {

TEST(reply_line, BeginsWithItsCode) {
    struct code_case {
        const char* line;
        const char* code;
        bool expected;
    } cases[] = {
        {"250 2.1.0 Ok", "250", true},
        {"250-PIPELINING", "250", true},
        {"2501 odd", "250", true},
        {"25", "250", false},
        {"", "250", false},
        {" 250 Ok", "250", false},
        {"550 5.1.1 no", "250", false},
        {"221 Bye", "221", true},
        {"354 go ahead", "354", true},
        {"220-multi", "220", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reply_begins_with(c.line, c.code), c.expected) << '"' << c.line << '"';
    }
}

TEST(reply_line, ContinuationOnlyWhenTheCodeIsFollowedByAHyphen) {
    struct continuation_case {
        const char* line;
        bool expected;
    } cases[] = {
        {"250-fake.test", true}, {"220-", true},     {"250 Ok", false},
        {"250", false},          {"250Ok", false},   {"", false},
        {"25-x", false},         {"abc-def", false}, {"-250", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_continuation_line(c.line), c.expected) << '"' << c.line << '"';
    }
}

TEST(xforward_command, ListsTheNonEmptyValuesInItsOwnOrder) {
    XForwardData only_addr_and_helo;
    only_addr_and_helo.helo = "client.example";
    only_addr_and_helo.addr = "192.0.2.10";
    EXPECT_EQ(xforward_command(only_addr_and_helo), "XFORWARD ADDR=192.0.2.10 HELO=client.example");

    const XForwardData all{"name.example", "2001:db8::1", "25",    "SMTP",
                           "helo.example", "QID",         "LOCAL", true};
    EXPECT_EQ(xforward_command(all), "XFORWARD ADDR=2001:db8::1 NAME=name.example PORT=25 "
                                     "PROTO=SMTP HELO=helo.example IDENT=QID SOURCE=LOCAL");

    EXPECT_EQ(xforward_command(XForwardData{}), "XFORWARD");
}

TEST(bracket_address, WrapsOnlyTextsWithoutALeadingBracket) {
    struct address_case {
        const char* stored;
        const char* expected;
    } cases[] = {
        {"user@example.org", "<user@example.org>"},
        {"<user@example.org>", "<user@example.org>"},
        {"<user@example.org> SIZE=10", "<user@example.org> SIZE=10"},
        {"<>", "<>"},
        {"", "<>"},
        {"user@example.org>", "<user@example.org>>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bracket_address(c.stored), c.expected) << c.stored;
}

// A host name lookup that fails.
std::string failing_lookup(boost::system::error_code& ec) {
    ec = boost::system::errc::make_error_code(boost::system::errc::filename_too_long);
    return "ignored";
}

// A host name lookup that succeeds with an empty name.
std::string empty_lookup(boost::system::error_code& ec) {
    ec.clear();
    return "";
}

// A host name lookup that succeeds.
std::string working_lookup(boost::system::error_code& ec) {
    ec.clear();
    return "mx.example.org";
}

TEST(ehlo_host_name, FallsBackToLocalhostWithAWarning) {
    test_support::log_capture log(spdlog::level::info);

    EXPECT_EQ(ehlo_host_name(working_lookup), "mx.example.org");
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(ehlo_host_name(failing_lookup), "localhost");
    EXPECT_THAT(log.text(), ::testing::StartsWith("[warning] "));
    log.clear();
    EXPECT_EQ(ehlo_host_name(empty_lookup), "localhost");
    EXPECT_THAT(log.text(), ::testing::StartsWith("[warning] "));
    EXPECT_FALSE(ehlo_host_name().empty());
}

} // namespace
