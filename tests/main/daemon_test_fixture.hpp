// The fixture of the process-level tests: a working directory with a configuration file, the
// daemon run in it, and its daily log.
#pragma once

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_process.hpp"
#include "support/line_client.hpp"

namespace test_support {

// Configuration text with the `lmtp` lines `listen`, the log at logs/quillgate.log with `level`
// and the session time-out `timeout`; peers are never reached by these tests.
inline std::string daemon_config(const std::string& listen, const std::string& level = "info",
                                 int timeout = 120, const std::string& extra = "") {
    return "rspamd { host = \"127.0.0.1\"; port = 9; }\n"
           "lmtp {\n  " +
           listen + "\n  forward_host = \"127.0.0.1\";\n  forward_port = 9;\n" +
           "  session { timeout_seconds = " + std::to_string(timeout) +
           "; }\n}\n"
           "log { file = \"logs/quillgate.log\"; level = \"" +
           level + "\"; }\n" + extra;
}

// Runs the daemon in a fresh working directory and checks that it never writes to standard error.
class DaemonTest : public testing::Test {
  protected:
    DaemonTest() { std::filesystem::create_directory(work_dir()); }
    ~DaemonTest() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->standard_error(), "");
        }
    }

    // The daemon's working directory.
    std::filesystem::path work_dir() const { return dir_.path() / "work"; }
    // A path inside the working directory.
    std::string work_file(const std::string& name) const { return (work_dir() / name).string(); }

    // Writes `text` as the configuration file `name` in the working directory.
    void write_config(const std::string& text, const std::string& name = "quillgate.conf") const {
        write_file(work_file(name), text);
    }

    // Starts the daemon with `args` in the working directory, in a network namespace of its own
    // with `private_network`.
    daemon_process& start(const std::vector<std::string>& args = {}, bool private_network = false) {
        if (daemon_) {
            EXPECT_EQ(daemon_->standard_error(), "");
        }
        daemon_.reset();
        daemon_ = std::make_unique<daemon_process>(work_dir(), args, dir_.path(), private_network);
        return *daemon_;
    }

    // Today's daily log of logs/quillgate.log.
    std::string log_path() const { return work_file(daily_log_name("logs/quillgate", ".log")); }
    // The daily log's lines without their time stamps.
    std::vector<std::string> log_lines() const { return untimed_lines(read_file(log_path())); }

    // Waits until the daily log holds the line `line` (time stamp cut off) `count` times.
    bool wait_for_log(const std::string& line, long count = 1) const {
        return wait_until([&] {
            const std::vector<std::string> lines = log_lines();
            return std::count(lines.begin(), lines.end(), line) >= count;
        });
    }

    // Stops the daemon with `signal_number` and checks that it ends with status 0.
    void stop_daemon(int signal_number = SIGTERM) {
        daemon_->signal(signal_number);
        EXPECT_EQ(daemon_->wait_exit(), 0);
    }

    temp_dir dir_;
    std::unique_ptr<daemon_process> daemon_;
};

} // namespace test_support
