// The road of a message through the session end to end: DATA to the fake Rspamd, the verdict,
// and the re-injection at the fake mail server, with each reply and its log lines.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lmtp_server/session_counter.hpp"
#include "session_harness.hpp"
#include "support/fake_mail_server.hpp"
#include "support/fake_rspamd.hpp"
#include "support/test_env.hpp"

namespace {

using namespace lmtp_test;
using tcp = asio::ip::tcp;
using local = asio::local::stream_protocol;
using spdlog::level::level_enum;
using test_support::rspamd_reply;

// The message as the client sends it: dot-stuffed, CRLF line ends.
const std::string stuffed_message = "X-Old: 1\r\n"
                                    "\tcontinued\r\n"
                                    "Subject: hello\r\n"
                                    "\r\n"
                                    "body\r\n"
                                    "..leading dot\r\n"
                                    ". blank after dot\r\n";

// The same message as collected.
const std::string received_message = "X-Old: 1\r\n"
                                     "\tcontinued\r\n"
                                     "Subject: hello\r\n"
                                     "\r\n"
                                     "body\r\n"
                                     ".leading dot\r\n"
                                     " blank after dot\r\n";

// The collected message after the edits of `milter_reply`.
const std::string edited_message = "X-Spam: yes\r\n"
                                   "Subject: hello\r\n"
                                   "\r\n"
                                   "body\r\n"
                                   ".leading dot\r\n"
                                   " blank after dot\r\n";

// The edited message with the subject of `subject_reply`.
const std::string subject_message = "X-Spam: yes\r\n"
                                    "Subject: *** SPAM *** hello\r\n"
                                    "\r\n"
                                    "body\r\n"
                                    ".leading dot\r\n"
                                    " blank after dot\r\n";

// The collected message with a header added twice through an array and one through a string.
const std::string array_message = "X-Plain: p\r\n"
                                  "X-Old: 1\r\n"
                                  "\tcontinued\r\n"
                                  "Subject: hello\r\n"
                                  "DKIM-Signature: a=1\r\n"
                                  "DKIM-Signature: a=2\r\n"
                                  "\r\n"
                                  "body\r\n"
                                  ".leading dot\r\n"
                                  " blank after dot\r\n";

// A reply nested 60,000 levels deep, which once overran the stack of the JSON reader.
const std::string deep_reply =
    R"({"action":"no action","x":)" + std::string(60000, '[') + std::string(60000, ']') + "}";

const std::string milter = R"("milter":{"remove_headers":{"X-Old":1},)"
                           R"("add_headers":{"X-Spam":{"value":"yes","order":0}}})";

// A scanner reply with `action`, the milter block and `extra` members.
std::string reply_with(const std::string& action, const std::string& extra = "") {
    return R"({"action":")" + action + R"(",)" + milter + extra + "}";
}

// A session server with a fake Rspamd and a fake mail server behind it.
class Dispatch : public testing::Test {
  protected:
    Dispatch() { restart(base_config()); }

    // The configuration that points the session at the fakes.
    Config base_config() const {
        Config config = test_config();
        config.rspamd_port = rspamd_.port();
        config.forward_port = mail_.port();
        return config;
    }
    // Replaces the server by one with `config`.
    void restart(Config config) {
        harness_.reset();
        harness_ = std::make_unique<server_harness<tcp>>(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), std::move(config));
        harness_->start();
    }
    // A greeted client; `id_` is its session id.
    std::unique_ptr<lmtp_client<tcp>> open() {
        auto client = std::make_unique<lmtp_client<tcp>>(harness_->endpoint());
        EXPECT_EQ(client->greeting(), "220 localhost LMTP server ready");
        id_ = fmt::format("{:016x}", session_counter.load() - 1);
        return client;
    }
    // Sends one pipelined transaction and returns the replies before the one to the data.
    std::vector<std::string> send_envelope(lmtp_client<tcp>& client,
                                           const std::vector<std::string>& recipients,
                                           const std::string& xforward = "") {
        std::string commands = "LHLO lmtp.client\r\n";
        if (!xforward.empty()) commands += "XFORWARD " + xforward + "\r\n";
        commands += "MAIL FROM:<sender@example.org> BODY=8BITMIME\r\n";
        for (const auto& recipient : recipients)
            commands += "RCPT TO:" + recipient + "\r\n";
        commands += "DATA\r\n";
        client.send(commands);
        const std::size_t count = 6 + (xforward.empty() ? 0 : 1) + 1 + recipients.size() + 1;
        return client.read_lines(count);
    }
    // A whole transaction; returns the reply lines to the data, one per recipient (at least one).
    std::vector<std::string> transaction(lmtp_client<tcp>& client,
                                         const std::vector<std::string>& recipients,
                                         const std::string& xforward = "") {
        send_envelope(client, recipients, xforward);
        client.send(stuffed_message + ".\r\n");
        return client.read_lines(std::max<std::size_t>(recipients.size(), 1));
    }
    // A transaction whose message (with its final ".") is sent to a session restarted with
    // `config` and a time-out of one second, which answers "421" within `limit` and closes.
    void timed_out_transaction(Config config, const std::string& message,
                               std::chrono::milliseconds limit = 3s) {
        config.timeout_seconds = 1;
        restart(config);
        auto client = open();
        send_envelope(*client, {"<a@example.org>"});
        client->send(message);
        EXPECT_EQ(client->read_line(limit), "421 4.4.2 Connection timeout");
        EXPECT_TRUE(client->at_end());
    }
    // The reply line repeated `count` times.
    static std::vector<std::string> lines(const std::string& line, std::size_t count = 1) {
        return std::vector<std::string>(count, line);
    }

    log_capture log_;
    test_support::fake_rspamd rspamd_;
    test_support::fake_mail_server mail_;
    std::unique_ptr<server_harness<tcp>> harness_;
    std::string id_;
};

TEST_F(Dispatch, NoActionForwardsTheEditedMessageAndScansTheReceivedOne) {
    rspamd_.push(rspamd_reply::json(reply_with("no action")));
    auto opened = open();
    auto& client = *opened;
    EXPECT_EQ(transaction(client, {"<rcpt@example.org>"}, "NAME=mx ADDR=192.0.2.10 IDENT=4QzV1"),
              lines("250 OK: Message accepted for scanning"));
    ASSERT_TRUE(rspamd_.wait_for_requests(1, 5s));
    const auto request = rspamd_.requests()[0];
    EXPECT_EQ(request.body, received_message);
    EXPECT_EQ(request.values("From"),
              std::vector<std::string>{"<sender@example.org> BODY=8BITMIME"});
    EXPECT_EQ(request.values("Rcpt"), std::vector<std::string>{"<rcpt@example.org>"});
    EXPECT_EQ(request.values("IP"), std::vector<std::string>{"192.0.2.10"});
    EXPECT_EQ(request.values("Helo"), std::vector<std::string>{"lmtp.client"});
    EXPECT_EQ(request.values("Queue-Id"), std::vector<std::string>{"4QzV1"});
    ASSERT_TRUE(mail_.wait_for_deliveries(1, 5s));
    const auto delivery = mail_.deliveries()[0];
    EXPECT_EQ(delivery.data, edited_message);
    EXPECT_EQ(delivery.recipients, std::vector<std::string>{"<rcpt@example.org>"});
    EXPECT_NE(delivery.sender.find("BODY=8BITMIME"), std::string::npos) << delivery.sender;
    const auto commands = mail_.connections()[0].commands;
    const auto xforward = std::find_if(commands.begin(), commands.end(), [](const auto& command) {
        return command.rfind("XFORWARD ", 0) == 0;
    });
    ASSERT_NE(xforward, commands.end());
    EXPECT_NE(xforward->find(" ADDR=192.0.2.10"), std::string::npos) << *xforward;
    EXPECT_NE(xforward->find(" NAME=mx"), std::string::npos) << *xforward;
    EXPECT_NE(xforward->find(" IDENT=4QzV1"), std::string::npos) << *xforward;
    EXPECT_TRUE(log_.has(level_enum::info, "[" + id_ + "] Processing message"));
    EXPECT_TRUE(log_.wait_for(level_enum::info, "[" + id_ + "] Resetting session"));
}

// One verdict path: scanner reply, reject action, and what the client and mail server see.
struct path_case {
    const char* name;
    std::string reply;
    const char* reject_action;
    std::vector<std::string> recipients;
    const char* answer;
    std::vector<std::string> delivered_to; // empty: nothing may reach the mail server
    const std::string* delivered_message;
};

// Names the case in test listings.
void PrintTo(const path_case& c, std::ostream* out) {
    *out << c.name;
}

const path_case path_cases[] = {
    {"RejectRefused",
     reply_with("reject"),
     "reject",
     {"<a@example.org>"},
     "554 5.7.1 Message rejected due to content policies",
     {},
     nullptr},
    {"QuarantinedDiscarded",
     reply_with("reject", R"(,"symbols":{"QUARANTINED":{"score":0}})"),
     "accept",
     {"<a@example.org>", "<b@example.org>"},
     "250 OK: Message quarantined",
     {},
     nullptr},
    {"RejectAcceptedWithEdits",
     reply_with("reject"),
     "accept",
     {"<a@example.org>"},
     "250 OK: Message accepted",
     {"<a@example.org>"},
     &edited_message},
    {"RejectRewrittenToSpamRecipients",
     reply_with("reject"),
     "rewrite_recipients",
     {"<a@example.org>", "<b@example.org>"},
     "250 OK: Message accepted (recipients rewritten)",
     {"<a+spam@example.org>", "<b+spam@example.org>"},
     &edited_message},
    {"AddHeaderForwarded",
     reply_with("add header"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &edited_message},
    {"GreylistForwarded",
     reply_with("greylist"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &edited_message},
    {"SoftRejectForwarded",
     reply_with("soft reject"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &edited_message},
    {"RewriteSubjectForwardedWithEditsAndSubject",
     reply_with("rewrite subject", R"(,"subject":"*** SPAM *** hello")"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &subject_message},
    {"RewriteSubjectWithoutSubjectForwardedWithEdits",
     reply_with("rewrite subject"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &edited_message},
    {"SubjectIgnoredForOtherActions",
     reply_with("add header", R"(,"subject":"*** SPAM *** hello")"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &edited_message},
    {"HeaderArrayAndStringForwarded",
     R"({"action":"add header","milter":{"add_headers":{"DKIM-Signature":)"
     R"([{"value":"a=1","order":9},{"value":"a=2","order":9}],"X-Plain":"p"}}})",
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &array_message},
    {"ArrayElementWithoutValueNotForwarded",
     R"({"action":"add header","milter":{"add_headers":{"D":[{"value":"1","order":0},)"
     R"({"order":0}]}}})",
     "reject",
     {"<a@example.org>"},
     "451 Temporary local problem - could not parse Rspamd response",
     {},
     nullptr},
    {"DeeplyNestedNotForwarded",
     deep_reply,
     "reject",
     {"<a@example.org>"},
     "451 Temporary local problem - could not parse Rspamd response",
     {},
     nullptr},
    {"UnknownActionForwardedUnchanged",
     reply_with("rewrite Subject", R"(,"subject":"*** SPAM *** hello")"),
     "reject",
     {"<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>"},
     &received_message},
    {"NotJson",
     "<html>502 Bad Gateway</html>",
     "reject",
     {"<a@example.org>"},
     "451 Temporary local problem - could not parse Rspamd response",
     {},
     nullptr},
    {"NoAction",
     R"({"error":"bad request"})",
     "reject",
     {"<a@example.org>"},
     "451 Temporary local problem - could not parse Rspamd response",
     {},
     nullptr},
    {"MalformedMilterNotForwarded",
     R"({"action":"no action","milter":{"add_headers":{"X-Spam":{"order":0}}}})",
     "reject",
     {"<a@example.org>"},
     "451 Temporary local problem - could not parse Rspamd response",
     {},
     nullptr},
    {"NoRecipientsNotForwarded",
     reply_with("no action"),
     "reject",
     {},
     "451 Temporary local problem, could not forward email",
     {},
     nullptr},
    {"NoRecipientsRejected",
     reply_with("reject"),
     "reject",
     {},
     "554 5.7.1 Message rejected due to content policies",
     {},
     nullptr},
    {"ThreeRecipientsThreeLines",
     reply_with("no action"),
     "reject",
     {"<a@example.org>", "<b@example.org>", "<a@example.org>"},
     "250 OK: Message accepted for scanning",
     {"<a@example.org>", "<b@example.org>", "<a@example.org>"},
     &edited_message},
};

class VerdictPath : public Dispatch, public testing::WithParamInterface<path_case> {};

TEST_P(VerdictPath, AnswersEveryRecipientInOneWriteAndForwardsAsDecided) {
    const auto& c = GetParam();
    Config config = base_config();
    config.reject_action = c.reject_action;
    restart(config);
    rspamd_.push(rspamd_reply::json(c.reply));
    auto opened = open();
    auto& client = *opened;
    const std::size_t count = std::max<std::size_t>(c.recipients.size(), 1);
    EXPECT_EQ(transaction(client, c.recipients), lines(c.answer, count));
    std::string one_write = c.answer;
    for (std::size_t i = 1; i < count; ++i)
        one_write += std::string("\r\n") + c.answer;
    EXPECT_TRUE(log_.wait_for(level_enum::debug, "[" + id_ + "] Response sent: " + one_write));
    EXPECT_EQ(client.command("RSET"), "250 OK");
    if (c.delivered_to.empty()) {
        EXPECT_TRUE(mail_.connections().empty());
    } else {
        ASSERT_TRUE(mail_.wait_for_deliveries(1, 5s));
        EXPECT_EQ(mail_.deliveries()[0].recipients, c.delivered_to);
        EXPECT_EQ(mail_.deliveries()[0].data, *c.delivered_message);
    }
}

INSTANTIATE_TEST_SUITE_P(Verdicts, VerdictPath, testing::ValuesIn(path_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatch, QuarantineAndParseFailureAreLogged) {
    rspamd_.push(rspamd_reply::json(R"({"action":"reject","symbols":{"QUARANTINED":1}})"));
    rspamd_.push(rspamd_reply::json(R"({"score":1})"));
    auto opened = open();
    auto& client = *opened;
    transaction(client, {"<a@example.org>"});
    EXPECT_TRUE(log_.has(level_enum::info,
                         "Discarding email with action 'reject' and QUARANTINED symbol."));
    transaction(client, {"<a@example.org>"});
    EXPECT_TRUE(log_.has(level_enum::err, "Error parsing Rspamd response: No such node (action)"));
}

TEST_F(Dispatch, DeeplyNestedReplyIsLoggedAsSuch) {
    rspamd_.push(rspamd_reply::json(deep_reply));
    auto opened = open();
    transaction(*opened, {"<a@example.org>"});
    EXPECT_TRUE(log_.has(level_enum::err, "Error parsing Rspamd response: <unspecified file>(1): "
                                          "reply nested deeper than 64 levels"));
}

TEST_F(Dispatch, FailedScanIsATemporaryFailure) {
    rspamd_.push(rspamd_reply::raw_then_close(""));
    auto opened = open();
    auto& client = *opened;
    EXPECT_EQ(transaction(client, {"<a@example.org>", "<b@example.org>"}),
              lines("451 Temporary local problem - could not connect to Rspamd", 2));
    EXPECT_EQ(client.command("NOOP"), "502 Command not implemented");
    EXPECT_TRUE(mail_.connections().empty());
}

// The default script of the fake mail server with one step replaced.
test_support::fake_mail_script
refusing(test_support::fake_step test_support::fake_mail_script::*step,
         test_support::fake_step replacement) {
    test_support::fake_mail_script script;
    script.*step = std::move(replacement);
    return script;
}

TEST_F(Dispatch, ForwardNotDeliveredIsATemporaryFailure) {
    using script = test_support::fake_mail_script;
    const struct {
        const char* name;
        test_support::fake_mail_script script;
    } refusals[] = {
        {"closed at greeting", refusing(&script::greeting, test_support::fake_step::close())},
        {"recipient refused", refusing(&script::rcpt_to, "550 5.1.1 No such user\r\n")},
        {"message refused", refusing(&script::message, "554 5.7.1 Not today\r\n")},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        mail_.set_script(refusal.script);
        rspamd_.push(rspamd_reply::json(R"({"action":"no action"})"));
        auto opened = open();
        EXPECT_EQ(transaction(*opened, {"<a@example.org>", "<b@example.org>"}),
                  lines("451 Temporary local problem, could not forward email", 2));
    }
    EXPECT_TRUE(mail_.deliveries().empty());
}

TEST_F(Dispatch, ForwardSocketPathTooLongIsAForwardFailure) {
    for (const std::size_t length : {108U, 200U}) {
        SCOPED_TRACE(length);
        Config config = base_config();
        config.forward_socket_path = "/tmp/" + std::string(length - 5, 's');
        restart(config);
        rspamd_.push(rspamd_reply::json(R"({"action":"no action"})"));
        auto opened = open();
        auto& client = *opened;
        EXPECT_EQ(transaction(client, {"<a@example.org>", "<b@example.org>"}),
                  lines("451 Temporary local problem, could not forward email", 2));
        EXPECT_TRUE(
            log_.has(level_enum::err, "SMTP Client (Unix) connect failed: File name too long"));
        EXPECT_FALSE(log_.contains("Error parsing Rspamd response"));
        EXPECT_EQ(client.command("QUIT"), "221 Bye");
    }
}

// A folded Received header as Postfix puts it on top of every message it hands over.
const std::string received_header =
    "Received: from client.example (client.example [192.0.2.1])\r\n"
    "\tby mx.example.test (Postfix) with ESMTP id 0CA64A860AE\r\n"
    "\tfor <b@example.net>; Thu, 10 Dec 2026 16:20:25 +0000 (UTC)\r\n";

// The same message in LF-only form, as the client sends it (dot-stuffed).
const std::string stuffed_lf_message = "X-Old: 1\n"
                                       "\tcontinued\n"
                                       "Subject: hello\n"
                                       "\n"
                                       "body\n"
                                       "..leading dot\n"
                                       ". blank after dot\n";

// One message through the session: what the client sends after DATA, the scanner's reply, and
// the bytes the scanner and the mail server receive.
struct wire_case {
    const char* name;
    std::string data;    // after the "354", final line included
    std::string reply;   // the scanner's JSON reply
    std::string scanned; // the scanner request's body
    std::string on_wire; // what the mail server receives after its "354", final line included
};

// Names the case in test listings.
void PrintTo(const wire_case& c, std::ostream* out) {
    *out << c.name;
}

const wire_case wire_cases[] = {
    {"CrlfMessageByteForByte", stuffed_message + ".\r\n", R"({"action":"no action"})",
     received_message,
     "X-Old: 1\r\n\tcontinued\r\nSubject: hello\r\n\r\nbody\r\n..leading dot\r\n blank after "
     "dot\r\n"
     ".\r\n"},
    {"CrlfMessageWithEdits", stuffed_message + ".\r\n", reply_with("no action"), received_message,
     "X-Spam: yes\r\nSubject: hello\r\n\r\nbody\r\n..leading dot\r\n blank after dot\r\n.\r\n"},
    // A mail server that takes a bare LF as a line end would read ".\n" as the end of the data,
    // and the next line as a command that no scanner saw.
    {"BareLineFeedsCannotEndTheData",
     "Subject: x\n\nhello\n..\nMAIL FROM:<evil@example.com>\n..smuggled\n.\r\n",
     R"({"action":"no action"})",
     "Subject: x\n\nhello\n.\nMAIL FROM:<evil@example.com>\n.smuggled\n",
     "Subject: x\r\n\r\nhello\r\n..\r\nMAIL FROM:<evil@example.com>\r\n..smuggled\r\n.\r\n"},
    {"LfMessageWithEditsGoesOutInCrlf", stuffed_lf_message + ".\n",
     R"({"action":"no action","milter":{"remove_headers":{"X-Old":1},"add_headers":{)"
     R"("X-Spam":{"value":"yes","order":0},"X-Long":{"value":"one two three four five six )"
     R"(seven eight nine ten eleven twelve thirteen","order":1}}}})",
     "X-Old: 1\n\tcontinued\nSubject: hello\n\nbody\n.leading dot\n blank after dot\n",
     "X-Spam: yes\r\nX-Long: one two three four five six seven eight nine ten eleven\r\n"
     "\ttwelve thirteen\r\nSubject: hello\r\n\r\nbody\r\n..leading dot\r\n blank after dot\r\n"
     ".\r\n"},
    {"AddedHeaderGoesBelowTheFoldedReceived",
     received_header + "From: a@example.org\r\n\r\nbody\r\n.\r\n",
     R"({"action":"no action","milter":{"add_headers":{"Authentication-Results":)"
     R"({"value":"mx.example.test; none","order":1}}}})",
     received_header + "From: a@example.org\r\n\r\nbody\r\n",
     received_header +
         "Authentication-Results: mx.example.test; none\r\nFrom: a@example.org\r\n\r\nbody\r\n"
         ".\r\n"},
};

class ForwardedWire : public Dispatch, public testing::WithParamInterface<wire_case> {};

TEST_P(ForwardedWire, ScannerGetsTheMessageAsReceivedAndTheMailServerCrlfLines) {
    const auto& c = GetParam();
    rspamd_.push(rspamd_reply::json(c.reply));
    auto opened = open();
    auto& client = *opened;
    send_envelope(client, {"<a@example.org>"});
    client.send(c.data);
    EXPECT_EQ(client.read_line(5s), "250 OK: Message accepted for scanning");
    EXPECT_EQ(client.command("QUIT"), "221 Bye");
    ASSERT_TRUE(rspamd_.wait_for_requests(1, 5s));
    EXPECT_EQ(rspamd_.requests()[0].body, c.scanned);
    ASSERT_TRUE(mail_.wait_for_closed(1, 5s));
    const auto connection = mail_.connections().at(0);
    EXPECT_EQ(connection.data, c.on_wire);
    EXPECT_EQ(connection.commands.size(), 5u) << "a line of the message was taken as a command";
    EXPECT_EQ(connection.commands.back(), "QUIT");
    EXPECT_EQ(mail_.deliveries().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Messages, ForwardedWire, testing::ValuesIn(wire_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatch, LateVerdictAfterTimeoutIsNotForwarded) {
    rspamd_reply slow = rspamd_reply::json(R"({"action":"no action"})");
    slow.delay = 1500ms;
    rspamd_.push(slow);
    timed_out_transaction(base_config(), stuffed_message + ".\r\n");
    EXPECT_TRUE(
        log_.wait_for(level_enum::info,
                      "[" + id_ + "] Session closed before the verdict, message not forwarded"));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(mail_.connections().empty());
    EXPECT_FALSE(log_.contains("Write error"));
    EXPECT_FALSE(log_.contains("Resetting session"));
}

TEST_F(Dispatch, ForwardUnderWayAtTimeoutRunsToItsEnd) {
    test_support::fake_mail_script script;
    script.message = test_support::fake_step::silence();
    auto stalling = std::make_unique<test_support::fake_mail_server>(script);
    Config config = base_config();
    config.forward_port = stalling->port();
    timed_out_transaction(config, stuffed_message + ".\r\n");
    ASSERT_EQ(stalling->connections().size(), 1u);
    stalling.reset();
    EXPECT_TRUE(log_.wait_for(level_enum::info, "[" + id_ + "] Resetting session"));
    EXPECT_TRUE(log_.wait_for_part("[" + id_ + "] Write error: "));
    EXPECT_FALSE(log_.contains("Session closed before the verdict"));
}

// The line a forward over `transport` ("TCP" or "Unix") logs when the session stops before the
// forward's final ".".
std::string abandoned_line(const std::string& transport = "TCP") {
    return "SMTP Client (" + transport +
           ") delivery abandoned before the end of data: the LMTP session has closed";
}

// A mail server that stalls a forward before its final "." past the session's time-out of 1 s.
struct stall_case {
    const char* name;
    test_support::fake_mail_script script;
    std::size_t body_bytes; // the size of the message's body
    bool over_unix = false; // the mail server listens on a Unix-domain socket, not TCP
};

// Names the case in test listings.
void PrintTo(const stall_case& c, std::ostream* out) {
    *out << c.name;
}

// The default script of the fake mail server with `change` applied.
template <typename Change> test_support::fake_mail_script script_with(Change change) {
    test_support::fake_mail_script script;
    change(script);
    return script;
}

const stall_case stall_cases[] = {
    {"GreetingLate", script_with([](auto& s) { s.greeting.delay = 2s; }), 100},
    {"RcptToAnsweredAfterTwoSeconds", script_with([](auto& s) { s.rcpt_to.delay = 2s; }), 100},
    {"DataAnsweredLate", script_with([](auto& s) { s.data.delay = 2s; }), 100},
    // The message does not fit into the socket's buffer (about 200 KiB on a Unix-domain socket),
    // so its write is still going on.
    {"MessageWriteStillGoingOn", script_with([](auto& s) { s.data_pause = 3s; }), 2 << 20, true},
};

class StalledForward : public Dispatch, public testing::WithParamInterface<stall_case> {};

TEST_P(StalledForward, IsAbandonedAtTheTimeoutAndNothingIsDelivered) {
    const stall_case& c = GetParam();
    test_support::temp_dir dir;
    std::unique_ptr<test_support::fake_mail_server> unix_mail;
    Config config = base_config();
    test_support::fake_mail_server* mail = &mail_;
    if (c.over_unix) {
        unix_mail = std::make_unique<test_support::fake_mail_server>(
            test_support::fake_mail_script{}, dir.file("mx"));
        config.forward_socket_path = unix_mail->socket_path();
        mail = unix_mail.get();
    }
    mail->set_script(c.script);
    const std::string transport = c.over_unix ? "Unix" : "TCP";
    std::string body;
    const std::string line = std::string(98, 'b') + "\r\n";
    while (body.size() < c.body_bytes)
        body += line;
    timed_out_transaction(config, "Subject: stalled\r\n\r\n" + body + ".\r\n");
    EXPECT_TRUE(log_.wait_for(level_enum::warn, abandoned_line(transport)));
    // The mail server goes on after its stall and finds the connection closed.
    ASSERT_TRUE(mail->wait_for_closed(1, 10s));
    EXPECT_TRUE(mail->deliveries().empty());
    const auto connection = mail->connections().at(0);
    EXPECT_FALSE(connection.data.ends_with("\r\n.\r\n"));
    if (c.body_bytes > 1000) {
        EXPECT_FALSE(connection.data.empty()) << "the message's write had not begun";
    }
    EXPECT_EQ(log_.count(level_enum::warn, abandoned_line(transport)), 1u);
    // Nothing is written to the closed session, and the forward logs no failure of its own.
    EXPECT_FALSE(log_.contains("Write error"));
    EXPECT_FALSE(log_.contains("Resetting session"));
    EXPECT_FALSE(log_.contains("SMTP Client (" + transport + ") read failed"));
    EXPECT_FALSE(log_.contains("SMTP Client (" + transport + ") write failed"));

    // The next session is served as usual.
    mail->set_script({});
    auto next = open();
    EXPECT_EQ(transaction(*next, {"<b@example.org>"}),
              lines("250 OK: Message accepted for scanning"));
    ASSERT_TRUE(mail->wait_for_deliveries(1, 5s));
    EXPECT_EQ(mail->deliveries()[0].recipients, std::vector<std::string>{"<b@example.org>"});
}

INSTANTIATE_TEST_SUITE_P(Stalls, StalledForward, testing::ValuesIn(stall_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatch, ForwardPastItsFinalDotAtTimeoutDeliversExactlyOnce) {
    test_support::fake_mail_script slow;
    slow.message = test_support::fake_step::delayed("250 2.0.0 Ok: queued as 5A\r\n", 2s);
    mail_.set_script(slow);
    timed_out_transaction(base_config(), stuffed_message + ".\r\n");
    // The dialogue runs to its QUIT; the late answer then finds the session closed.
    EXPECT_TRUE(log_.wait_for_part("[" + id_ + "] Write error: "));
    ASSERT_TRUE(mail_.wait_for_closed(1, 5s));
    EXPECT_EQ(mail_.connections().at(0).commands.back(), "QUIT");
    ASSERT_EQ(mail_.deliveries().size(), 1u);
    EXPECT_EQ(mail_.deliveries()[0].data, received_message);
    EXPECT_FALSE(log_.contains(abandoned_line()));

    mail_.set_script({});
    auto next = open();
    EXPECT_EQ(transaction(*next, {"<b@example.org>"}),
              lines("250 OK: Message accepted for scanning"));
    ASSERT_TRUE(mail_.wait_for_deliveries(2, 5s));
    EXPECT_EQ(mail_.deliveries().size(), 2u);
}

TEST_F(Dispatch, CommandsSentDuringTheScanAreAnsweredAfterTheVerdict) {
    rspamd_reply slow = rspamd_reply::json(R"({"action":"reject"})");
    slow.delay = 300ms;
    rspamd_.push(slow);
    auto opened = open();
    auto& client = *opened;
    send_envelope(client, {"<a@example.org>"});
    client.send(stuffed_message + ".\r\nNOOP\r\nRSET\r\n");
    EXPECT_EQ(client.read_lines(3),
              (std::vector<std::string>{"554 5.7.1 Message rejected due to content policies",
                                        "502 Command not implemented", "250 OK"}));
}

TEST_F(Dispatch, NextTransactionFallsBackToPeerAddressAndLhloName) {
    auto opened = open();
    auto& client = *opened;
    transaction(client, {"<a@example.org>"}, "ADDR=192.0.2.10 HELO=client.example IDENT=Q1");
    client.send("MAIL FROM:<>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n");
    client.read_lines(3);
    client.send("Subject: x\n\nbody\n.\n");
    EXPECT_EQ(client.read_line(), "250 OK: Message accepted for scanning");
    ASSERT_TRUE(rspamd_.wait_for_requests(2, 5s));
    const auto second = rspamd_.requests()[1];
    EXPECT_EQ(second.body, "Subject: x\n\nbody\n");
    EXPECT_EQ(second.values("From"), std::vector<std::string>{"<>"});
    EXPECT_EQ(second.values("IP"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(second.values("Helo"), std::vector<std::string>{"lmtp.client"});
    EXPECT_TRUE(second.values("Queue-Id").empty());
}

TEST_F(Dispatch, EmptyXforwardAddressKeepsThePeerAddress) {
    auto opened = open();
    auto& client = *opened;
    transaction(client, {"<a@example.org>"}, "ADDR= HELO=[UNAVAILABLE]");
    ASSERT_TRUE(rspamd_.wait_for_requests(1, 5s));
    const auto request = rspamd_.requests()[0];
    EXPECT_EQ(request.values("IP"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(request.values("Helo"), std::vector<std::string>{"lmtp.client"});
}

// The exit status of a child process that could not be kept from starting threads.
constexpr int cannot_forbid_threads = 77;

// Keeps this process from starting any further thread: a process limit of 0, under a user other
// than root, which the limit does not bind. False when a thread still starts.
bool forbid_new_threads() {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_NPROC, &none) != 0) return false;
    try {
        std::thread([] {}).join();
        return false;
    } catch (const std::system_error&) {
        return true;
    }
}

// In a child process: a scan that throws because the resolver's thread cannot start; the exit
// status is 0 when it was answered as a failed scan and the session went on.
int scan_without_resolver_thread() {
    log_capture log;
    Config config = test_config();
    config.rspamd_host = "localhost"; // a name, resolved on the event-loop library's own thread
    config.rspamd_port = 9;
    server_harness<tcp> harness(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), config);
    harness.start();
    lmtp_client<tcp> client(harness.endpoint());
    client.greeting();
    if (!forbid_new_threads()) ::_exit(cannot_forbid_threads);
    client.send("LHLO x\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n");
    client.read_lines(9);
    client.send("Subject: x\r\n\r\nbody\r\n.\r\n");
    const std::string answer = client.read_line();
    const std::string after = client.command("QUIT");
    const bool logged = log.contains("Rspamd client failed to start: ");
    std::fprintf(stderr, "answer \"%s\", then \"%s\", failure %slogged\n", answer.c_str(),
                 after.c_str(), logged ? "" : "not ");
    return answer == "451 Temporary local problem - could not connect to Rspamd" &&
                   after == "221 Bye" && logged
               ? 0
               : 1;
}

TEST(ScanThatCannotStart, IsAnsweredAsAFailedScanAndTheSessionGoesOn) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(scan_without_resolver_thread());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == cannot_forbid_threads)
        GTEST_SKIP() << "new threads could not be forbidden here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

TEST(UnixDispatch, MessageOnTheUnixListenerIsScannedWithoutAddress) {
    log_capture log;
    test_support::fake_rspamd rspamd;
    test_support::fake_mail_server mail;
    test_support::temp_dir dir;
    Config config = test_config();
    config.rspamd_port = rspamd.port();
    config.forward_port = mail.port();
    server_harness<local> harness(local::endpoint(dir.file("lmtp.sock")), config);
    harness.start();
    lmtp_client<local> client(harness.endpoint());
    client.greeting();
    client.send("LHLO\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n");
    client.read_lines(9);
    client.send("Subject: x\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(client.read_line(), "250 OK: Message accepted for scanning");
    ASSERT_TRUE(rspamd.wait_for_requests(1, 5s));
    EXPECT_TRUE(rspamd.requests()[0].values("IP").empty());
    EXPECT_TRUE(rspamd.requests()[0].values("Helo").empty());
    ASSERT_TRUE(mail.wait_for_deliveries(1, 5s));
    EXPECT_EQ(mail.deliveries()[0].data, "Subject: x\r\n\r\nbody\r\n");
}

} // namespace
