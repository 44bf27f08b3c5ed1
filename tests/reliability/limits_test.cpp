// Load and resource limits of the daemon binary: a thousand sessions waiting at once, a descriptor
// limit that runs out, a silent client, a 50 MB line and a 100 MB message, and a stop in the middle
// of the work that must leave nothing for the leak checker.
#include <iostream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "reliability/reliability_support.hpp"
#include "support/fake_mail_server.hpp"
#include "support/fake_rspamd.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::line_client;
using test_support::rspamd_reply;

const std::string greeting = "220 localhost LMTP server ready\r\n";
const std::string scanned = "250 OK: Message accepted for scanning\r\n";

// Reads the six lines of the reply to LHLO; true when they all came.
bool read_lhlo_reply(line_client& client) {
    for (int i = 0; i < 6; ++i) {
        if (client.read_line(20s).empty()) return false;
    }
    return true;
}

// Sends LHLO and the envelope of one transaction in one packet and reads their replies up to the
// "354"; true when they were as expected.
bool start_transaction(line_client& client, const std::string& id) {
    client.send("LHLO limits.test\r\nMAIL FROM:<" + id + "@limits.test>\r\nRCPT TO:<" + id +
                "@rcpt.test>\r\nDATA\r\n");
    return read_lhlo_reply(client) && client.read_line(20s) == "250 OK\r\n" &&
           client.read_line(20s) == "250 OK\r\n" &&
           client.read_line(20s) == "354 End data with <CR><LF>.<CR><LF>\r\n";
}

// A short message of transaction `id`, with its final ".".
std::string short_message(const std::string& id) {
    return "Subject: " + id + "\r\n\r\nbody of " + id + "\r\n.\r\n";
}

// The daemon between the two fakes, over TCP, with the session time-out `timeout`.
class Limits : public testing::Test {
  protected:
    // Starts the daemon; the test's own descriptor limit, which it inherits, is raised first.
    void start_daemon(int timeout, const std::string& level = "info") {
        reliability::raise_descriptor_limit(8192);
        port_ = test_support::free_tcp_port();
        daemon_ = std::make_unique<reliability::daemon_run>(
            reliability::tcp_config(port_, rspamd_.port(), mail_.port(), timeout, level));
        ASSERT_TRUE(daemon_->started()) << daemon_->standard_error();
    }

    // Whether a new client is greeted and its transaction `id` accepted within `wait`; names the
    // step that failed.
    testing::AssertionResult serves_transaction(const std::string& id,
                                                std::chrono::milliseconds wait = 10s) const {
        line_client client(port_);
        if (client.read_line() != greeting) return testing::AssertionFailure() << "no greeting";
        if (!start_transaction(client, id)) return testing::AssertionFailure() << "no 354";
        client.send(short_message(id));
        const std::string reply = client.read_line(wait);
        if (reply != scanned) return testing::AssertionFailure() << "answered: " << reply;
        return testing::AssertionSuccess();
    }

    // One transaction, then a wait until its session and its delivery (which ends after the
    // mail server's answer to QUIT) are gone: the sanitizers' type checks need a descriptor of
    // their own the first time they meet a type, which the daemon itself does not, so every type
    // of the road must have been met before the descriptors run out.
    testing::AssertionResult warm_up() const {
        const auto before = reliability::open_descriptors(daemon_->pid());
        if (auto served = serves_transaction("warm-up"); !served) return served;
        if (!test_support::wait_until(
                [&] { return reliability::open_descriptors(daemon_->pid()) <= before; }))
            return testing::AssertionFailure() << "the warm-up's descriptors stayed open";
        return testing::AssertionSuccess();
    }

    // Whether a new client is greeted and its QUIT answered.
    bool serves_new_session() const {
        line_client client(port_);
        if (client.read_line(10s) != greeting) return false;
        client.send("QUIT\r\n");
        return client.read_line(10s) == "221 Bye\r\n";
    }

    // Lowers the running daemon's soft descriptor limit to `soft` (the hard limit stays, so that
    // `restore_descriptor_limit` can undo it) and opens 80 connections; true once the daemon has
    // logged an accept that failed for want of a descriptor.
    bool exhaust_descriptors(rlim_t soft, std::vector<std::unique_ptr<line_client>>& clients) {
        rlimit low{};
        if (::prlimit(daemon_->pid(), RLIMIT_NOFILE, nullptr, &low) != 0) return false;
        saved_limit_ = low;
        low.rlim_cur = soft;
        if (::prlimit(daemon_->pid(), RLIMIT_NOFILE, &low, nullptr) != 0) return false;
        for (int i = 0; i < 80; ++i)
            clients.push_back(std::make_unique<line_client>(port_));
        return test_support::wait_until(
            [&] { return daemon_->log_count("[error] Accept error: Too many open files") > 0; },
            20s);
    }
    // Gives the daemon back the descriptor limit it had before `exhaust_descriptors`.
    bool restore_descriptor_limit() const {
        return ::prlimit(daemon_->pid(), RLIMIT_NOFILE, &saved_limit_, nullptr) == 0;
    }

    test_support::fake_rspamd rspamd_;
    test_support::fake_mail_server mail_;
    unsigned short port_ = 0;
    std::unique_ptr<reliability::daemon_run> daemon_;
    rlimit saved_limit_{};
};

TEST_F(Limits, ThousandSessionsWaitForASlowScannerAndAreAllAnswered) {
    constexpr std::size_t sessions = 1000;
    // Each session costs this process three descriptors (client, scanner, mail server).
    if (reliability::raise_descriptor_limit(8192) < 4 * sessions)
        GTEST_SKIP() << "the hard descriptor limit is too low for " << sessions << " sessions";
    rspamd_.respond_with([](const test_support::rspamd_request&) {
        rspamd_reply slow = rspamd_reply::default_verdict();
        slow.delay = 8s;
        return slow;
    });
    start_daemon(120);
    const long descriptors_before = reliability::open_descriptors(daemon_->pid());
    // All sessions are opened and brought to DATA first, then all messages go out at once, so
    // that every scan is pending within the scanner's delay.
    std::vector<std::unique_ptr<line_client>> clients;
    for (std::size_t i = 0; i < sessions; ++i) {
        clients.push_back(std::make_unique<line_client>(port_));
        ASSERT_TRUE(clients.back()->connected()) << i;
        ASSERT_EQ(clients.back()->read_line(20s), greeting) << i;
        ASSERT_TRUE(start_transaction(*clients.back(), "load" + std::to_string(i))) << i;
    }
    const auto sent = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < sessions; ++i)
        clients[i]->send(short_message("load" + std::to_string(i)));
    ASSERT_TRUE(rspamd_.wait_for_requests(sessions, 60s));
    const auto all_in = std::chrono::steady_clock::now() - sent;
    // Every session and its scan hold a descriptor now, while the scanner still sits on them.
    const long held = reliability::open_descriptors(daemon_->pid());
    if (all_in < 7s) {
        EXPECT_GE(held, descriptors_before + 2 * static_cast<long>(sessions)) << "descriptors";
    }
    for (std::size_t i = 0; i < sessions; ++i)
        ASSERT_EQ(clients[i]->read_line(60s), scanned) << i;
    EXPECT_TRUE(mail_.wait_for_deliveries(sessions, 60s));
    EXPECT_EQ(mail_.deliveries().size(), sessions);
    std::cout << "[ load     ] " << sessions << " sessions held at once, " << held
              << " descriptors open in the daemon (" << descriptors_before << " before), peak "
              << reliability::status_kb(daemon_->pid(), "VmHWM") << " kB\n";
    clients.clear();
    EXPECT_TRUE(test_support::wait_until(
        [&] { return reliability::open_descriptors(daemon_->pid()) == descriptors_before; }, 30s));
    EXPECT_TRUE(serves_new_session());
    daemon_->stop();
}

TEST_F(Limits, RunningOutOfDescriptorsIsLoggedAndAcceptingResumes) {
    start_daemon(120);
    ASSERT_TRUE(warm_up());
    // A soft limit of 64 in the running daemon, restored at the end.
    std::vector<std::unique_ptr<line_client>> clients;
    ASSERT_TRUE(exhaust_descriptors(64, clients));
    // Connections are accepted in order: those greeted now are all that fit under the limit.
    std::size_t greeted = 0;
    while (greeted < clients.size() && clients[greeted]->read_line(1500ms) == greeting)
        ++greeted;
    EXPECT_LT(greeted, clients.size()) << "the limit of 64 was never reached";
    ASSERT_GT(greeted, 20u);

    // A session that holds its descriptor still gets an answer: its scan cannot open a socket.
    ASSERT_TRUE(start_transaction(*clients[0], "no-descriptor"));
    clients[0]->send(short_message("no-descriptor"));
    EXPECT_EQ(clients[0]->read_line(20s),
              "451 Temporary local problem - could not connect to Rspamd\r\n");
    EXPECT_GT(daemon_->log_count("[error] Rspamd client (TCP) connect failed: "), 0);
    ASSERT_TRUE(daemon_->alive()) << daemon_->standard_error();

    // Ending the greeted sessions frees their descriptors: the waiting connections get theirs.
    for (std::size_t i = 0; i < greeted; ++i)
        clients[i].reset();
    for (std::size_t i = greeted; i < clients.size(); ++i)
        EXPECT_EQ(clients[i]->read_line(20s), greeting) << "connection " << i;
    EXPECT_TRUE(daemon_->alive());
    clients.clear();
    EXPECT_TRUE(test_support::wait_until([&] { return serves_new_session(); }, 20s));
    std::cout << "[ limits   ] " << greeted << " sessions under a limit of 64, "
              << daemon_->log_count("Accept error: Too many open files")
              << " failed accepts logged\n";
    ASSERT_TRUE(restore_descriptor_limit());
    daemon_->stop();
}

TEST_F(Limits, DescriptorExhaustionNeitherFloodsTheLogNorSpinsACore) {
    start_daemon(120);
    ASSERT_TRUE(warm_up());
    std::vector<std::unique_ptr<line_client>> clients;
    ASSERT_TRUE(exhaust_descriptors(40, clients));
    // Held for three seconds: the failed accepts are paced and their lines thinned out.
    const long lines_before = daemon_->log_count("Accept error");
    const auto cpu_before = reliability::cpu_time(daemon_->pid());
    const auto held_from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const auto held = std::chrono::steady_clock::now() - held_from;
    const auto cpu = reliability::cpu_time(daemon_->pid()) - cpu_before;
    const long lines = daemon_->log_count("Accept error") - lines_before;
    const double cores = std::chrono::duration<double>(cpu) / held;
    EXPECT_LE(lines, 30) << "accept error lines while the descriptors ran out";
    EXPECT_LT(cores, 0.05) << "share of a core used while the descriptors ran out";

    // Once the connections close, a new session is greeted within about a second.
    clients.clear();
    const auto closed = std::chrono::steady_clock::now();
    line_client next(port_);
    EXPECT_EQ(next.read_line(10s), greeting);
    const auto waited = std::chrono::steady_clock::now() - closed;
    EXPECT_LT(waited, 2s);
    ASSERT_TRUE(restore_descriptor_limit());
    EXPECT_TRUE(serves_transaction("after-exhaustion"));
    std::cout << "[ limits   ] limit 40, 80 connections held "
              << std::chrono::duration_cast<std::chrono::milliseconds>(held).count()
              << " ms: " << lines << " accept error lines, " << cpu.count()
              << " ms of processor time (" << cores << " of a core); greeted "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
              << " ms after the connections closed\n";
    daemon_->stop();
}

TEST_F(Limits, SilentClientIsTimedOutWhileOthersAreServed) {
    start_daemon(2);
    line_client silent(port_);
    ASSERT_EQ(silent.read_line(), greeting);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(serves_transaction("other"));

    EXPECT_EQ(silent.read_line(10s), "421 4.4.2 Connection timeout\r\n");
    EXPECT_TRUE(silent.wait_closed(5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(serves_new_session());
    daemon_->stop();
}

TEST_F(Limits, HugeLineAndHugeMessageLeaveOtherSessionsServed) {
    start_daemon(300);
    // A 50 MB line without a line feed, sent while another session does a transaction.
    line_client long_line(port_);
    ASSERT_EQ(long_line.read_line(), greeting);
    std::thread sender([&] {
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 50; ++i)
            long_line.send(chunk);
    });
    // Checked, not asserted: the sender thread must be joined.
    EXPECT_TRUE(serves_transaction("beside-line", 60s));
    sender.join();
    long_line.send("\r\n");
    EXPECT_EQ(long_line.read_line(120s), "502 Command not implemented\r\n");
    const long after_line_kb = reliability::status_kb(daemon_->pid(), "VmHWM");

    // A 100 MB message, in lines of 1000 bytes, while another session does a transaction.
    line_client big(port_);
    ASSERT_EQ(big.read_line(), greeting);
    ASSERT_TRUE(start_transaction(big, "big"));
    const std::string header = "Subject: big\r\n\r\n";
    const std::string line = std::string(998, 'm') + "\r\n";
    constexpr std::size_t lines = 100 * 1000;
    std::thread big_sender([&] {
        std::string block;
        for (int i = 0; i < 1000; ++i)
            block += line;
        big.send(header);
        for (std::size_t i = 0; i < lines / 1000; ++i)
            big.send(block);
        big.send(".\r\n");
    });
    EXPECT_TRUE(serves_transaction("beside-message", 60s));
    big_sender.join();
    EXPECT_EQ(big.read_line(240s), scanned);
    ASSERT_TRUE(mail_.wait_for_deliveries(3, 60s));
    const auto deliveries = mail_.deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[2].sender, "<big@limits.test>");
    EXPECT_EQ(deliveries[2].data.size(), header.size() + lines * line.size());
    EXPECT_TRUE(serves_new_session());
    std::cout << "[ limits   ] peak memory of the daemon: " << after_line_kb
              << " kB after the 50 MB line, " << reliability::status_kb(daemon_->pid(), "VmHWM")
              << " kB after the 100 MB message\n";
    daemon_->stop();
}

TEST_F(Limits, StopWhileScansAndForwardsAreInProgressLeavesNoLeak) {
    // Half the scans never answer; the other half reach a mail server that never answers DATA.
    rspamd_.respond_with([](const test_support::rspamd_request& request) {
        return request.body.find("silent-scan") != std::string::npos
                   ? rspamd_reply::silence()
                   : rspamd_reply::default_verdict();
    });
    test_support::fake_mail_script stalled;
    stalled.data = test_support::fake_step::silence();
    mail_.set_script(stalled);
    start_daemon(120);
    std::vector<std::unique_ptr<line_client>> clients;
    for (int i = 0; i < 40; ++i) {
        const std::string id = (i % 2 ? "silent-scan" : "stalled-forward") + std::to_string(i);
        clients.push_back(std::make_unique<line_client>(port_));
        ASSERT_EQ(clients.back()->read_line(), greeting);
        ASSERT_TRUE(start_transaction(*clients.back(), id));
        clients.back()->send(short_message(id));
    }
    ASSERT_TRUE(rspamd_.wait_for_requests(40, 30s));
    EXPECT_TRUE(test_support::wait_until([&] {
        std::size_t waiting = 0;
        for (const auto& c : mail_.connections())
            waiting += !c.commands.empty() && c.commands.back() == "DATA" ? 1U : 0U;
        return waiting == 20;
    }));
    daemon_->stop(); // status 0 and no report of the leak checker on standard error
    for (auto& c : clients)
        EXPECT_TRUE(c->wait_closed(5s));
}

#if defined(__SANITIZE_ADDRESS__)
TEST(LeakChecker, TheDaemonBinaryRunsWithLeakDetection) {
    // The sanitizer runtime prints its flags on request: the daemon tests' empty standard error
    // then means that the leak checker ran at every exit and found nothing.
    test_support::temp_dir dir;
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::string saved = old ? old : "";
    ::setenv("ASAN_OPTIONS", (saved + ":help=1").c_str(), 1);
    test_support::daemon_process daemon(dir.path(), {"missing.conf"}, dir.path());
    ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
    EXPECT_EQ(daemon.wait_exit(), 1);
    const std::string report = daemon.standard_error() + daemon.standard_output();
    EXPECT_NE(
        report.find("detect_leaks\n\t\t- Enable memory leak detection. (Current Value: true)"),
        std::string::npos)
        << report.substr(0, 400);
}
#endif

} // namespace
