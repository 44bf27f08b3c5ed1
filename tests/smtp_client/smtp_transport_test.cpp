// The transports of the re-injection client: choosing TCP or the Unix-domain socket, connect and
// read failures, the completion contract, and many deliveries at once on one loop.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "smtp_client/delivery_fixture.hpp"
#include "smtp_client/smtp_client_unix.hpp"
#include "smtp_client/smtp_dialogue.hpp"
#include "support/fake_mail_server.hpp"
#include "support/test_env.hpp"

namespace smtp_client_testing {
namespace {

using test_support::fake_mail_script;
using test_support::fake_mail_server;
using test_support::fake_step;
using test_support::temp_dir;
using ::testing::HasSubstr;

// A TCP port on 127.0.0.1 that nothing listens on: bound once, then released.
std::uint16_t unused_port() {
    boost::asio::io_context io_context;
    boost::asio::ip::tcp::acceptor acceptor(io_context,
                                            {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

// A path inside `dir` exactly `length` bytes long.
std::string path_of_length(const temp_dir& dir, std::size_t length) {
    std::string path = dir.file("s");
    path.append(length - path.size(), 'x');
    return path;
}

using transport_test = delivery_test;

TEST_F(transport_test, DeliversOverTheUnixDomainSocket) {
    temp_dir dir;
    fake_mail_server server(fake_mail_script{}, dir.file("smtp.sock"));

    EXPECT_EQ(deliver(unix_config(server.socket_path()), delivery{}), true);
    EXPECT_EQ(server.connections().at(0).transcript,
              "EHLO " + ehlo_host_name() +
                  "\r\nMAIL FROM:<sender@example.org>\r\nRCPT TO:<rcpt@example.net>\r\n"
                  "DATA\r\nSubject: test\r\n\r\nHello\r\n.\r\nQUIT\r\n");
    EXPECT_TRUE(server.wait_for_closed(1, 5s)) << "the client did not close its connection";
}

TEST_F(transport_test, SocketPathWinsOverHostAndPort) {
    temp_dir dir;
    fake_mail_server tcp_server;
    fake_mail_server unix_server(fake_mail_script{}, dir.file("smtp.sock"));
    Config config = tcp_config(tcp_server.port());
    config.forward_socket_path = unix_server.socket_path();

    EXPECT_EQ(deliver(config, delivery{}), true);
    EXPECT_EQ(unix_server.deliveries().size(), 1u);
    EXPECT_TRUE(tcp_server.connections().empty());
}

TEST_F(transport_test, SocketPathOfTheLongestLengthIsConnectedTo) {
    temp_dir dir;
    fake_mail_server server(fake_mail_script{}, path_of_length(dir, 107));

    EXPECT_EQ(deliver(unix_config(server.socket_path()), delivery{}), true);
}

TEST_F(transport_test, SocketPathTooLongFailsLikeAConnectFromTheLoop) {
    temp_dir dir;
    for (const std::size_t length : {108U, 200U}) {
        SCOPED_TRACE(length);
        const Config config = unix_config(path_of_length(dir, length));
        // `deliver` fails the test when the completion runs inside send_email or leaves work.
        std::optional<bool> delivered;
        EXPECT_NO_THROW(delivered = deliver(config, delivery{}));
        EXPECT_EQ(delivered, false);
        EXPECT_EQ(log(), "[error] SMTP Client (Unix) connect failed: File name too long\n");
        log_.clear();
    }
}

TEST_F(transport_test, EmptyHostReachesTheServerOnLoopback) {
    fake_mail_server server; // on 127.0.0.1 only: "::1", resolved first, is refused
    Config config = tcp_config(server.port());
    config.forward_host = "";

    EXPECT_EQ(deliver(config, delivery{}), true);
    EXPECT_EQ(server.deliveries().size(), 1u);
}

TEST_F(transport_test, ConnectFailuresReportFalse) {
    temp_dir dir;
    struct connect_case {
        const char* name;
        Config config;
        const char* log_line;
    } cases[] = {
        {"no_listener", tcp_config(unused_port()),
         "[error] SMTP Client (TCP) connect failed: Connection refused\n"},
        {"no_forward_keys", Config{}, "[error] SMTP Client (TCP) connect failed: "},
        {"missing_socket_file", unix_config(dir.file("missing.sock")),
         "[error] SMTP Client (Unix) connect failed: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(deliver(c.config, delivery{}), false);
        EXPECT_THAT(log(), HasSubstr(c.log_line));
        log_.clear();
    }
}

TEST_F(transport_test, ServerClosingTheConnectionFailsTheRead) {
    temp_dir dir;
    struct close_case {
        const char* name;
        bool over_unix;
        const char* log_line;
    } cases[] = {
        {"closed_after_accepting_tcp", false,
         "[error] SMTP Client (TCP) read failed: End of file\n"},
        {"closed_after_accepting_unix", true,
         "[error] SMTP Client (Unix) read failed: End of file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_mail_script script;
        script.greeting = fake_step::close();
        fake_mail_server server(script, c.over_unix ? dir.file(c.name) : "");
        const Config config =
            c.over_unix ? unix_config(server.socket_path()) : tcp_config(server.port());

        EXPECT_EQ(deliver(config, delivery{}), false);
        EXPECT_THAT(log(), HasSubstr(c.log_line));
        log_.clear();
    }
}

TEST_F(transport_test, LastLineWithoutLineFeedIsNotTaken) {
    fake_mail_script script;
    script.greeting = fake_step::answer_then_close("220 fake.test ESMTP");
    fake_mail_server server(script);

    EXPECT_EQ(deliver(tcp_config(server.port()), delivery{}), false);
    EXPECT_THAT(log(), HasSubstr("[error] SMTP Client (TCP) read failed: End of file\n"));
    EXPECT_TRUE(server.connections().at(0).commands.empty());
}

TEST_F(transport_test, SilentServerHoldsTheCompletion) {
    fake_mail_script script;
    script.greeting = fake_step::silence();
    fake_mail_server server(script);
    const Config config = tcp_config(server.port());
    bool called = false;

    send_email(io_context_, config, "<a@example.org>", {"<b@example.org>"}, MailData{},
               XForwardData{}, [&called](bool) { called = true; });
    io_context_.run_for(200ms);
    EXPECT_FALSE(called);
    EXPECT_EQ(server.connections().size(), 1u);
}

TEST_F(transport_test, UnixClientRefusesResolvedAddresses) {
    const Config config = unix_config("/nonexistent.sock");
    std::vector<bool> results;
    auto client = std::make_shared<smtp_client_unix>(
        io_context_, config, "<a@example.org>", std::vector<std::string>{"<b@example.org>"},
        MailData{}, XForwardData{}, [&results](bool delivered) { results.push_back(delivered); });

    client->on_resolve({});
    EXPECT_EQ(results, std::vector<bool>{false});
    EXPECT_THAT(
        log(),
        HasSubstr("[error] SMTP Client (Unix): on_resolve called - this should not happen\n"));
}

TEST_F(transport_test, DeliveryAbandonedBeforeItsConnectionStandsFailsOnceWithoutSending) {
    temp_dir dir;
    fake_mail_server server(fake_mail_script{}, dir.file("mail.sock"));
    for (const Config& config : {tcp_config(server.port()), unix_config(server.socket_path())}) {
        const std::string transport = config.forward_socket_path.empty() ? "TCP" : "Unix";
        SCOPED_TRACE(transport);
        std::vector<bool> results;
        bool abandoned = false;
        std::weak_ptr<::delivery> forward;
        forward = send_email(io_context_, config, "<a@example.org>", {"<b@example.org>"},
                             MailData::from_raw("Subject: x\r\n\r\nbody\r\n"), XForwardData{},
                             [&](bool delivered) {
                                 results.push_back(delivered);
                                 abandoned = forward.lock()->abandoned();
                                 io_context_.stop();
                             });
        forward.lock()->abandon();
        EXPECT_TRUE(results.empty()) << "completion called from within abandon";
        run_io();
        EXPECT_EQ(results, std::vector<bool>{false});
        EXPECT_TRUE(abandoned);
        EXPECT_TRUE(forward.expired()) << "the client outlived its completion";
        EXPECT_THAT(log(), HasSubstr("[warning] SMTP Client (" + transport +
                                     ") delivery abandoned before the end of data: the LMTP "
                                     "session has closed\n"));
        EXPECT_THAT(log(), ::testing::Not(HasSubstr("[error]")));
        log_.clear();
    }
    for (const auto& connection : server.connections())
        EXPECT_TRUE(connection.commands.empty());
    EXPECT_TRUE(server.deliveries().empty());
}

TEST_F(transport_test, ManyDeliveriesRunAtOnceOnOneLoop) {
    fake_mail_server server;
    server.set_script_chooser([](std::size_t number) {
        fake_mail_script script;
        if (number % 2 == 1) script.rcpt_to = "550 5.1.1 unknown\r\n";
        return script;
    });
    const Config config = tcp_config(server.port());
    constexpr int count = 20;
    int delivered = 0;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        send_email(io_context_, config, "<a@example.org>", {"<b@example.org>"},
                   MailData::from_raw("Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"),
                   XForwardData{}, [&](bool ok) {
                       ++(ok ? delivered : failed);
                       if (delivered + failed == count) io_context_.stop();
                   });
    }
    run_io(10s);
    EXPECT_EQ(delivered, count / 2);
    EXPECT_EQ(failed, count / 2);
    // The deliveries that succeeded still say QUIT, after their completions.
    io_context_.restart();
    io_context_.run_for(5s);
    EXPECT_TRUE(io_context_.stopped()) << "a client kept work on the loop";
    EXPECT_TRUE(server.wait_for_deliveries(count / 2, 5s));
    EXPECT_TRUE(server.wait_for_closed(count, 5s));
}

} // namespace
} // namespace smtp_client_testing
