// The SMTP dialogue of the re-injection client against the scripted fake mail server: the exact
// bytes on the wire, each refusal, multi-line replies and the answer to QUIT.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "smtp_client/delivery_fixture.hpp"
#include "smtp_client/smtp_client_base.hpp"
#include "smtp_client/smtp_dialogue.hpp"
#include "support/fake_mail_server.hpp"

namespace smtp_client_testing {
namespace {

using test_support::fake_mail_script;
using test_support::fake_mail_server;
using test_support::fake_step;
using ::testing::HasSubstr;
using ::testing::Not;

// A script change for one case.
using script_edit = void (*)(fake_mail_script&);

// Each line followed by CRLF, as a client sends its commands.
std::string crlf_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

// XFORWARD data as the LMTP front end stores it for a transaction that carried the command.
XForwardData addr_and_helo() {
    XForwardData xforward;
    xforward.addr = "192.0.2.10";
    xforward.helo = "client.example";
    xforward.has_data = true;
    return xforward;
}

// XFORWARD data with every one of the seven attributes set.
XForwardData all_seven() {
    XForwardData xforward;
    xforward.name = "client.example";
    xforward.addr = "192.0.2.10";
    xforward.port = "4711";
    xforward.proto = "ESMTP";
    xforward.helo = "helo.example";
    xforward.ident = "4Fq2abc";
    xforward.source = "REMOTE";
    xforward.has_data = true;
    return xforward;
}

// XFORWARD data of a transaction that carried the command with no usable value.
XForwardData all_empty() {
    XForwardData xforward;
    xforward.has_data = true;
    return xforward;
}

// Whether any command of the connection is an XFORWARD command.
bool sent_xforward(const test_support::fake_mail_connection& connection) {
    return std::any_of(connection.commands.begin(), connection.commands.end(),
                       [](const std::string& c) { return c.starts_with("XFORWARD"); });
}

using dialogue_test = delivery_test;

TEST_F(dialogue_test, SendsTheWholeDialogueByteForByte) {
    struct dialogue_case {
        const char* name;
        const char* ehlo;          // the server's EHLO reply
        XForwardData xforward;     // what the transaction carried
        const char* xforward_line; // the command expected on the wire, or nullptr for none
    } cases[] = {
        {"xforward_addr_and_helo", nullptr, addr_and_helo(),
         "XFORWARD ADDR=192.0.2.10 HELO=client.example"},
        {"xforward_all_seven", nullptr, all_seven(),
         "XFORWARD ADDR=192.0.2.10 NAME=client.example PORT=4711 PROTO=ESMTP HELO=helo.example "
         "IDENT=4Fq2abc SOURCE=REMOTE"},
        {"xforward_all_values_empty", nullptr, all_empty(), "XFORWARD"},
        {"server_without_xforward", "250 fake.test\r\n", all_seven(), nullptr},
        {"transaction_without_xforward", nullptr, XForwardData{}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        if (c.ehlo) script.ehlo = c.ehlo;
        fake_mail_server server(script);
        delivery d;
        d.sender = "<sender@example.org>";
        d.recipients = {"<first@example.net>", "<second@example.net>"};
        d.text = "Subject: test\r\n\r\nHello\r\n";
        d.xforward = c.xforward;

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);

        std::vector<std::string> expected{"EHLO " + ehlo_host_name()};
        if (c.xforward_line) expected.push_back(c.xforward_line);
        for (const char* line : {"MAIL FROM:<sender@example.org>", "RCPT TO:<first@example.net>",
                                 "RCPT TO:<second@example.net>", "DATA"}) {
            expected.push_back(line);
        }
        const auto connections = server.connections();
        ASSERT_EQ(connections.size(), 1u);
        EXPECT_EQ(connections[0].transcript, crlf_lines(expected) +
                                                 "Subject: test\r\n\r\nHello\r\n.\r\n" +
                                                 crlf_lines({"QUIT"}));
        const auto deliveries = server.deliveries();
        ASSERT_EQ(deliveries.size(), 1u);
        EXPECT_EQ(deliveries[0].recipients,
                  (std::vector<std::string>{"<first@example.net>", "<second@example.net>"}));
        if (c.xforward_line) {
            EXPECT_THAT(log(), HasSubstr(std::string("[debug] Sending XFORWARD command: ") +
                                         c.xforward_line + "\n"));
        }
        EXPECT_THAT(log(), Not(HasSubstr("[error]")));
        log_.clear();
    }
}

TEST_F(dialogue_test, FindsXforwardOnAnyLineOfTheEhloReply) {
    struct ehlo_case {
        const char* name;
        const char* ehlo;
        bool detected;
    } cases[] = {
        {"continuation_line", "250-fake.test\r\n250-XFORWARD NAME ADDR\r\n250 SIZE\r\n", true},
        {"last_line", "250-fake.test\r\n250 XFORWARD NAME ADDR\r\n", true},
        {"inside_a_longer_word", "250-fake.test\r\n250-XXFORWARDS\r\n250 SIZE\r\n", true},
        {"lower_case", "250-fake.test\r\n250-xforward name addr\r\n250 SIZE\r\n", false},
        {"one_line_reply", "250 fake.test\r\n", false},
        {"not_announced", "250-fake.test\r\n250-PIPELINING\r\n250 SIZE\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        script.ehlo = c.ehlo;
        fake_mail_server server(script);
        delivery d;
        d.xforward = addr_and_helo();

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
        EXPECT_EQ(sent_xforward(server.connections().at(0)), c.detected);
    }
}

TEST_F(dialogue_test, PutsEachAddressInOnePairOfBrackets) {
    struct address_case {
        const char* name;
        const char* stored; // the envelope text as the LMTP front end keeps it
        const char* wire;   // what follows the colon on the wire
    } cases[] = {
        {"bare", "user@example.org", "<user@example.org>"},
        {"bracketed", "<user@example.org>", "<user@example.org>"},
        {"bracketed_with_parameters", "<user@example.org> SIZE=1234 BODY=8BITMIME",
         "<user@example.org> SIZE=1234 BODY=8BITMIME"},
        {"null", "<>", "<>"},
        {"empty", "", "<>"},
    };
    fake_mail_server server;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delivery d;
        d.sender = c.stored;
        d.recipients = {c.stored};

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
        const auto commands = server.connections().back().commands;
        EXPECT_THAT(commands, ::testing::Contains(std::string("MAIL FROM:") + c.wire));
        EXPECT_THAT(commands, ::testing::Contains(std::string("RCPT TO:") + c.wire));
    }
}

TEST_F(dialogue_test, DotStuffsTheMessageAndEndsItWithADotLine) {
    struct data_case {
        const char* name;
        const char* text;     // the message as received
        const char* expected; // the bytes after "354", final line included
    } cases[] = {
        {"leading_dots", "Subject: x\r\n\r\n.one\r\n..two\r\nthree\r\n",
         "Subject: x\r\n\r\n..one\r\n...two\r\nthree\r\n.\r\n"},
        {"a_line_of_one_dot", "Subject: x\r\n\r\n.\r\nafter\r\n",
         "Subject: x\r\n\r\n..\r\nafter\r\n.\r\n"},
        {"no_final_line_break", "Subject: x\r\n\r\nlast", "Subject: x\r\n\r\nlast\r\n.\r\n"},
        {"empty_message", "", ".\r\n"},
        {"lf_only_message", "Subject: x\n\tfolded\n\n.one\nlast",
         "Subject: x\r\n\tfolded\r\n\r\n..one\r\nlast\r\n.\r\n"},
        {"bare_cr_kept", "Subject: x\r\n\r\na\rb\r\n", "Subject: x\r\n\r\na\rb\r\n.\r\n"},
        // The fake takes a bare LF as a line end, as many mail servers do: a lone "." after one
        // would end the data there and turn the rest into commands.
        {"smuggled_end_of_data",
         "Subject: x\n\nhello\n.\nMAIL FROM:<evil@example.com>\n.smuggled\n",
         "Subject: x\r\n\r\nhello\r\n..\r\nMAIL FROM:<evil@example.com>\r\n..smuggled\r\n.\r\n"},
    };
    fake_mail_server server;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delivery d;
        d.text = c.text;

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
        const auto connection = server.connections().back();
        EXPECT_EQ(connection.data, c.expected);
        EXPECT_EQ(connection.commands.back(), "QUIT");
        EXPECT_EQ(connection.commands.size(), 5u) << "a line of the message was taken as a command";
    }
    EXPECT_EQ(server.deliveries().size(), std::size(cases));
}

TEST_F(dialogue_test, FailsAtEachRefusedStepWithItsMessage) {
    struct refusal_case {
        const char* name;
        script_edit edit;
        const char* failure;      // the error line
        const char* last_command; // the last command sent, or "" for none
    } cases[] = {
        {"greeting_refused", [](fake_mail_script& s) { s.greeting = "554 go away\r\n"; },
         "Did not receive 220 welcome message", ""},
        {"greeting_empty_line", [](fake_mail_script& s) { s.greeting = "\r\n"; },
         "Did not receive 220 welcome message", ""},
        {"greeting_refused_on_its_last_line",
         [](fake_mail_script& s) { s.greeting = "220-fake.test\r\n554 not now\r\n"; },
         "Did not receive 220 welcome message", ""},
        {"ehlo_refused", [](fake_mail_script& s) { s.ehlo = "502 5.5.1 no\r\n"; }, "EHLO failed",
         "EHLO"},
        {"ehlo_refused_on_its_last_line",
         [](fake_mail_script& s) { s.ehlo = "250-fake.test\r\n550 no\r\n"; }, "EHLO failed",
         "EHLO"},
        {"xforward_refused", [](fake_mail_script& s) { s.xforward = "550 5.7.0 no\r\n"; },
         "XFORWARD failed", "XFORWARD"},
        {"mail_from_refused", [](fake_mail_script& s) { s.mail_from = "550 5.1.0 no\r\n"; },
         "MAIL FROM failed", "MAIL FROM"},
        {"rcpt_to_refused", [](fake_mail_script& s) { s.rcpt_to = "550 5.1.1 unknown\r\n"; },
         "RCPT TO failed", "RCPT TO"},
        {"rcpt_to_answered_251", [](fake_mail_script& s) { s.rcpt_to = "251 forwarded\r\n"; },
         "RCPT TO failed", "RCPT TO"},
        {"rcpt_to_refused_after_a_multi_line_mail_from_reply",
         [](fake_mail_script& s) {
             s.mail_from = "250-2.1.0 first\r\n250 2.1.0 Ok\r\n";
             s.rcpt_to = "550 5.1.1 unknown\r\n";
         },
         "RCPT TO failed", "RCPT TO"},
        {"data_refused", [](fake_mail_script& s) { s.data = "554 5.5.1 no\r\n"; },
         "DATA command failed", "DATA"},
        {"data_answered_250", [](fake_mail_script& s) { s.data = "250 ok\r\n"; },
         "DATA command failed", "DATA"},
        {"message_refused", [](fake_mail_script& s) { s.message = "554 5.7.1 rejected\r\n"; },
         "Failed to send data", "DATA"},
        {"message_refused_on_its_last_line",
         [](fake_mail_script& s) { s.message = "250-2.0.0 looks fine\r\n451 4.3.0 but no\r\n"; },
         "Failed to send data", "DATA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        c.edit(script);
        fake_mail_server server(script);
        delivery d;
        d.xforward = addr_and_helo();

        EXPECT_EQ(deliver(tcp_config(server.port()), d), false);
        EXPECT_THAT(log(), HasSubstr(std::string("[error] ") + c.failure + "\n"));
        const auto commands = server.connections().at(0).commands;
        if (*c.last_command == '\0') {
            EXPECT_TRUE(commands.empty());
        } else {
            ASSERT_FALSE(commands.empty());
            EXPECT_TRUE(commands.back().starts_with(c.last_command)) << commands.back();
        }
        EXPECT_TRUE(server.deliveries().empty());
        log_.clear();
    }
}

TEST_F(dialogue_test, SecondRecipientRefusedFailsWithoutData) {
    fake_mail_script script;
    script.rcpt_to_by_index = {"250 2.1.5 Ok\r\n", "550 5.1.1 unknown\r\n"};
    fake_mail_server server(script);
    delivery d;
    d.recipients = {"<first@example.net>", "<second@example.net>"};

    EXPECT_EQ(deliver(tcp_config(server.port()), d), false);
    EXPECT_THAT(log(), HasSubstr("[error] RCPT TO failed\n"));
    const auto commands = server.connections().at(0).commands;
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "RCPT TO:<first@example.net>");
    EXPECT_EQ(commands.back(), "RCPT TO:<second@example.net>");
}

TEST_F(dialogue_test, NoRecipientFailsAfterMailFrom) {
    fake_mail_server server;
    delivery d;
    d.recipients.clear();

    EXPECT_EQ(deliver(tcp_config(server.port()), d), false);
    EXPECT_THAT(log(), HasSubstr("[error] RCPT TO failed\n"));
    EXPECT_EQ(server.connections().at(0).commands.back(), "MAIL FROM:<sender@example.org>");
}

TEST_F(dialogue_test, ReadsEveryReplyToItsLastLine) {
    struct multi_line_case {
        const char* name;
        script_edit edit;
    } cases[] = {
        {"greeting",
         [](fake_mail_script& s) { s.greeting = "220-fake.test ESMTP\r\n220 ready\r\n"; }},
        {"xforward", [](fake_mail_script& s) { s.xforward = "250-2.0.0 one\r\n250 2.0.0 Ok\r\n"; }},
        {"mail_from", [](fake_mail_script& s) { s.mail_from = "250-2.1.0 a\r\n250 2.1.0 b\r\n"; }},
        {"rcpt_to", [](fake_mail_script& s) { s.rcpt_to = "250-2.1.5 a\r\n250-b\r\n250 c\r\n"; }},
        {"data", [](fake_mail_script& s) { s.data = "354-go on\r\n354 end with .\r\n"; }},
        {"message", [](fake_mail_script& s) { s.message = "250-queued\r\n250 as 4F00D\r\n"; }},
        {"quit", [](fake_mail_script& s) { s.quit = "221-2.0.0 so long\r\n221 2.0.0 Bye\r\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        c.edit(script);
        fake_mail_server server(script);
        delivery d;
        d.recipients = {"<first@example.net>", "<second@example.net>"};
        d.xforward = addr_and_helo();

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
        const auto commands = server.connections().at(0).commands;
        EXPECT_EQ(commands.size(), 7u); // EHLO, XFORWARD, MAIL FROM, 2 RCPT TO, DATA, QUIT
        EXPECT_THAT(log(), Not(HasSubstr("QUIT failed")));
        log_.clear();
    }
}

TEST_F(dialogue_test, AnyPositiveAnswerToTheFinalDotIsADelivery) {
    for (const char* answer : {"250 2.0.0 Ok: queued\r\n", "251 2.0.0 queued elsewhere\r\n",
                               "299-first\r\n200 ok\r\n"}) {
        SCOPED_TRACE(answer);
        fake_mail_script script;
        script.message = answer;
        fake_mail_server server(script);
        delivery d;

        EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
        EXPECT_EQ(server.connections().at(0).commands.back(), "QUIT");
        EXPECT_THAT(log(), Not(HasSubstr("[error]")));
        log_.clear();
    }
}

TEST_F(dialogue_test, AcceptedMessageIsDeliveredWhateverTheAnswerToQuit) {
    struct quit_case {
        const char* name;
        script_edit edit;
        const char* reason; // logged after "QUIT failed: "; any when null
    } cases[] = {
        {"quit_answered_250", [](fake_mail_script& s) { s.quit = "250 2.0.0 what\r\n"; },
         "250 2.0.0 what"},
        {"quit_refused", [](fake_mail_script& s) { s.quit = "554 5.5.1 no\r\n"; }, "554 5.5.1 no"},
        {"closed_instead_of_answering_quit",
         [](fake_mail_script& s) { s.quit = fake_step::close(); }, "End of file"},
        {"closed_right_after_accepting",
         [](fake_mail_script& s) {
             s.message = fake_step::answer_then_close("250 2.0.0 Ok: queued as 4F00D\r\n");
         },
         nullptr}, // end of file, or a reset after QUIT reached the closed connection
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        c.edit(script);
        fake_mail_server server(script);

        EXPECT_EQ(deliver(tcp_config(server.port()), delivery{}), true);
        const std::string failed = "[warning] QUIT failed: ";
        EXPECT_THAT(log(), HasSubstr(c.reason ? failed + c.reason + "\n" : failed));
        EXPECT_THAT(log(), Not(HasSubstr("[error]")));
        EXPECT_EQ(server.deliveries().size(), 1u);
        log_.clear();
    }
}

// The descriptors this process has open.
long open_descriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// A delivery started on the fixture's loop, with the time its completion came and its flag.
struct timed_delivery {
    std::weak_ptr<::delivery> client;
    std::optional<bool> delivered;
    std::chrono::steady_clock::duration took{}; // from the start to the completion
};

// Starts `d` with `config`; the completion records its flag and its time and stops the loop.
std::shared_ptr<timed_delivery> start_timed(boost::asio::io_context& io_context,
                                            const Config& config, const delivery& d) {
    auto outcome = std::make_shared<timed_delivery>();
    const auto start = std::chrono::steady_clock::now();
    outcome->client = send_email(io_context, config, d.sender, d.recipients,
                                 MailData::from_raw(std::string(d.text)), d.xforward,
                                 [&io_context, outcome, start](bool delivered) {
                                     outcome->delivered = delivered;
                                     outcome->took = std::chrono::steady_clock::now() - start;
                                     io_context.stop();
                                 });
    return outcome;
}

TEST_F(dialogue_test, SuccessComesAtTheAnswerToTheFinalDotAndQuitIsStillAnswered) {
    fake_mail_script script;
    script.quit = fake_step::delayed("221 2.0.0 Bye\r\n", 4s); // within the wait for it
    fake_mail_server server(script);
    const auto outcome = start_timed(io_context_, tcp_config(server.port()), delivery{});
    run_io();
    EXPECT_EQ(outcome->delivered, true);
    EXPECT_LT(outcome->took, 500ms) << "the completion waited for the answer to QUIT";
    EXPECT_EQ(server.deliveries().size(), 1u);

    // The client lives on for the answer, logs it and is gone right after it.
    EXPECT_FALSE(outcome->client.expired());
    const auto start = std::chrono::steady_clock::now();
    io_context_.restart();
    io_context_.run_for(8s); // returns when the client is gone
    EXPECT_TRUE(io_context_.stopped());
    EXPECT_GT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(outcome->client.expired());
    EXPECT_THAT(log(), HasSubstr("[debug] S: 221 2.0.0 Bye\n"));
    EXPECT_THAT(log(), Not(HasSubstr("QUIT failed")));
    EXPECT_TRUE(server.wait_for_closed(1, 2s));
    EXPECT_EQ(server.connections().at(0).commands.back(), "QUIT");
}

TEST_F(dialogue_test, QuitNeverAnsweredHoldsNoDescriptorAfterTheBoundedWait) {
    fake_mail_script script;
    script.quit = fake_step::silence();
    fake_mail_server server(script);
    {
        // The loop's own descriptors (its reactor) come with its first socket.
        boost::asio::ip::tcp::socket first(io_context_);
        first.open(boost::asio::ip::tcp::v4());
    }
    const long before = open_descriptors();
    const auto outcome = start_timed(io_context_, tcp_config(server.port()), delivery{});
    run_io();
    EXPECT_EQ(outcome->delivered, true);
    EXPECT_LT(outcome->took, 500ms);

    const auto start = std::chrono::steady_clock::now();
    io_context_.restart();
    io_context_.run_for(quit_answer_wait + 3s); // returns when the client is gone
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(io_context_.stopped()) << "the client still waits for the answer to QUIT";
    EXPECT_GT(waited, quit_answer_wait - 1s);
    EXPECT_LT(waited, quit_answer_wait + 1s);
    EXPECT_TRUE(outcome->client.expired());
    EXPECT_THAT(log(), HasSubstr("[warning] QUIT failed: no answer within " +
                                 std::to_string(quit_answer_wait.count()) + " seconds\n"));
    EXPECT_THAT(log(), Not(HasSubstr("[error]")));
    EXPECT_TRUE(server.wait_for_closed(1, 2s)) << "the client did not close its connection";
    // The fake closes its side once it has seen the client's close.
    for (int i = 0; i < 100 && open_descriptors() != before; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(open_descriptors(), before) << "descriptors open after the delivery";
    EXPECT_EQ(server.deliveries().size(), 1u);
}

TEST_F(dialogue_test, TakesALineAlreadyReceivedWithoutWaiting) {
    fake_mail_script script;
    script.greeting = "220 fake.test ESMTP\r\n250 fake.test\r\n";
    script.ehlo = fake_step::silence(); // the line after the greeting answers EHLO
    fake_mail_server server(script);
    delivery d;
    d.xforward = addr_and_helo();

    EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
    const auto commands = server.connections().at(0).commands;
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_TRUE(commands[0].starts_with("EHLO "));
    EXPECT_EQ(commands[1], "MAIL FROM:<sender@example.org>");
}

TEST_F(dialogue_test, TakesRepliesEndingInLineFeedOrBlanksAlike) {
    fake_mail_script script;
    script.greeting = "220 fake.test ESMTP\n";
    script.ehlo = "250-fake.test\n250-XFORWARD ADDR HELO  \n250 SIZE\t\n";
    script.xforward = "250 Ok \n";
    script.mail_from = "250 Ok\n";
    script.rcpt_to = "250 Ok \r\n";
    script.data = "354 go\n";
    script.message = "250 queued\n";
    script.quit = "221 Bye\n";
    fake_mail_server server(script);
    delivery d;
    d.xforward = addr_and_helo();

    EXPECT_EQ(deliver(tcp_config(server.port()), d), true);
    EXPECT_TRUE(sent_xforward(server.connections().at(0)));
    EXPECT_THAT(log(), HasSubstr("[debug] S: 250-XFORWARD ADDR HELO\n"));
    EXPECT_THAT(log(), Not(HasSubstr("QUIT failed")));
}

} // namespace
} // namespace smtp_client_testing
