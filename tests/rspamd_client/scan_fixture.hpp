// The scanner client tests' fixture: a real event loop under a watchdog, a captured log, and one
// call of send_to_rspamd whose completion is watched.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "config/config.hpp"
#include "rspamd_client/rspamd_client.hpp"
#include "support/log_capture.hpp"
#include "support/loop_watchdog.hpp"
#include "utils/mail_data.hpp"

namespace scan_testing {

using namespace std::chrono_literals;

// The texts that send_to_rspamd takes besides the loop and the configuration.
struct envelope {
    std::string sender = "<alice@example.org>";
    std::vector<std::string> recipients{"<bob@example.net>"};
    std::string client_ip = "192.0.2.7";
    std::string helo = "mx.example.org";
    std::string message = "Subject: test\r\n\r\nHello\r\n";
    std::string queue_id = "4QxYz1";
};

// What the completion of one scan saw.
struct scan_outcome {
    int calls = 0;                // how often the completion ran
    std::string reply;            // its last argument
    bool called_early = false;    // it ran before send_to_rspamd had returned
    bool released_after = false;  // the completion was destroyed right after its call
    std::weak_ptr<::scan> client; // the scan, as send_to_rspamd returned it
};

// A Config that scans over TCP at `host` and `port`.
inline Config tcp_config(const std::string& host, std::uint16_t port) {
    Config config;
    config.rspamd_host = host;
    config.rspamd_port = port;
    return config;
}

// A Config that scans over the Unix-domain socket at `path`.
inline Config unix_config(const std::string& path) {
    Config config;
    config.rspamd_socket_path = path;
    return config;
}

// Captures the default logger's lines as "[level] message" and drives scans on a real loop.
class scan_test : public ::testing::Test {
  protected:
    // Runs the loop until it has no work left, failing the test after `limit`.
    void run_io(std::chrono::milliseconds limit = 10s) {
        test_support::run_with_watchdog(ioc_, limit);
    }

    // Starts one scan; the outcome fills in as the loop runs.
    std::shared_ptr<scan_outcome> start_scan(const Config& config, envelope data) {
        auto outcome = std::make_shared<scan_outcome>();
        auto returned = std::make_shared<bool>(false);
        auto token = std::make_shared<int>(0);
        std::weak_ptr<int> watch = token;
        outcome->client =
            send_to_rspamd(ioc_, config, data.sender, data.recipients, data.client_ip, data.helo,
                           MailData::from_raw(std::move(data.message)), data.queue_id,
                           [this, outcome, returned, token, watch](std::string reply) {
                               ++outcome->calls;
                               outcome->reply = std::move(reply);
                               outcome->called_early = outcome->called_early || !*returned;
                               boost::asio::post(ioc_, [outcome, watch] {
                                   outcome->released_after = watch.expired();
                               });
                           });
        *returned = true;
        return outcome;
    }

    // One scan run to its end: the loop runs until the client has nothing left to do.
    scan_outcome scan(const Config& config, envelope data = {},
                      std::chrono::milliseconds limit = 10s) {
        auto outcome = start_scan(config, std::move(data));
        run_io(limit);
        return *outcome;
    }

    // The whole captured log, one "[level] message\n" per line.
    std::string log_text() const { return log_.text(); }

    // Every captured line, in order.
    std::vector<std::string> log_lines() const { return log_.lines(); }

    // The captured lines at error level.
    std::vector<std::string> error_lines() const {
        std::vector<std::string> errors;
        for (auto& line : log_lines())
            if (line.rfind("[error] ", 0) == 0) errors.push_back(line);
        return errors;
    }

    // Expects the completion to have run once, after send_to_rspamd returned, and been released.
    static void expect_one_late_call(const scan_outcome& outcome) {
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_FALSE(outcome.called_early);
        EXPECT_TRUE(outcome.released_after);
    }

    boost::asio::io_context ioc_;

  private:
    test_support::log_capture log_{spdlog::level::debug};
};

} // namespace scan_testing
