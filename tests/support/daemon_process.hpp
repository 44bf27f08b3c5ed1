// A run of the built daemon for the process-level tests, with its output captured, and the
// helpers that read its daily log.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/test_env.hpp"

namespace test_support {

using namespace std::chrono_literals;

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

// The lines of `text` with the "[YYYY-MM-DD hh:mm:ss.mmm] " time stamp cut off each; a line
// without one is kept whole.
std::vector<std::string> untimed_lines(const std::string& text);

// Today's daily log file name for a base of `stem` + `extension`, as the daily sink names it.
std::string daily_log_name(const std::string& stem, const std::string& extension);

// One run of the quillgate binary in `working_dir`; standard output and error go to files in
// `output_dir`. With `private_network` it runs in a network namespace of its own, where no port
// is taken. A daemon still running at destruction is killed.
class daemon_process {
  public:
    daemon_process(const std::filesystem::path& working_dir, const std::vector<std::string>& args,
                   const std::filesystem::path& output_dir, bool private_network = false);
    ~daemon_process();
    daemon_process(const daemon_process&) = delete;
    daemon_process& operator=(const daemon_process&) = delete;

    // Sends `signal_number` to the daemon.
    void signal(int signal_number) const;

    // Waits up to `limit` for the daemon to end; its exit status, 128 + signal when killed, or
    // nothing when it still runs.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10s);

    // What the daemon wrote to its standard output and standard error so far.
    std::string standard_output() const { return read_file(stdout_path_); }
    std::string standard_error() const { return read_file(stderr_path_); }

  private:
    // In the child: redirects the output, enters the working directory and starts the binary.
    [[noreturn]] void exec_child(const std::string& directory, const std::vector<char*>& argv);

    // Collects the exit status once the daemon has ended; true while it runs.
    bool running();

    std::string stdout_path_;
    std::string stderr_path_;
    pid_t pid_ = -1;
    std::optional<int> status_; // set once the daemon has been reaped
};

} // namespace test_support
