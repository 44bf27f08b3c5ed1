// The daemon binary with configuration files written as a new user writes them, beside sections
// of other tools (a regular expression with escapes, a Windows path in single quotes), a JSON
// file with a brace too many at its end, and a log file named with "$$": it starts with each,
// and takes each on SIGHUP.
#include <algorithm>
#include <csignal>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "main/daemon_test_fixture.hpp"

namespace {

// One configuration file, made for the daemon's listening port.
struct text_case {
    const char* name;
    std::string (*text)(unsigned short port);
    const char* log_stem = "logs/quillgate"; // the daily log's name without its date
};

// Names the case in the test's messages.
void PrintTo(const text_case& config, std::ostream* out) {
    *out << config.name;
}

std::string listen(unsigned short port) {
    return "listen_port = " + std::to_string(port) + ";";
}

const text_case text_cases[] = {
    {"UnknownEscapesInARegularExpression",
     [](unsigned short port) {
         return test_support::daemon_config(listen(port)) +
                "filters { subject = \"^\\[SPAM\\] \\d+$\"; }\n";
     }},
    {"BackslashesOfAWindowsPathInSingleQuotes",
     [](unsigned short port) {
         return test_support::daemon_config(listen(port)) + "share { path = 'C:\\Shares\\\\'; }\n";
     }},
    {"JsonWithOneBraceTooManyAtItsEnd",
     [](unsigned short port) {
         return "{\n  \"rspamd\": {\"host\": \"127.0.0.1\", \"port\": 9},\n"
                "  \"lmtp\": {\"listen_port\": " +
                std::to_string(port) +
                ", \"forward_host\": \"127.0.0.1\", \"forward_port\": 9},\n"
                "  \"log\": {\"file\": \"logs/quillgate.log\", \"level\": \"info\"}\n}\n}\n";
     }},
    {"DollarsInTheLogFileName",
     [](unsigned short port) {
         return "rspamd { host = \"127.0.0.1\"; port = 9; }\n"
                "lmtp { " +
                listen(port) +
                " forward_host = \"127.0.0.1\"; forward_port = 9; }\n"
                "log { file = \"logs/q$$.log\"; level = \"info\"; }\n";
     },
     "logs/q$$"},
};

class ConfigTexts : public test_support::DaemonTest, public testing::WithParamInterface<text_case> {
  protected:
    // True once the case's daily log (or, with `or_first`, the log of the first file) holds
    // `line`.
    bool wait_for_case_log(const std::string& line, bool or_first = false) const {
        auto holds = [&](const char* stem) {
            const auto lines = test_support::untimed_lines(
                test_support::read_file(work_file(test_support::daily_log_name(stem, ".log"))));
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        };
        return test_support::wait_until(
            [&] { return holds(GetParam().log_stem) || (or_first && holds("logs/quillgate")); });
    }

    std::string start_line() const {
        return "[info] LMTP server started on port " + std::to_string(port_) + "...";
    }

    const unsigned short port_ = test_support::free_tcp_port();
};

TEST_P(ConfigTexts, DaemonStarts) {
    write_config(GetParam().text(port_));
    start();
    ASSERT_TRUE(wait_for_case_log(start_line())) << daemon_->standard_output();
    stop_daemon();
}

TEST_P(ConfigTexts, ReloadTakesTheFile) {
    write_config(test_support::daemon_config(listen(port_)));
    start();
    ASSERT_TRUE(wait_for_log(start_line())) << daemon_->standard_output();
    write_config(GetParam().text(port_));
    daemon_->signal(SIGHUP);
    EXPECT_TRUE(wait_for_case_log("[info] Configuration reloaded successfully.", true))
        << testing::PrintToString(log_lines());
    stop_daemon();
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigTexts, testing::ValuesIn(text_cases),
                         [](const testing::TestParamInfo<text_case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
