// Start-up of the daemon binary: configuration path, daily log, listeners with their mode and
// owner, the fatal cases with their exit status and output, and the stop by SIGTERM or SIGINT.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "main/daemon_test_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::daemon_config;
using test_support::line_client;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;
using testing::StartsWith;

const std::string greeting = "220 localhost LMTP server ready\r\n";

// The names in the working directory, sorted.
std::vector<std::string> entries_of(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The daemon as started from a shell: it must come up, serve, and stop cleanly.
class Startup : public test_support::DaemonTest {
  protected:
    // The start line of a TCP listener on `port`.
    static std::string tcp_start_line(unsigned short port) {
        return "[info] LMTP server started on port " + std::to_string(port) + "...";
    }

    // Runs the daemon with `args` to its end and checks exit status 1 and its standard output.
    void expect_fatal_start(const std::vector<std::string>& args,
                            const std::vector<std::string>& output) {
        auto& daemon = start(args);
        ASSERT_EQ(daemon.wait_exit(), 1);
        EXPECT_THAT(test_support::untimed_lines(daemon.standard_output()),
                    ElementsAreArray(output));
    }
};

TEST_F(Startup, ReadsQuillgateConfAndLogsOneStartLine) {
    const unsigned short port = test_support::free_tcp_port();
    write_config(daemon_config("listen_port = " + std::to_string(port) + ";"));
    start();
    ASSERT_TRUE(wait_for_log(tcp_start_line(port))) << daemon_->standard_output();
    EXPECT_THAT(log_lines(), ElementsAre(tcp_start_line(port)));
    const std::regex start_line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[info\] LMTP )"
                                R"(server started on port \d+\.\.\.\n)");
    EXPECT_TRUE(std::regex_match(test_support::read_file(log_path()), start_line));
    line_client client(port);
    EXPECT_EQ(client.read_line(), greeting);
    stop_daemon();
    EXPECT_EQ(daemon_->standard_output(), "");
}

TEST_F(Startup, ShippedConfigurationStartsTheDaemon) {
    std::filesystem::copy_file(std::string(test_support::source_dir()) + "/quillgate.conf",
                               work_file("quillgate.conf"));
    start({}, true);
    const std::string log = work_file(test_support::daily_log_name("quillgate", ".log"));
    ASSERT_TRUE(test_support::wait_until([&] {
        return test_support::untimed_lines(test_support::read_file(log)) ==
               std::vector<std::string>{tcp_start_line(10024)};
    })) << daemon_->standard_output();
    stop_daemon();
}

TEST_F(Startup, UsesTheFirstArgumentAndIgnoresTheRest) {
    const unsigned short port = test_support::free_tcp_port();
    write_config(daemon_config("listen_port = " + std::to_string(port) + ";"), "first.conf");
    start({"first.conf", "missing.conf"});
    ASSERT_TRUE(wait_for_log(tcp_start_line(port))) << daemon_->standard_output();
    stop_daemon();
}

TEST_F(Startup, LoaderMessagesGoToStandardOutputNotTheLog) {
    const unsigned short port = test_support::free_tcp_port();
    write_config(daemon_config("listen_port = " + std::to_string(port) + ";", "info", 120,
                               "action { on_reject = \"bogus\"; }\n"));
    start();
    ASSERT_TRUE(wait_for_log(tcp_start_line(port)));
    EXPECT_THAT(test_support::untimed_lines(daemon_->standard_output()),
                ElementsAre("[error] Invalid reject_action value: bogus. Defaulting to 'reject'."));
    EXPECT_THAT(log_lines(), ElementsAre(tcp_start_line(port)));
    stop_daemon();
}

TEST_F(Startup, MissingConfigurationFileEndsWithStatusOne) {
    expect_fatal_start({"missing.conf"},
                       {"[error] Error loading configuration: Could not open config file: "
                        "missing.conf",
                        "[error] Exception: Could not open config file: missing.conf"});
    EXPECT_THAT(entries_of(work_dir()), IsEmpty()) << "no log file and no socket";
}

TEST_F(Startup, ConfigurationThatDoesNotParseEndsWithStatusOne) {
    write_config("lmtp { listen_socket = \"lmtp.sock\";\n");
    auto& daemon = start();
    ASSERT_EQ(daemon.wait_exit(), 1);
    const std::vector<std::string> output = test_support::untimed_lines(daemon.standard_output());
    ASSERT_EQ(output.size(), 2u) << daemon.standard_output();
    const std::string loading = "[error] Error loading configuration: ";
    ASSERT_THAT(output[0], StartsWith(loading + "Error parsing config file: "));
    EXPECT_EQ(output[1], "[error] Exception: " + output[0].substr(loading.size()));
    EXPECT_THAT(entries_of(work_dir()), ElementsAre("quillgate.conf"));
}

TEST_F(Startup, LogFileThatCannotBeOpenedEndsWithStatusOne) {
    test_support::write_file(work_file("blocker"), "");
    write_config(
        "lmtp { listen_socket = \"lmtp.sock\"; }\nlog { file = \"blocker/quillgate.log\"; }\n");
    const std::string file = test_support::daily_log_name("blocker/quillgate", ".log");
    expect_fatal_start(
        {}, {"[error] Exception: Failed opening file " + file + " for writing: Not a directory"});
    EXPECT_THAT(entries_of(work_dir()), ElementsAre("blocker", "quillgate.conf"));
}

TEST_F(Startup, TcpPortInUseEndsWithStatusOne) {
    boost::asio::io_context io_context;
    boost::asio::ip::tcp::acceptor holder(io_context, {boost::asio::ip::tcp::v4(), 0});
    write_config(
        daemon_config("listen_port = " + std::to_string(holder.local_endpoint().port()) + ";"));
    expect_fatal_start({}, {});
    EXPECT_THAT(log_lines(), ElementsAre("[error] Exception: bind: Address already in use"));
}

TEST_F(Startup, SocketPathsThatCannotBeBoundEndWithStatusOne) {
    struct test_case {
        const char* name;
        void (*make)(const std::string& path);
        std::string path;
        std::vector<std::string> log;
    };
    const std::vector<test_case> cases = {
        {"regular file kept",
         [](const std::string& path) { test_support::write_file(path, "x"); },
         "lmtp.sock",
         {"[error] Socket path exists and is not a socket, not unlinking: lmtp.sock",
          "[error] Exception: bind: Address already in use"}},
        {"directory kept",
         [](const std::string& path) { ::mkdir(path.c_str(), 0700); },
         "lmtp.sock",
         {"[error] Socket path exists and is not a socket, not unlinking: lmtp.sock",
          "[error] Exception: bind: Address already in use"}},
        {"symbolic link kept",
         [](const std::string& path) { ::symlink("quillgate.conf", path.c_str()); },
         "lmtp.sock",
         {"[error] Socket path is a symbolic link, not unlinking: lmtp.sock",
          "[error] Exception: bind: Address already in use"}},
        {"missing directory",
         [](const std::string&) {},
         "none/lmtp.sock",
         {"[error] Exception: bind: No such file or directory"}},
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(work_dir());
        std::filesystem::create_directory(work_dir());
        write_config(daemon_config("listen_socket = \"" + c.path + ":::0600\";"));
        c.make(work_file(c.path));
        struct stat before {};
        ::lstat(work_file(c.path).c_str(), &before);
        expect_fatal_start({}, {});
        EXPECT_THAT(log_lines(), ElementsAreArray(c.log));
        struct stat after {};
        ::lstat(work_file(c.path).c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino) << "the entry at the path is left alone";
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
}

TEST_F(Startup, LogLevelOffWritesNothing) {
    const unsigned short port = test_support::free_tcp_port();
    write_config(daemon_config("listen_port = " + std::to_string(port) + ";", "off"));
    start();
    ASSERT_TRUE(test_support::wait_until([&] { return line_client(port).connected(); }));
    stop_daemon();
    EXPECT_TRUE(std::filesystem::exists(log_path()));
    EXPECT_EQ(test_support::read_file(log_path()), "");

    boost::asio::io_context io_context;
    boost::asio::ip::tcp::acceptor holder(io_context, {boost::asio::ip::tcp::v4(), port});
    expect_fatal_start({}, {});
    EXPECT_EQ(test_support::read_file(log_path()), "") << "not even the exception";
}

// One case of the Unix-domain listener's mode and owner steps.
struct socket_case {
    const char* name;
    std::string listen_socket; // the text form path:user:group:permission
    int mode;                  // -1: the mode the file-creation mask gives
    bool owned_by_nobody;
    std::vector<std::string> log; // logged before the start line
};

// Each case starts the daemon, checks the socket file and talks to it over the socket.
class UnixListener : public test_support::DaemonTest,
                     public testing::WithParamInterface<socket_case> {};

TEST_P(UnixListener, SetsModeAndOwnerAndServes) {
    const socket_case& c = GetParam();
    write_config(daemon_config("listen_socket = \"" + c.listen_socket + "\";"));
    start();
    const std::string start_line = "[info] LMTP server started on Unix socket lmtp.sock...";
    ASSERT_TRUE(wait_for_log(start_line)) << daemon_->standard_output();
    std::vector<std::string> expected = c.log;
    expected.push_back(start_line);
    EXPECT_THAT(log_lines(), ElementsAreArray(expected));

    struct stat status {};
    ASSERT_EQ(::lstat(work_file("lmtp.sock").c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status.st_mode & 07777, c.mode < 0 ? (0777 & ~mask) : static_cast<mode_t>(c.mode));
    EXPECT_EQ(status.st_uid, c.owned_by_nobody ? ::getpwnam("nobody")->pw_uid : 0u);
    EXPECT_EQ(status.st_gid, c.owned_by_nobody ? ::getgrnam("nogroup")->gr_gid : 0u);

    line_client client(work_file("lmtp.sock"));
    EXPECT_EQ(client.read_line(), greeting);
    EXPECT_TRUE(wait_for_log("[info] Starting LMTP session [0000000000000000] from local"));
    stop_daemon();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnixListener,
    testing::Values(socket_case{"mode_and_owner", "lmtp.sock:nobody:nogroup:0660", 0660, true, {}},
                    socket_case{"mode_without_leading_zero", "lmtp.sock:::660", 0660, false, {}},
                    socket_case{"mode_not_octal",
                                "lmtp.sock:::999",
                                -1,
                                false,
                                {"[error] Invalid socket permission format: 999"}},
                    socket_case{"mode_too_large",
                                "lmtp.sock:::1000",
                                -1,
                                false,
                                {"[error] Invalid socket permission value: 1000"}},
                    socket_case{"unknown_user",
                                "lmtp.sock:no-such-user-q:nogroup:0600",
                                0600,
                                false,
                                {"[error] User not found: no-such-user-q",
                                 "[error] Invalid user or group for socket ownership"}},
                    socket_case{"group_without_user",
                                "lmtp.sock::nogroup:0640",
                                0640,
                                false,
                                {"[error] Invalid user or group for socket ownership"}}),
    [](const testing::TestParamInfo<socket_case>& info) { return info.param.name; });

TEST_F(Startup, StopSignalsEndWithStatusZeroAndLeaveTheSocket) {
    write_config(daemon_config("listen_socket = \"lmtp.sock:::0660\";"));
    long run = 0;
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        start();
        ASSERT_TRUE(wait_for_log("[info] LMTP server started on Unix socket lmtp.sock...", ++run));
        line_client client(work_file("lmtp.sock"));
        ASSERT_EQ(client.read_line(), greeting) << "a stale socket from the last run is replaced";
        stop_daemon(signal_number);
        EXPECT_TRUE(wait_for_log("[info] Received signal " + std::to_string(signal_number) +
                                 ", shutting down..."));
        EXPECT_TRUE(client.wait_closed()) << "the open session is dropped";
        EXPECT_EQ(client.pending(), "") << "without a reply";
        struct stat status {};
        ASSERT_EQ(::lstat(work_file("lmtp.sock").c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
    }
}

} // namespace
