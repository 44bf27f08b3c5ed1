// The fixture of the re-injection client tests: a real event loop under a watchdog, a captured
// log, and a helper that runs one delivery to its completion.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "config/config.hpp"
#include "smtp_client/smtp_client.hpp"
#include "support/log_capture.hpp"
#include "support/loop_watchdog.hpp"
#include "utils/mail_data.hpp"

namespace smtp_client_testing {

using namespace std::chrono_literals;

// The envelope and content of one test delivery.
struct delivery {
    std::string sender = "<sender@example.org>";
    std::vector<std::string> recipients{"<rcpt@example.net>"};
    std::string text = "Subject: test\r\n\r\nHello\r\n";
    XForwardData xforward;
};

// Runs deliveries on a loop of the test's own and records the log at every level.
class delivery_test : public ::testing::Test {
  protected:
    // A configuration that forwards over TCP to 127.0.0.1 at `port`.
    static Config tcp_config(std::uint16_t port) {
        Config config;
        config.forward_host = "127.0.0.1";
        config.forward_port = port;
        return config;
    }

    // A configuration that forwards over the Unix-domain socket at `path`.
    static Config unix_config(const std::string& path) {
        Config config;
        config.forward_socket_path = path;
        return config;
    }

    // Runs the loop until the test's completion stops it, failing the test after `limit`.
    void run_io(std::chrono::milliseconds limit = 5s) {
        test_support::run_with_watchdog(io_context_, limit);
    }

    // Starts `d` with `config` and runs the loop to its completion; the flag it received, none
    // when it was not called. Fails the test when the completion is called from within
    // `send_email`, more than once, or when the client leaves work behind on the loop.
    std::optional<bool> deliver(const Config& config, const delivery& d) {
        auto result = std::make_shared<std::optional<bool>>();
        auto calls = std::make_shared<int>(0);
        bool inside_send = true;
        send_email(io_context_, config, d.sender, d.recipients,
                   MailData::from_raw(std::string(d.text)), d.xforward,
                   [this, result, calls, &inside_send](bool delivered) {
                       EXPECT_FALSE(inside_send) << "completion called from within send_email";
                       ++*calls;
                       *result = delivered;
                       io_context_.stop();
                   });
        inside_send = false;
        run_io();
        io_context_.restart();
        io_context_.run_for(2s); // returns at once when the client is gone
        EXPECT_TRUE(io_context_.stopped()) << "the client kept work on the loop";
        EXPECT_LE(*calls, 1);
        return *result;
    }

    // The captured log lines so far.
    std::string log() const { return log_.text(); }

    test_support::log_capture log_;
    boost::asio::io_context io_context_;
};

} // namespace smtp_client_testing
