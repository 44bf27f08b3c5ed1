// The LMTP dialogue over loopback TCP and a Unix-domain socket, with no scanner or mail server:
// greeting, session ids, commands and their replies, pipelining, XFORWARD, the idle time-out;
// then the session's end against peers that stall: a scan pending at the stop, a slow QUIT.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
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

const std::vector<std::string> lhlo_lines = {"250-localhost",
                                             "250-PIPELINING",
                                             "250-8BITMIME",
                                             "250-SMTPUTF8",
                                             "250-XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE",
                                             "250 OK"};

// The loopback endpoint on a free port.
tcp::endpoint loopback() {
    return {asio::ip::make_address("127.0.0.1"), 0};
}

// A configuration whose sessions time out after `seconds`.
Config with_timeout(int seconds) {
    Config config = test_config();
    config.timeout_seconds = seconds;
    return config;
}

// A TCP server that runs from the start, with the log captured.
class TcpSession : public testing::Test {
  protected:
    explicit TcpSession(Config config = test_config()) : harness_(loopback(), std::move(config)) {
        harness_.start();
    }

    lmtp_client<tcp> connect() { return lmtp_client<tcp>(harness_.endpoint()); }

    log_capture log_;
    server_harness<tcp> harness_;
};

TEST_F(TcpSession, GreetsAndLogsConsecutiveIdsWithThePeerAddress) {
    const std::uint64_t first = session_counter.load();
    auto client = connect();
    EXPECT_EQ(client.greeting(), "220 localhost LMTP server ready");
    auto second = connect();
    EXPECT_EQ(second.greeting(), "220 localhost LMTP server ready");
    EXPECT_TRUE(log_.has(level_enum::info,
                         fmt::format("Starting LMTP session [{:016x}] from 127.0.0.1", first)));
    EXPECT_TRUE(log_.has(level_enum::info,
                         fmt::format("Starting LMTP session [{:016x}] from 127.0.0.1", first + 1)));
}

TEST_F(TcpSession, LhloInLowerCaseGetsTheSixLines) {
    auto client = connect();
    client.greeting();
    client.send("lhlo mx.example.org\r\n");
    EXPECT_EQ(client.read_lines(6), lhlo_lines);
    client.send("LHLO\r\n");
    EXPECT_EQ(client.read_lines(6), lhlo_lines);
}

TEST_F(TcpSession, PipelinedCommandsAreAnsweredOneByOneInOrder) {
    auto client = connect();
    client.greeting();
    client.send("EHLO mx\r\nHELO mx\r\nNOOP\r\n\r\nVRFY a\r\nMAIL FROM <a@example.org>\r\n"
                "MAIL FROM:<a@example.org> BODY=8BITMIME\r\nrcpt to:<b@example.org>\r\n"
                "RCPT TO:<b@example.org>\r\nXFORWARD NAME=mx\r\nRSET\r\nDATA\r\n");
    const std::vector<std::string> expected = {
        "502 Command not implemented",
        "502 Command not implemented",
        "502 Command not implemented",
        "502 Command not implemented",
        "502 Command not implemented",
        "502 Command not implemented",
        "250 OK",
        "250 OK",
        "250 OK",
        "250 OK",
        "250 OK",
        "354 End data with <CR><LF>.<CR><LF>",
    };
    EXPECT_EQ(client.read_lines(expected.size()), expected);
    EXPECT_EQ(client.read_line(200ms), timed_out);
}

TEST_F(TcpSession, CommandsBehindRsetAndQuitInOnePacket) {
    auto client = connect();
    client.greeting();
    client.send("LHLO mx\r\nMAIL FROM:<a@example.org>\r\nRSET\r\nRCPT TO:<b@example.org>\r\n"
                "QUIT\r\nNOOP\r\n");
    EXPECT_EQ(client.read_lines(6), lhlo_lines);
    EXPECT_EQ(client.read_lines(4),
              (std::vector<std::string>{"250 OK", "250 OK", "250 OK", "221 Bye"}));
    EXPECT_TRUE(client.at_end());
}

TEST_F(TcpSession, QuitClosesAfterTheReplyAndStopsTwice) {
    auto client = connect();
    client.greeting();
    EXPECT_EQ(client.command("QUIT"), "221 Bye");
    EXPECT_TRUE(client.at_end());
    const std::string id = fmt::format("{:016x}", session_counter.load() - 1);
    EXPECT_TRUE(log_.wait_for(level_enum::debug, "[" + id + "] Stopping session"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log_.count(level_enum::debug, "[" + id + "] Stopping session"), 2u);
}

TEST_F(TcpSession, XforwardLogsUnknownNamesAndTheCapturedValues) {
    auto client = connect();
    client.greeting();
    const std::string id = fmt::format("{:016x}", session_counter.load() - 1);
    EXPECT_EQ(client.command("XFORWARD NAME=mx.example.org ADDR=192.0.2.10 HELO=[UNAVAILABLE] "
                             "name=x junk IDENT=[TEMPUNAVAIL]"),
              "250 OK");
    EXPECT_EQ(client.command("XFORWARD HELO=client.example IDENT=4QzV1"), "250 OK");
    EXPECT_TRUE(log_.has(level_enum::warn, "[" + id + "] Unknown XFORWARD parameter: name"));
    EXPECT_EQ(log_.count(level_enum::warn, "[" + id + "] Unknown XFORWARD parameter: name"), 1u);
    EXPECT_TRUE(log_.has(level_enum::info, "[" + id +
                                               "] XFORWARD data received - ADDR: 192.0.2.10, "
                                               "NAME: mx.example.org, HELO: , IDENT: "));
    EXPECT_TRUE(log_.has(level_enum::info,
                         "[" + id +
                             "] XFORWARD data received - ADDR: 192.0.2.10, NAME: mx.example.org, "
                             "HELO: client.example, IDENT: 4QzV1"));
}

TEST_F(TcpSession, ClientClosingInTheMiddleOfALineEndsTheSession) {
    auto client = connect();
    client.greeting();
    client.send("LHLO mx");
    client.shutdown_send();
    EXPECT_TRUE(client.at_end());
    const std::string id = fmt::format("{:016x}", session_counter.load() - 1);
    EXPECT_TRUE(log_.wait_for(level_enum::info, "[" + id + "] Client disconnected (EOF)"));
    EXPECT_FALSE(log_.contains("Command: LHLO"));
}

// The socket of this process whose peer is the client socket `client`, or -1.
int accepted_descriptor(int client) {
    sockaddr_in client_self{};
    sockaddr_in client_peer{};
    socklen_t client_length = sizeof(client_self);
    getsockname(client, reinterpret_cast<sockaddr*>(&client_self), &client_length);
    client_length = sizeof(client_peer);
    getpeername(client, reinterpret_cast<sockaddr*>(&client_peer), &client_length);
    const auto client_port = ntohs(client_self.sin_port);
    const auto server_port = ntohs(client_peer.sin_port);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in peer{};
        sockaddr_in self{};
        socklen_t length = sizeof(peer);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        length = sizeof(self);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) continue;
        if (peer.sin_family == AF_INET && ntohs(peer.sin_port) == client_port &&
            ntohs(self.sin_port) == server_port) {
            return fd;
        }
    }
    return -1;
}

TEST_F(TcpSession, AcceptedConnectionHasNagleDisabled) {
    auto client = connect();
    client.greeting();
    const int fd = accepted_descriptor(client.descriptor());
    ASSERT_GE(fd, 0);
    int value = 0;
    socklen_t length = sizeof(value);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
    EXPECT_NE(value, 0);
}

TEST(AcceptLoop, PeerAddressUnreadableDropsTheConnectionWithoutAnId) {
    log_capture log;
    server_harness<tcp> harness(loopback());
    {
        // Reset by the peer while still in the listen backlog: accepted, but without a peer.
        asio::io_context io_context;
        tcp::socket doomed(io_context);
        doomed.connect(harness.endpoint());
        doomed.set_option(asio::socket_base::linger(true, 0));
        doomed.close();
    }
    std::this_thread::sleep_for(100ms);
    const std::uint64_t next = session_counter.load();
    harness.start();
    ASSERT_TRUE(log.wait_for(level_enum::err, "Accept error: Transport endpoint is not connected"));
    lmtp_client<tcp> client(harness.endpoint());
    EXPECT_EQ(client.greeting(), "220 localhost LMTP server ready");
    EXPECT_TRUE(log.has(level_enum::info,
                        fmt::format("Starting LMTP session [{:016x}] from 127.0.0.1", next)));
    EXPECT_FALSE(log.contains("from local"));
}

// The highest descriptor number this process has open.
int highest_descriptor() {
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    return highest;
}

TEST(AcceptLoop, FailedAcceptsAreLoggedAndAcceptingResumes) {
    log_capture log;
    server_harness<tcp> harness(loopback());
    harness.start();
    asio::io_context io_context;
    tcp::socket client(io_context);
    client.open(tcp::v4());
    // The sanitizers' type checks may need a descriptor the first time they meet a type: meet
    // the types of the error's log line now.
    spdlog::info("before exhaustion: {}",
                 boost::system::error_code(EMFILE, boost::system::system_category()).message());
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit exhausted = original;
    exhausted.rlim_cur = static_cast<rlim_t>(highest_descriptor()) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    std::vector<int> fillers; // take the free numbers below the limit as well
    for (int fd = dup(0); fd >= 0; fd = dup(0))
        fillers.push_back(fd);
    const std::uint64_t next = session_counter.load();
    client.connect(harness.endpoint());
    const bool logged = log.wait_for(level_enum::err, "Accept error: Too many open files");
    for (const int fd : fillers)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
    EXPECT_TRUE(logged);
    asio::streambuf buffer;
    asio::read_until(client, buffer, "\r\n");
    EXPECT_TRUE(log.wait_for(level_enum::info,
                             fmt::format("Starting LMTP session [{:016x}] from 127.0.0.1", next)));
}

// Sessions whose idle timer runs out after one second.
class ShortTimeout : public TcpSession {
  protected:
    ShortTimeout() : TcpSession(with_timeout(1)) {}
};

TEST_F(ShortTimeout, SilentClientIsTimedOutAndClosed) {
    auto client = connect();
    EXPECT_EQ(client.greeting(), "220 localhost LMTP server ready");
    const std::string id = fmt::format("{:016x}", session_counter.load() - 1);
    EXPECT_EQ(client.read_line(3s), "421 4.4.2 Connection timeout");
    EXPECT_TRUE(client.at_end());
    EXPECT_TRUE(log_.has(level_enum::warn, "[" + id + "] Session timeout after 1 seconds"));
}

TEST_F(ShortTimeout, EveryDataLineRearmsTheTimer) {
    auto client = connect();
    client.greeting();
    EXPECT_EQ(client.command("DATA"), "354 End data with <CR><LF>.<CR><LF>");
    for (int i = 0; i < 5; ++i) {
        client.send("line\r\n");
        EXPECT_EQ(client.read_line(400ms), timed_out);
    }
    EXPECT_EQ(client.read_line(3s), "421 4.4.2 Connection timeout");
}

TEST_F(ShortTimeout, LineTricklingInIsTimedOut) {
    auto client = connect();
    client.greeting();
    client.send("NO");
    EXPECT_EQ(client.read_line(600ms), timed_out);
    client.send("O");
    EXPECT_EQ(client.read_line(3s), "421 4.4.2 Connection timeout");
    EXPECT_TRUE(client.at_end());
}

TEST(ZeroTimeout, GreetsThenTimesOutAtOnce) {
    log_capture log;
    server_harness<tcp> harness(loopback(), with_timeout(0));
    harness.start();
    lmtp_client<tcp> client(harness.endpoint());
    EXPECT_EQ(client.read_lines(2), (std::vector<std::string>{"220 localhost LMTP server ready",
                                                              "421 4.4.2 Connection timeout"}));
    EXPECT_TRUE(client.at_end());
}

// How a client ends its session while the expiry of the idle timer is already due.
struct ending_case {
    const char* name;
    bool quit; // sends QUIT and reads "221 Bye"; otherwise closes its side of the connection
};

// Names the case in test listings.
void PrintTo(const ending_case& c, std::ostream* out) {
    *out << c.name;
}

class IdleTimer : public testing::TestWithParam<ending_case> {};

TEST_P(IdleTimer, SessionEndedWithTheExpiryAlreadyDueStaysQuiet) {
    log_capture log;
    server_harness<tcp> harness(loopback(), with_timeout(1));
    harness.start();
    lmtp_client<tcp> client(harness.endpoint());
    ASSERT_EQ(client.greeting(), "220 localhost LMTP server ready");
    // The loop is held past the expiry while the client ends: both are due when it goes on.
    std::promise<void> holding;
    harness.post([&holding] {
        holding.set_value();
        std::this_thread::sleep_for(1500ms);
    });
    holding.get_future().wait();
    if (GetParam().quit) {
        client.send("QUIT\r\n");
        EXPECT_EQ(client.read_line(5s), "221 Bye");
    } else {
        client.shutdown_send();
    }
    EXPECT_TRUE(client.at_end());
    // Past the time-out once more: a stopped session neither answers nor re-arms its timer.
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(log.contains("Session timeout"));
    EXPECT_FALSE(log.contains("Write error"));
    EXPECT_TRUE(log.contains("Stopping session"));
}

INSTANTIATE_TEST_SUITE_P(Endings, IdleTimer,
                         testing::Values(ending_case{"Quit", true},
                                         ending_case{"EndOfStream", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigProvider, EachConnectionKeepsTheConfigurationOfItsAccept) {
    log_capture log;
    server_harness<tcp> harness(loopback(), with_timeout(1));
    harness.start();
    lmtp_client<tcp> early(harness.endpoint());
    early.greeting();
    harness.set_config(with_timeout(30));
    lmtp_client<tcp> late(harness.endpoint());
    late.greeting();
    EXPECT_EQ(early.read_line(3s), "421 4.4.2 Connection timeout");
    EXPECT_EQ(late.command("NOOP"), "502 Command not implemented");
}

TEST(UnixSession, GreetsAndLogsLocalAsThePeer) {
    log_capture log;
    test_support::temp_dir dir;
    server_harness<local> harness(local::endpoint(dir.file("lmtp.sock")));
    harness.start();
    const std::uint64_t id = session_counter.load();
    lmtp_client<local> client(harness.endpoint());
    EXPECT_EQ(client.greeting(), "220 localhost LMTP server ready");
    EXPECT_TRUE(
        log.has(level_enum::info, fmt::format("Starting LMTP session [{:016x}] from local", id)));
    client.send("LHLO mx\r\nQUIT\r\n");
    EXPECT_EQ(client.read_lines(6), lhlo_lines);
    EXPECT_EQ(client.read_line(), "221 Bye");
    EXPECT_TRUE(client.at_end());
}

// The descriptors this process has open.
long open_descriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Waits until `done` holds, polling; false when `limit` passes first.
template <class Done> bool eventually(Done done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A TCP server whose sessions time out after 2 s, scanning with the fake Rspamd and forwarding
// to the fake mail server.
class StalledPeer : public testing::Test {
  protected:
    StalledPeer() : harness_(loopback(), peer_config()) { harness_.start(); }

    Config peer_config() const {
        Config config = with_timeout(2);
        config.rspamd_port = rspamd_.port();
        config.forward_port = mail_.port();
        return config;
    }

    // A greeted client that has sent one transaction to the end of its data.
    std::unique_ptr<lmtp_client<tcp>> send_transaction(const std::string& name) {
        auto client = std::make_unique<lmtp_client<tcp>>(harness_.endpoint());
        EXPECT_EQ(client->greeting(), "220 localhost LMTP server ready");
        client->send("LHLO mx\r\nMAIL FROM:<" + name +
                     "@example.org>\r\n"
                     "RCPT TO:<b@example.org>\r\nDATA\r\n");
        client->read_lines(lhlo_lines.size() + 3);
        client->send("Subject: " + name + "\r\n\r\nbody\r\n.\r\n");
        return client;
    }

    // Runs one transaction that is scanned and delivered, answered as such.
    void expect_delivered(const std::string& name) {
        auto client = send_transaction(name);
        EXPECT_EQ(client->read_line(), "250 OK: Message accepted for scanning") << name;
        EXPECT_EQ(client->command("QUIT"), "221 Bye");
    }

    log_capture log_;
    test_support::fake_rspamd rspamd_;
    test_support::fake_mail_server mail_;
    server_harness<tcp> harness_;
};

TEST_F(StalledPeer, SlowAnswerToQuitHoldsNeitherTheReplyNorTheDelivery) {
    test_support::fake_mail_script script;
    script.quit = test_support::fake_step::delayed("221 2.0.0 Bye\r\n", 4s);
    mail_.set_script(script);
    auto client = send_transaction("slow-quit");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->read_line(5s), "250 OK: Message accepted for scanning");
    const auto answered = std::chrono::steady_clock::now() - start;
    std::cout << "[ figures  ] answered after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(answered).count()
              << " ms, the mail server answering QUIT after 4000 ms\n";
    EXPECT_LT(answered, 500ms);
    EXPECT_EQ(client->command("QUIT"), "221 Bye");
    EXPECT_TRUE(client->at_end());
    // The mail server's late "221" is still read; the message went out once.
    ASSERT_TRUE(mail_.wait_for_closed(1, 8s));
    EXPECT_EQ(mail_.connections().at(0).commands.back(), "QUIT");
    EXPECT_EQ(mail_.deliveries().size(), 1u);
    EXPECT_TRUE(log_.wait_for(level_enum::debug, "S: 221 2.0.0 Bye"));
    EXPECT_FALSE(log_.contains("QUIT failed"));
    EXPECT_FALSE(log_.contains("Session timeout"));
}

// The connections of this process to the fake scanner listening at `port`.
long connections_to(std::uint16_t port) {
    long count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        const int fd = std::stoi(entry.path().filename().string());
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        if (peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) ++count;
    }
    return count;
}

TEST_F(StalledPeer, ScansPendingAtTheTimeOutAreGivenUpAndTheNextMessageIsScanned) {
    expect_delivered("warm-up"); // the loop's and the logger's own descriptors are there now
    ASSERT_TRUE(mail_.wait_for_closed(1, 5s));
    ASSERT_TRUE(eventually([&] { return rspamd_.closed_connections() == 1; }));
    std::this_thread::sleep_for(200ms); // the fakes close their sides after ours
    const long before = open_descriptors();
    rspamd_.respond_with([](const test_support::rspamd_request&) {
        return test_support::rspamd_reply::silence(); // takes the request, never answers
    });
    constexpr int sessions = 60;
    {
        std::vector<std::unique_ptr<lmtp_client<tcp>>> clients;
        for (int i = 0; i < sessions; ++i)
            clients.push_back(send_transaction("silent" + std::to_string(i)));
        ASSERT_TRUE(rspamd_.wait_for_requests(1 + sessions, 10s));
        for (auto& client : clients) {
            EXPECT_EQ(client->read_line(5s), "421 4.4.2 Connection timeout");
            EXPECT_TRUE(client->at_end());
        }
    }
    const bool closed = eventually([&] { return connections_to(rspamd_.port()) == 0; });
    const bool back = eventually([&] { return open_descriptors() == before; });
    std::cout << "[ figures  ] descriptors before " << before << ", after " << sessions
              << " time-outs " << open_descriptors() << "; connections to the scanner left "
              << connections_to(rspamd_.port()) << "\n";
    EXPECT_TRUE(closed) << "scans still hold their connections to the silent scanner";
    EXPECT_TRUE(back) << open_descriptors() << " descriptors open, " << before << " before";
    EXPECT_TRUE(eventually([&] { return rspamd_.closed_connections() == 1 + sessions; }));
    EXPECT_EQ(log_.count(level_enum::warn,
                         "Rspamd client (TCP) scan abandoned: the LMTP session has closed"),
              static_cast<std::size_t>(sessions));
    EXPECT_FALSE(log_.contains("Write error"));
    EXPECT_TRUE(mail_.deliveries().size() == 1u) << "a message given up was forwarded";

    // The scanner answers again: the next message is scanned and delivered.
    rspamd_.respond_with([](const test_support::rspamd_request&) {
        return test_support::rspamd_reply::default_verdict();
    });
    expect_delivered("after");
    ASSERT_TRUE(mail_.wait_for_deliveries(2, 5s));
    EXPECT_EQ(mail_.deliveries().back().sender, "<after@example.org>");
}

} // namespace
