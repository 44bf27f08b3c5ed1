// The scanner client's transports: which one a configuration picks, resolve and connect failures,
// the two kinds of over-long input that fail the scan, write failures, silence, a scan given up,
// and concurrency.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "scan_fixture.hpp"
#include "support/fake_rspamd.hpp"
#include "support/test_env.hpp"

namespace scan_testing {
namespace {

using boost::asio::ip::tcp;
using test_support::fake_rspamd;
using test_support::rspamd_listen;
using test_support::rspamd_reply;

using scan_connection = scan_test;

TEST_F(scan_connection, SocketPathSelectsUnixEvenWithHostAndPortSet) {
    test_support::temp_dir dir;
    fake_rspamd over_tcp;
    fake_rspamd over_unix(rspamd_listen{"", dir.file("rspamd.sock")});
    Config config = tcp_config("127.0.0.1", over_tcp.port());
    config.rspamd_socket_path = over_unix.unix_path();
    const auto outcome = scan(config);
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply, rspamd_reply::default_verdict().bytes.substr(
                                 rspamd_reply::default_verdict().bytes.find("\r\n\r\n") + 4));
    EXPECT_EQ(over_unix.requests().size(), 1u);
    EXPECT_EQ(over_tcp.connections(), 0u);
}

TEST_F(scan_connection, EmptySocketPathSelectsTcp) {
    test_support::temp_dir dir;
    fake_rspamd over_tcp;
    fake_rspamd over_unix(rspamd_listen{"", dir.file("rspamd.sock")});
    const auto outcome = scan(tcp_config("127.0.0.1", over_tcp.port()));
    expect_one_late_call(outcome);
    EXPECT_FALSE(outcome.reply.empty());
    EXPECT_EQ(over_tcp.requests().size(), 1u);
    EXPECT_EQ(over_unix.connections(), 0u);
}

// A configuration that cannot reach a scanner and the one error line it must give.
struct unreachable_case {
    const char* name;
    Config config;
    std::string error;
};

// A path of exactly `size` bytes inside `dir` (which must be shorter).
std::string path_of_size(const test_support::temp_dir& dir, std::size_t size) {
    const std::string prefix = dir.path().string() + "/";
    return prefix + std::string(size - prefix.size(), 'r');
}

TEST_F(scan_connection, UnreachableScannerGivesOneErrorAndTheEmptyText) {
    test_support::temp_dir dir;
    // A label over 63 bytes is refused by the resolver library before any query is sent.
    const std::string no_such_host = std::string(64, 'n') + ".invalid";
    const unreachable_case cases[] = {
        {"NameThatDoesNotExist", tcp_config(no_such_host, 11333),
         "[error] Rspamd client (TCP) resolve failed: Host not found (authoritative)"},
        {"EmptyHostAndPortZero", tcp_config("", 0),
         "[error] Rspamd client (TCP) connect failed: Connection refused"},
        {"MissingSocketFile", unix_config(dir.file("absent.sock")),
         "[error] Rspamd client (Unix) connect failed: No such file or directory"},
        {"SocketPathOf108Bytes", unix_config(path_of_size(dir, 108)),
         "[error] Rspamd client (Unix) connect failed: File name too long"},
        {"SocketPathFarTooLong", unix_config(path_of_size(dir, 4000)),
         "[error] Rspamd client (Unix) connect failed: File name too long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = error_lines().size();
        const auto outcome = scan(c.config);
        expect_one_late_call(outcome);
        EXPECT_EQ(outcome.reply, "");
        const auto errors = error_lines();
        ASSERT_EQ(errors.size(), before + 1);
        EXPECT_EQ(errors.back(), c.error);
    }
}

// Lowers the open-file limit so that the next descriptor cannot be had; restores it on exit.
class descriptor_starvation {
  public:
    descriptor_starvation() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int next_free = ::dup(0); // every lower descriptor is in use
        ::close(next_free);
        rlimit starved = saved_;
        starved.rlim_cur = static_cast<rlim_t>(next_free);
        ::setrlimit(RLIMIT_NOFILE, &starved);
    }
    ~descriptor_starvation() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    descriptor_starvation(const descriptor_starvation&) = delete;
    descriptor_starvation& operator=(const descriptor_starvation&) = delete;

  private:
    rlimit saved_{};
};

TEST_F(scan_connection, SocketThatCannotBeOpenedFailsLaterFromTheLoop) {
    test_support::temp_dir dir;
    const Config config = unix_config(dir.file("absent.sock"));
    scan(config); // sets up the loop's reactor, which needs descriptors of its own
    std::shared_ptr<scan_outcome> outcome;
    {
        descriptor_starvation starved;
        outcome = start_scan(config, {});
    }
    run_io();
    expect_one_late_call(*outcome);
    EXPECT_EQ(outcome->reply, "");
    EXPECT_EQ(error_lines().back(),
              "[error] Rspamd client (Unix) connect failed: Too many open files");
}

TEST_F(scan_connection, SocketPathOf107BytesIsConnected) {
    test_support::temp_dir dir;
    fake_rspamd rspamd(rspamd_listen{"", path_of_size(dir, 107)});
    const Config config = unix_config(rspamd.unix_path());
    const auto outcome = scan(config);
    expect_one_late_call(outcome);
    EXPECT_FALSE(outcome.reply.empty());
    EXPECT_EQ(rspamd.requests().size(), 1u);
}

TEST_F(scan_connection, FirstAddressRefusesAndSecondAccepts) {
    // The missing host name resolves to the loopback addresses, in the resolver's order.
    boost::asio::io_context lookup;
    tcp::resolver resolver(lookup);
    const auto results = resolver.resolve("", "0");
    if (results.size() < 2) GTEST_SKIP() << "fewer than two loopback addresses";
    const auto first = results.begin()->endpoint().address();
    const auto second = std::next(results.begin())->endpoint().address();
    fake_rspamd rspamd(rspamd_listen{second.to_string(), ""});
    tcp::socket blocker(lookup); // bound but not listening: connects to it are refused
    boost::system::error_code ec;
    blocker.open(tcp::endpoint(first, 0).protocol(), ec);
    if (!ec) blocker.bind(tcp::endpoint(first, rspamd.port()), ec);
    if (ec) GTEST_SKIP() << "cannot hold " << first << " port " << rspamd.port();

    const Config config = tcp_config("", rspamd.port());
    const auto outcome = scan(config);
    expect_one_late_call(outcome);
    EXPECT_FALSE(outcome.reply.empty());
    EXPECT_TRUE(error_lines().empty());
    const auto requests = rspamd.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].values("Host"), std::vector<std::string>{""});
}

TEST_F(scan_connection, WriteFailureGivesOneErrorAndNoRead) {
    test_support::temp_dir dir;
    for (bool over_unix : {false, true}) {
        SCOPED_TRACE(over_unix ? "Unix" : "TCP");
        auto rspamd =
            over_unix ? std::make_unique<fake_rspamd>(rspamd_listen{"", dir.file("rspamd.sock")})
                      : std::make_unique<fake_rspamd>();
        // The fake reads nothing and hangs up while the request, far larger than the socket
        // buffers, is still being written.
        rspamd_reply hang_up;
        hang_up.before_request = true;
        hang_up.delay = 200ms;
        hang_up.after = over_unix ? rspamd_reply::then::close : rspamd_reply::then::reset;
        rspamd->push(hang_up);
        const Config config =
            over_unix ? unix_config(rspamd->unix_path()) : tcp_config("127.0.0.1", rspamd->port());
        envelope data;
        data.message = "Subject: big\r\n\r\n" + std::string(32 << 20, 'b');
        const std::size_t before = error_lines().size();
        const auto outcome = scan(config, std::move(data));
        expect_one_late_call(outcome);
        EXPECT_EQ(outcome.reply, "");
        const auto errors = error_lines();
        ASSERT_EQ(errors.size(), before + 1);
        const std::string prefix = std::string("[error] Rspamd client (") +
                                   (over_unix ? "Unix" : "TCP") + ") write failed: ";
        EXPECT_EQ(errors.back().substr(0, prefix.size()), prefix);
        EXPECT_TRUE(rspamd->requests().empty());
    }
}

TEST_F(scan_connection, SilentScannerHoldsTheScanUntilItCloses) {
    auto rspamd = std::make_unique<fake_rspamd>();
    rspamd->push(rspamd_reply::silence());
    const Config config = tcp_config("127.0.0.1", rspamd->port());
    const auto outcome = start_scan(config, {});
    ioc_.run_for(300ms);
    EXPECT_FALSE(ioc_.stopped());
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(rspamd->requests().size(), 1u);
    rspamd.reset(); // closes the connection
    run_io();
    expect_one_late_call(*outcome);
    EXPECT_EQ(outcome->reply, "");
    EXPECT_EQ(error_lines(),
              std::vector<std::string>{"[error] Rspamd client (TCP) read failed: end of stream"});
}

// A scan given up at one of its steps, over one transport.
struct abandon_case {
    const char* name;
    bool over_unix;
    bool connected; // the request has reached the scanner, which stays silent
};

class scan_abandoned : public scan_test, public testing::WithParamInterface<abandon_case> {};

TEST_P(scan_abandoned, ClosesItsConnectionLogsOnceAndFailsFromTheLoop) {
    const auto& c = GetParam();
    test_support::temp_dir dir;
    fake_rspamd rspamd(rspamd_listen{"127.0.0.1", c.over_unix ? dir.file("rspamd.sock") : ""});
    rspamd.push(rspamd_reply::silence());
    const Config config =
        c.over_unix ? unix_config(rspamd.unix_path()) : tcp_config("127.0.0.1", rspamd.port());
    const auto outcome = start_scan(config, {});
    if (c.connected) {
        ioc_.run_for(300ms);
        ASSERT_EQ(rspamd.requests().size(), 1u);
    }
    ASSERT_FALSE(outcome->client.expired());
    outcome->client.lock()->abandon();
    EXPECT_EQ(outcome->calls, 0) << "completion called from within abandon";
    run_io(2s);
    expect_one_late_call(*outcome);
    EXPECT_EQ(outcome->reply, "");
    EXPECT_TRUE(outcome->client.expired());
    EXPECT_EQ(log_lines(), std::vector<std::string>{std::string("[warning] Rspamd client (") +
                                                    (c.over_unix ? "Unix" : "TCP") +
                                                    ") scan abandoned: the LMTP session has "
                                                    "closed"});
    // The scanner sees the connection end: nothing is left of the scan on either side.
    if (c.connected) {
        for (int i = 0; i < 100 && rspamd.closed_connections() == 0; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(rspamd.closed_connections(), 1u);
    } else {
        EXPECT_TRUE(rspamd.requests().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, scan_abandoned,
                         testing::Values(abandon_case{"TcpAwaitingTheReply", false, true},
                                         abandon_case{"UnixAwaitingTheReply", true, true},
                                         abandon_case{"TcpBeforeTheConnection", false, false},
                                         abandon_case{"UnixBeforeTheConnection", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanStoppedLoop, CompletionIsNeverCalledAndTheClientIsReleased) {
    fake_rspamd rspamd;
    rspamd.push(rspamd_reply::silence());
    const Config config = tcp_config("127.0.0.1", rspamd.port());
    int calls = 0;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        boost::asio::io_context ioc;
        std::string helo = "mx.example.org";
        send_to_rspamd(ioc, config, "<a@b>", {"<c@d>"}, "192.0.2.1", helo,
                       MailData::from_raw("Subject: x\r\n\r\nbody\r\n"), "",
                       [&calls, token = std::move(token)](std::string) { ++calls; });
        ioc.run_for(300ms);
        EXPECT_EQ(rspamd.requests().size(), 1u);
        ioc.stop();
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(watch.expired());
}

TEST_F(scan_connection, TwoMessagesInARowOpenTwoConnections) {
    fake_rspamd rspamd;
    const Config config = tcp_config("127.0.0.1", rspamd.port());
    expect_one_late_call(scan(config));
    expect_one_late_call(scan(config));
    EXPECT_EQ(rspamd.connections(), 2u);
    EXPECT_EQ(rspamd.requests().size(), 2u);
}

TEST_F(scan_connection, ManyScansAtOnceEachGetTheirOwnReply) {
    test_support::temp_dir dir;
    fake_rspamd rspamd(rspamd_listen{"127.0.0.1", dir.file("rspamd.sock")});
    rspamd.respond_with([](const test_support::rspamd_request& request) {
        return rspamd_reply::json(R"({"queue_id":")" + request.values("Queue-Id").at(0) + "\"}");
    });
    const Config over_tcp = tcp_config("127.0.0.1", rspamd.port());
    const Config over_unix = unix_config(rspamd.unix_path());
    std::vector<std::shared_ptr<scan_outcome>> outcomes;
    for (int i = 0; i < 20; ++i) {
        envelope data;
        data.queue_id = "Q" + std::to_string(i);
        outcomes.push_back(start_scan(i % 2 ? over_unix : over_tcp, std::move(data)));
    }
    run_io();
    for (std::size_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        expect_one_late_call(*outcomes[i]);
        EXPECT_EQ(outcomes[i]->reply, R"({"queue_id":"Q)" + std::to_string(i) + "\"}");
    }
    EXPECT_EQ(rspamd.connections(), 20u);
}

} // namespace
} // namespace scan_testing
