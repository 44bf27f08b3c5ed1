// Reload of the daemon binary by SIGHUP: a changed session time-out reaches only connections
// accepted afterwards, a failed reload keeps the configuration in force, and neither the log nor
// the listener follows a reload.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "main/daemon_test_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::daemon_config;
using test_support::line_client;
using testing::ElementsAre;
using testing::StartsWith;

const std::string greeting = "220 localhost LMTP server ready\r\n";
const std::string timeout_reply = "421 4.4.2 Connection timeout\r\n";

// A daemon on a TCP port whose configuration file the test rewrites before each SIGHUP.
class Reload : public test_support::DaemonTest {
  protected:
    // Starts the daemon with the session time-out `timeout` and waits for its start line.
    void start_with_timeout(int timeout) {
        write_config(config_text(timeout));
        start();
        ASSERT_TRUE(wait_for_log(start_line())) << daemon_->standard_output();
    }

    // The configuration text on this test's port with the session time-out `timeout`.
    std::string config_text(int timeout, const std::string& level = "info") const {
        return daemon_config("listen_port = " + std::to_string(port_) + ";", level, timeout);
    }

    std::string start_line() const {
        return "[info] LMTP server started on port " + std::to_string(port_) + "...";
    }

    // Sends SIGHUP and waits for the `count`-th line `outcome` of a reload.
    void reload(const std::string& outcome, long count = 1) {
        daemon_->signal(SIGHUP);
        ASSERT_TRUE(wait_for_log(outcome, count)) << testing::PrintToString(log_lines());
    }

    // Connects, checks the greeting, and returns the client.
    std::unique_ptr<line_client> connect() const {
        auto client = std::make_unique<line_client>(port_);
        EXPECT_EQ(client->read_line(), greeting);
        return client;
    }

    const unsigned short port_ = test_support::free_tcp_port();
};

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(Reload, NewTimeoutReachesOnlyLaterConnections) {
    start_with_timeout(3);
    const auto before_start = std::chrono::steady_clock::now();
    auto before = connect();
    write_config(config_text(1));
    reload("[info] Configuration reloaded successfully.");
    const auto after_start = std::chrono::steady_clock::now();
    auto after = connect();

    EXPECT_EQ(after->read_line(5s), timeout_reply);
    EXPECT_LT(seconds_since(after_start), 2.0);
    EXPECT_EQ(before->pending(), "") << "the earlier connection keeps its longer time-out";
    EXPECT_EQ(before->read_line(5s), timeout_reply);
    EXPECT_GE(seconds_since(before_start), 2.9);
    EXPECT_TRUE(before->wait_closed() && after->wait_closed());
    stop_daemon();
}

TEST_F(Reload, FailedReloadKeepsTheConfigurationInForce) {
    start_with_timeout(1);
    write_config("lmtp { session { timeout_seconds = 30; }\n");
    reload("[info] SIGHUP received, reloading configuration...");
    ASSERT_TRUE(test_support::wait_until([&] { return log_lines().size() >= 4; }));
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::string loading = "[error] Error loading configuration: ";
    ASSERT_THAT(lines[2], StartsWith(loading + "Error parsing config file: "));
    EXPECT_EQ(lines[3],
              "[error] Error reloading configuration: " + lines[2].substr(loading.size()));

    const auto start = std::chrono::steady_clock::now();
    auto client = connect();
    EXPECT_EQ(client->read_line(5s), timeout_reply);
    EXPECT_LT(seconds_since(start), 2.0) << "still the time-out of 1 second";

    write_config(config_text(30));
    reload("[info] Configuration reloaded successfully.");
    auto restored = connect();
    EXPECT_EQ(restored->read_line(1500ms), "") << "the restored file's time-out of 30 seconds";
    stop_daemon();
}

TEST_F(Reload, MissingFileIsLoggedAndKeepsTheConfiguration) {
    start_with_timeout(1);
    std::filesystem::remove(work_file("quillgate.conf"));
    reload("[error] Error reloading configuration: Could not open config file: quillgate.conf");
    EXPECT_THAT(log_lines(),
                ElementsAre(start_line(), "[info] SIGHUP received, reloading configuration...",
                            "[error] Error loading configuration: Could not open config file: "
                            "quillgate.conf",
                            "[error] Error reloading configuration: Could not open config file: "
                            "quillgate.conf"));
    auto client = connect();
    EXPECT_EQ(client->read_line(5s), timeout_reply);
    stop_daemon();
}

TEST_F(Reload, LogAndListenerKeepTheirStartValues) {
    start_with_timeout(120);
    const unsigned short other_port = test_support::free_tcp_port();
    write_config(daemon_config("listen_port = " + std::to_string(other_port) + ";", "off"));
    reload("[info] Configuration reloaded successfully.");
    EXPECT_FALSE(line_client(other_port).connected()) << "no new listener";
    auto client = connect();
    EXPECT_TRUE(wait_for_log("[info] Starting LMTP session [0000000000000000] from 127.0.0.1"))
        << "the log level stays at info";
    stop_daemon();
}

} // namespace
