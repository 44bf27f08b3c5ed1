// Helpers of the reliability tests: the running daemon's process id, descriptor count and memory
// figures, the descriptor limit, and a daemon run against the two fakes with its own
// configuration.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include "support/daemon_process.hpp"
#include "support/line_client.hpp"

namespace reliability {

using namespace std::chrono_literals;

// The process id of this process's child running the program `name`, or 0 when there is none.
inline pid_t child_named(const std::string& name) {
    const pid_t self = ::getpid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid_text = entry.path().filename().string();
        if (pid_text.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = test_support::read_file(entry.path().string() + "/stat");
        // The fields after the program name, which is in parentheses and may hold blanks.
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self && stat.substr(open + 1, close - open - 1) == name)
            return static_cast<pid_t>(std::stol(pid_text));
    }
    return 0;
}

// The number of descriptors open in process `pid`.
inline long open_descriptors(pid_t pid) {
    long count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

// The processor time (user and system) that process `pid` has used so far.
inline std::chrono::milliseconds cpu_time(pid_t pid) {
    const std::string stat = test_support::read_file("/proc/" + std::to_string(pid) + "/stat");
    // After the program name in parentheses: the state and ten more fields, then utime, stime.
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    std::string skipped;
    for (int field = 0; field < 11; ++field)
        rest >> skipped;
    long long user = 0;
    long long system = 0;
    rest >> user >> system;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::milliseconds((user + system) * 1000 / ticks);
}

// A "kB" figure of /proc/PID/status, such as "VmRSS" or "VmHWM"; -1 when it is missing.
inline long status_kb(pid_t pid, const std::string& field) {
    std::istringstream status(test_support::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// Raises this process's soft descriptor limit to at least `wanted` (within the hard limit);
// children started afterwards inherit it. Returns the soft limit now in force.
inline rlim_t raise_descriptor_limit(rlim_t wanted) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// The configuration of a TCP daemon on `listen_port` that scans at 127.0.0.1:`rspamd_port`, or
// at the socket `rspamd_path` when that is set, and forwards to 127.0.0.1:`forward_port`, or to
// the socket `forward_path` when that is set.
inline std::string tcp_config(unsigned short listen_port, unsigned short rspamd_port,
                              unsigned short forward_port, int timeout_seconds,
                              const std::string& level = "info",
                              const std::string& rspamd_path = "",
                              const std::string& forward_path = "") {
    const auto socket_line = [](const char* key, const std::string& path) {
        return path.empty() ? std::string() : fmt::format("  {} = \"{}\";\n", key, path);
    };
    return fmt::format("rspamd {{\n  host = \"127.0.0.1\";\n  port = {};\n{}}}\n"
                       "lmtp {{\n  listen_port = {};\n  forward_host = \"127.0.0.1\";\n"
                       "  forward_port = {};\n{}  session {{ timeout_seconds = {}; }}\n}}\n"
                       "log {{ file = \"logs/quillgate.log\"; level = \"{}\"; }}\n"
                       "action {{ on_reject = \"reject\"; }}\n",
                       rspamd_port, socket_line("socket_path", rspamd_path), listen_port,
                       forward_port, socket_line("forward_socket_path", forward_path),
                       timeout_seconds, level);
}

// The built daemon run in a temporary working directory from a configuration the test writes;
// stopped with SIGTERM by `stop`, which checks its exit status and that nothing (no sanitizer
// report in particular) reached its standard error.
class daemon_run {
  public:
    // Writes `config` and starts the daemon; waits for its start line.
    explicit daemon_run(const std::string& config) {
        std::filesystem::create_directory(work_dir());
        write_config(config);
        process_ = std::make_unique<test_support::daemon_process>(
            work_dir(), std::vector<std::string>{}, dir_.path());
        started_ = test_support::wait_until(
            [&] { return log().find("LMTP server started") != std::string::npos; });
        pid_ = child_named("quillgate");
    }

    // Whether the daemon logged its start line and could be found among this process's children.
    bool started() const { return started_ && pid_ > 0; }
    // The daemon's process id.
    pid_t pid() const { return pid_; }

    // The daemon's working directory.
    std::filesystem::path work_dir() const { return dir_.path() / "work"; }
    // Replaces the configuration file in the working directory with `text`.
    void write_config(const std::string& text) const {
        test_support::write_file((work_dir() / "quillgate.conf").string(), text);
    }

    // Today's daily log, whole.
    std::string log() const {
        return test_support::read_file(
            (work_dir() / test_support::daily_log_name("logs/quillgate", ".log")).string());
    }
    // How many times `text` occurs in the daily log.
    long log_count(const std::string& text) const {
        long count = 0;
        const std::string whole = log();
        for (auto at = whole.find(text); at != std::string::npos; at = whole.find(text, at + 1))
            ++count;
        return count;
    }

    // Whether the daemon still runs.
    bool alive() { return !process_->wait_exit(0ms).has_value(); }
    // Sends `signal_number` to the daemon.
    void signal(int signal_number) const { process_->signal(signal_number); }
    // What the daemon wrote to its standard error so far.
    std::string standard_error() const { return process_->standard_error(); }

    // Stops the daemon with SIGTERM; it must end with status 0 and an empty standard error.
    void stop() {
        process_->signal(SIGTERM);
        EXPECT_EQ(process_->wait_exit(30s), 0) << process_->standard_error();
        EXPECT_EQ(process_->standard_error(), "") << "sanitizer or other reports";
    }

  private:
    test_support::temp_dir dir_;
    std::unique_ptr<test_support::daemon_process> process_;
    bool started_ = false;
    pid_t pid_ = 0;
};

// The seed of a randomised test: the environment variable `name` when it is set, else `fixed`;
// printed so that a failing run can be replayed.
inline std::uint64_t seed_from(const char* name, std::uint64_t fixed) {
    std::uint64_t seed = fixed;
    if (const char* text = std::getenv(name); text && *text)
        seed = std::strtoull(text, nullptr, 10);
    std::cout << "[ seed     ] " << name << "=" << seed << " (set it to replay this run)\n";
    return seed;
}

} // namespace reliability
