// A run of the built daemon for the process-level tests, and the helpers that read its daily log.
#include "support/daemon_process.hpp"

#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

namespace test_support {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> untimed_lines(const std::string& text) {
    std::vector<std::string> lines = lines_of(text);
    for (std::string& line : lines)
        if (line.size() > 26 && line[0] == '[' && line[24] == ']' && line[25] == ' ')
            line.erase(0, 26);
    return lines;
}

std::string daily_log_name(const std::string& stem, const std::string& extension) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return fmt::format("{}_{:04d}-{:02d}-{:02d}{}", stem, local.tm_year + 1900, local.tm_mon + 1,
                       local.tm_mday, extension);
}

daemon_process::daemon_process(const std::filesystem::path& working_dir,
                               const std::vector<std::string>& args,
                               const std::filesystem::path& output_dir, bool private_network)
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

daemon_process::~daemon_process() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void daemon_process::signal(int signal_number) const {
    ::kill(pid_, signal_number);
}

std::optional<int> daemon_process::wait_exit(std::chrono::milliseconds limit) {
    wait_until([this] { return !running(); }, limit);
    return status_;
}

void daemon_process::exec_child(const std::string& directory, const std::vector<char*>& argv) {
    const int out = ::open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(directory.c_str()) != 0)
        ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

bool daemon_process::running() {
    if (status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

} // namespace test_support
