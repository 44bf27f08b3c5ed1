// Signal handling and reload: SIGINT and SIGTERM stop the loop, SIGHUP re-reads the
// configuration file and keeps the old configuration when that fails.
#include <csignal>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/process_config.hpp"
#include "config/signals.hpp"
#include "support/log_capture.hpp"
#include "support/loop_watchdog.hpp"
#include "support/test_env.hpp"

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::ElementsAreArray;

// A configuration file whose session time-out is `seconds`.
std::string config_with_timeout(int seconds) {
    return "lmtp { session { timeout_seconds = " + std::to_string(seconds) + "; } }\n";
}

// Sets up the process-wide configuration for one test: `current_config` with a time-out of 5
// and `config_path` inside a temporary directory.
class SignalWatch : public testing::Test {
  protected:
    SignalWatch() {
        config_path = dir_.file("quillgate.conf");
        Config config;
        config.timeout_seconds = 5;
        current_config = config;
    }

    // Raises `signals` in order once the loop runs, then runs it until the watch stops it.
    void raise_and_run(std::vector<int> signals) {
        signal_watch watch(io_context_);
        boost::asio::post(io_context_, [signals] {
            for (int signal_number : signals)
                std::raise(signal_number);
        });
        test_support::run_with_watchdog(io_context_, 5s);
    }

    // The three lines of a reload that fails with `reason`.
    static std::vector<std::string> failed_reload(const std::string& reason) {
        return {"[info] SIGHUP received, reloading configuration...",
                "[error] Error loading configuration: " + reason,
                "[error] Error reloading configuration: " + reason};
    }

    test_support::temp_dir dir_;
    boost::asio::io_context io_context_;
    test_support::log_capture log_;
};

TEST_F(SignalWatch, StopSignalsStopTheLoop) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        test_support::log_capture log;
        io_context_.restart();
        raise_and_run({signal_number});
        EXPECT_THAT(log.lines(), ElementsAre("[info] Received signal " +
                                             std::to_string(signal_number) + ", shutting down..."));
    }
}

TEST_F(SignalWatch, HangupReloadsAndWaitsAgain) {
    test_support::write_file(config_path, config_with_timeout(9));
    raise_and_run({SIGHUP, SIGTERM});
    EXPECT_EQ(get_config().timeout_seconds, 9);
    EXPECT_THAT(log_.lines(), ElementsAre("[info] SIGHUP received, reloading configuration...",
                                          "[info] Configuration reloaded successfully.",
                                          "[info] Received signal 15, shutting down..."));
}

TEST_F(SignalWatch, FailedReloadKeepsTheOldConfiguration) {
    raise_and_run({SIGHUP, SIGTERM});
    EXPECT_EQ(get_config().timeout_seconds, 5);
    std::vector<std::string> expected = failed_reload("Could not open config file: " + config_path);
    expected.push_back("[info] Received signal 15, shutting down...");
    EXPECT_THAT(log_.lines(), ElementsAreArray(expected));
}

TEST_F(SignalWatch, SignalsDuringAReloadAreHandledAfterIt) {
    test_support::write_file(config_path, config_with_timeout(7));
    raise_and_run({SIGHUP, SIGHUP, SIGTERM});
    EXPECT_EQ(get_config().timeout_seconds, 7);
    EXPECT_THAT(log_.lines(), ElementsAre("[info] SIGHUP received, reloading configuration...",
                                          "[info] Configuration reloaded successfully.",
                                          "[info] SIGHUP received, reloading configuration...",
                                          "[info] Configuration reloaded successfully.",
                                          "[info] Received signal 15, shutting down..."));
}

TEST_F(SignalWatch, ReloadReplacesTheWholeRecordOnlyOnSuccess) {
    test_support::write_file(config_path, "lmtp { listen_port = 2424; }\n");
    reload_config_file();
    Config reloaded = get_config();
    EXPECT_EQ(reloaded.listen_port, 2424);
    EXPECT_EQ(reloaded.timeout_seconds, 120);
    test_support::write_file(config_path, "lmtp { listen_port = \n");
    reload_config_file();
    EXPECT_EQ(get_config().listen_port, 2424);
    EXPECT_EQ(get_config().timeout_seconds, 120);
}

} // namespace
