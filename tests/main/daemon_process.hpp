// Process-level test helpers: a run of the built daemon with its output captured, bounded waits,
// a minimal line-oriented client over TCP or a Unix-domain socket, and daemon configurations.
#pragma once

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "support/test_env.hpp"

namespace test_support {

using namespace std::chrono_literals;

// Polls `condition` every 10 ms until it holds or `limit` has passed; true when it held.
inline bool wait_until(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The lines of `text`, without their line feeds.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The lines of `text` with the "[YYYY-MM-DD hh:mm:ss.mmm] " time stamp cut off each; a line
// without one is kept whole.
inline std::vector<std::string> untimed_lines(const std::string& text) {
    std::vector<std::string> lines = lines_of(text);
    for (std::string& line : lines)
        if (line.size() > 26 && line[0] == '[' && line[24] == ']' && line[25] == ' ')
            line.erase(0, 26);
    return lines;
}

// Today's daily log file name for a base of `stem` + `extension`, as the daily sink names it.
inline std::string daily_log_name(const std::string& stem, const std::string& extension) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return fmt::format("{}_{:04d}-{:02d}-{:02d}{}", stem, local.tm_year + 1900, local.tm_mon + 1,
                       local.tm_mday, extension);
}

// A TCP port on 0.0.0.0 that was free a moment ago.
inline unsigned short free_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// One run of the quillgate binary in `working_dir`; standard output and error go to files in
// `output_dir`. With `private_network` it runs in a network namespace of its own, where no port
// is taken. A daemon still running at destruction is killed.
class daemon_process {
  public:
    daemon_process(const std::filesystem::path& working_dir, const std::vector<std::string>& args,
                   const std::filesystem::path& output_dir, bool private_network = false)
        : stdout_path_((output_dir / "daemon.stdout").string()),
          stderr_path_((output_dir / "daemon.stderr").string()) {
        std::vector<std::string> argv_text{quillgate_binary()};
        if (private_network) argv_text.insert(argv_text.begin(), {"/usr/bin/unshare", "-n"});
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argv_text)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string directory = working_dir.string();
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) exec_child(directory, argv);
    }
    ~daemon_process() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    daemon_process(const daemon_process&) = delete;
    daemon_process& operator=(const daemon_process&) = delete;

    // Sends `signal_number` to the daemon.
    void signal(int signal_number) const { ::kill(pid_, signal_number); }

    // Waits up to `limit` for the daemon to end; its exit status, 128 + signal when killed, or
    // nothing when it still runs.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10s) {
        wait_until([this] { return !running(); }, limit);
        return status_;
    }

    // What the daemon wrote to its standard output and standard error so far.
    std::string standard_output() const { return read_file(stdout_path_); }
    std::string standard_error() const { return read_file(stderr_path_); }

  private:
    // In the child: redirects the output, enters the working directory and starts the binary.
    [[noreturn]] void exec_child(const std::string& directory, const std::vector<char*>& argv) {
        const int out = ::open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(directory.c_str()) != 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    // Collects the exit status once the daemon has ended; true while it runs.
    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    std::string stdout_path_;
    std::string stderr_path_;
    pid_t pid_ = -1;
    std::optional<int> status_; // set once the daemon has been reaped
};

// A blocking LMTP client socket whose every read is bounded in time.
class line_client {
  public:
    // Connects to 127.0.0.1 at `port`.
    explicit line_client(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    // Connects to the Unix-domain socket at `path`.
    explicit line_client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~line_client() { ::close(fd_); }
    line_client(const line_client&) = delete;
    line_client& operator=(const line_client&) = delete;

    bool connected() const { return connected_; }

    // Sends `text` as it stands.
    void send(const std::string& text) const {
        (void)::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
    }

    // The next line including its CRLF; what came before the end of stream or the time limit
    // when no full line arrived.
    std::string read_line(std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos && receive(deadline)) {
        }
        if (end == std::string::npos) return std::exchange(buffer_, {});
        std::string line = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 2);
        return line;
    }

    // Reads until the peer closes; false when it is still open after `limit`.
    bool wait_closed(std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (receive(deadline)) {
        }
        return closed_;
    }

    // Everything received and not yet returned by `read_line`.
    const std::string& pending() const { return buffer_; }

  private:
    // Appends what arrives before `deadline` to the buffer; false at end of stream or time-out.
    bool receive(std::chrono::steady_clock::time_point deadline) {
        if (closed_) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        const ssize_t received = ::recv(fd_, chunk, sizeof chunk, 0);
        if (received <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(received));
        return true;
    }

    int fd_;
    bool connected_ = false;
    bool closed_ = false; // the peer ended the stream or reset it
    std::string buffer_;  // received bytes not yet returned
};

} // namespace test_support
