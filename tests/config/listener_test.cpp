// The LMTP listeners: socket mode parsing, stale-socket removal, mode and owner of the socket
// file, and the bind failures that end start-up.
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/system/system_error.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/listener.hpp"
#include "support/log_capture.hpp"
#include "support/test_env.hpp"

namespace {

using boost::asio::local::stream_protocol;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// The stat of `path` without following a symbolic link.
struct stat lstat_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

// Binds a Unix-domain socket at `path` and closes it, leaving a stale socket file behind.
void make_stale_socket(boost::asio::io_context& io_context, const std::string& path) {
    stream_protocol::acceptor acceptor(io_context, stream_protocol::endpoint(path));
}

// A configuration that listens on `path` with the given owner and mode texts.
Config unix_config(const std::string& path, const std::string& user = "",
                   const std::string& group = "", const std::string& permission = "") {
    Config config;
    config.listen_socket = path;
    config.socket_user = user;
    config.socket_group = group;
    config.socket_permission = permission;
    return config;
}

TEST(ParseSocketPermission, ReadsOctalTextLikeStoi) {
    struct test_case {
        const char* name;
        std::string text;
        int mode; // -1: no mode
        std::string error;
    };
    const std::vector<test_case> cases = {
        {"without leading zero", "660", 0660, ""},
        {"with leading zero", "0660", 0660, ""},
        {"rest after digits ignored", "660 rw", 0660, ""},
        {"leading blanks and sign", "  +0640", 0640, ""},
        {"hex prefix reads only the zero", "0x1ff", 0, ""},
        {"largest mode", "0777", 0777, ""},
        {"no octal digit", "999", -1, "Invalid socket permission format: 999"},
        {"letters", "rw-rw----", -1, "Invalid socket permission format: rw-rw----"},
        {"beyond 32 bits", "77777777777", -1, "Invalid socket permission format: 77777777777"},
        {"above 0777", "1000", -1, "Invalid socket permission value: 1000"},
        {"negative", "-1", -1, "Invalid socket permission value: -1"},
    };
    for (const test_case& c : cases) {
        socket_permission_result result = parse_socket_permission(c.text);
        if (c.mode < 0) {
            EXPECT_FALSE(result.mode) << c.name;
        } else {
            ASSERT_TRUE(result.mode) << c.name;
            EXPECT_EQ(*result.mode, static_cast<mode_t>(c.mode)) << c.name;
        }
        EXPECT_EQ(result.error, c.error) << c.name;
    }
}

TEST(RemoveStaleSocket, UnlinksOnlySockets) {
    struct test_case {
        const char* name;
        void (*make)(boost::asio::io_context&, const std::string&);
        bool removed;
        std::vector<std::string> log;
    };
    const std::string not_socket =
        "[error] Socket path exists and is not a socket, not unlinking: ";
    const std::vector<test_case> cases = {
        {"stale socket", make_stale_socket, true, {}},
        {"regular file",
         [](boost::asio::io_context&, const std::string& path) {
             test_support::write_file(path, "precious\n");
         },
         false,
         {not_socket}},
        {"directory",
         [](boost::asio::io_context&, const std::string& path) { ::mkdir(path.c_str(), 0700); },
         false,
         {not_socket}},
        {"fifo",
         [](boost::asio::io_context&, const std::string& path) { ::mkfifo(path.c_str(), 0600); },
         false,
         {not_socket}},
        {"symbolic link to a socket",
         [](boost::asio::io_context& io_context, const std::string& path) {
             make_stale_socket(io_context, path + ".target");
             ::symlink((path + ".target").c_str(), path.c_str());
         },
         false,
         {"[error] Socket path is a symbolic link, not unlinking: "}},
    };
    for (const test_case& c : cases) {
        test_support::temp_dir dir;
        boost::asio::io_context io_context;
        const std::string path = dir.file("lmtp.sock");
        c.make(io_context, path);
        test_support::log_capture log;
        remove_stale_socket(path);
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status) != 0, c.removed) << c.name;
        std::vector<std::string> expected;
        for (const std::string& line : c.log)
            expected.push_back(line + path);
        EXPECT_EQ(log.lines(), expected) << c.name;
    }
}

TEST(RemoveStaleSocket, MissingPathIsNoError) {
    test_support::temp_dir dir;
    test_support::log_capture log;
    remove_stale_socket(dir.file("absent.sock"));
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(SetSocketMode, ChangesModeOrLogsWhy) {
    struct test_case {
        const char* name;
        std::string permission;
        mode_t mode;
        std::vector<std::string> log;
    };
    const std::vector<test_case> cases = {
        {"valid", "0660", 0660, {}},
        {"trailing text", "640 x", 0640, {}},
        {"bad format keeps mode", "abc", 0600, {"[error] Invalid socket permission format: abc"}},
        {"bad value keeps mode", "1000", 0600, {"[error] Invalid socket permission value: 1000"}},
    };
    for (const test_case& c : cases) {
        test_support::temp_dir dir;
        const std::string path = dir.file("file");
        test_support::write_file(path, "");
        ::chmod(path.c_str(), 0600);
        test_support::log_capture log;
        set_socket_mode(path, c.permission);
        EXPECT_EQ(lstat_of(path).st_mode & 07777, c.mode) << c.name;
        EXPECT_EQ(log.lines(), c.log) << c.name;
    }
}

TEST(SetSocketMode, ChmodFailureIsLogged) {
    test_support::temp_dir dir;
    test_support::log_capture log;
    set_socket_mode(dir.file("absent"), "0660");
    EXPECT_THAT(log.lines(),
                ElementsAre("[error] Failed to set socket permissions: No such file or directory"));
}

TEST(SetSocketOwner, ChangesOwnerOrLogsWhy) {
    ASSERT_EQ(::geteuid(), 0u) << "changing the owner needs the superuser";
    const uid_t nobody = ::getpwnam("nobody")->pw_uid;
    const gid_t nogroup = ::getgrnam("nogroup")->gr_gid;
    const std::string invalid = "[error] Invalid user or group for socket ownership";
    struct test_case {
        const char* name;
        std::string user;
        std::string group;
        bool changed;
        std::vector<std::string> log;
    };
    const std::vector<test_case> cases = {
        {"user and group", "nobody", "nogroup", true, {}},
        {"unknown user",
         "no-such-user-q",
         "nogroup",
         false,
         {"[error] User not found: no-such-user-q", invalid}},
        {"unknown group",
         "nobody",
         "no-such-group-q",
         false,
         {"[error] Group not found: no-such-group-q", invalid}},
        {"user only", "nobody", "", false, {invalid}},
        {"group only", "", "nogroup", false, {invalid}},
    };
    for (const test_case& c : cases) {
        test_support::temp_dir dir;
        const std::string path = dir.file("file");
        test_support::write_file(path, "");
        test_support::log_capture log;
        set_socket_owner(path, c.user, c.group);
        const struct stat status = lstat_of(path);
        EXPECT_EQ(status.st_uid, c.changed ? nobody : 0u) << c.name;
        EXPECT_EQ(status.st_gid, c.changed ? nogroup : 0u) << c.name;
        EXPECT_EQ(log.lines(), c.log) << c.name;
    }
}

TEST(SetSocketOwner, ChownFailureIsLogged) {
    test_support::temp_dir dir;
    test_support::log_capture log;
    set_socket_owner(dir.file("absent"), "nobody", "nogroup");
    EXPECT_THAT(log.lines(),
                ElementsAre("[error] Failed to set socket owner: No such file or directory"));
}

TEST(OpenUnixListener, ReplacesStaleSocketAndAppliesModeAndOwner) {
    test_support::temp_dir dir;
    boost::asio::io_context io_context;
    const std::string path = dir.file("lmtp.sock");
    make_stale_socket(io_context, path);
    test_support::log_capture log;
    auto acceptor = open_unix_listener(io_context, unix_config(path, "nobody", "nogroup", "0660"));
    const struct stat status = lstat_of(path);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0660u);
    EXPECT_EQ(status.st_uid, ::getpwnam("nobody")->pw_uid);
    EXPECT_EQ(status.st_gid, ::getgrnam("nogroup")->gr_gid);
    EXPECT_THAT(log.lines(),
                ElementsAre("[info] LMTP server started on Unix socket " + path + "..."));
    stream_protocol::socket client(io_context);
    client.connect(stream_protocol::endpoint(path));
    stream_protocol::socket accepted = acceptor.accept();
    EXPECT_TRUE(accepted.is_open());
}

TEST(OpenUnixListener, FailuresThrowWithTheFailingStep) {
    struct test_case {
        const char* name;
        void (*make)(const std::string& dir, const std::string& path);
        std::string path_suffix;
        std::string what;
        std::vector<std::string> log; // followed by the path
    };
    const std::vector<test_case> cases = {
        {"regular file at the path",
         [](const std::string&, const std::string& path) {
             test_support::write_file(path, "precious\n");
         },
         "lmtp.sock",
         "bind: Address already in use",
         {"[error] Socket path exists and is not a socket, not unlinking: "}},
        {"symbolic link at the path",
         [](const std::string& dir, const std::string& path) {
             ::symlink((dir + "/elsewhere").c_str(), path.c_str());
         },
         "lmtp.sock",
         "bind: Address already in use",
         {"[error] Socket path is a symbolic link, not unlinking: "}},
        {"missing directory",
         [](const std::string&, const std::string&) {},
         "none/lmtp.sock",
         "bind: No such file or directory",
         {}},
        {"path longer than 107 bytes",
         [](const std::string&, const std::string&) {},
         std::string(120, 'x'),
         "File name too long",
         {}},
    };
    for (const test_case& c : cases) {
        test_support::temp_dir dir;
        boost::asio::io_context io_context;
        const std::string path = dir.file(c.path_suffix);
        c.make(dir.path().string(), path);
        test_support::log_capture log;
        try {
            open_unix_listener(io_context, unix_config(path, "", "", "0660"));
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.what)) << c.name;
        }
        std::vector<std::string> expected;
        for (const std::string& line : c.log)
            expected.push_back(line + path);
        EXPECT_EQ(log.lines(), expected) << c.name;
    }
}

TEST(OpenUnixListener, RegularFileAtThePathIsKept) {
    test_support::temp_dir dir;
    boost::asio::io_context io_context;
    const std::string path = dir.file("quillgate.conf");
    test_support::write_file(path, "precious\n");
    test_support::log_capture log;
    EXPECT_THROW(open_unix_listener(io_context, unix_config(path)), boost::system::system_error);
    EXPECT_EQ(test_support::read_file(path), "precious\n");
}

TEST(OpenTcpListener, ListensOnAllIpv4Addresses) {
    boost::asio::io_context io_context;
    test_support::log_capture log;
    auto acceptor = open_tcp_listener(io_context, Config{});
    const auto local = acceptor.local_endpoint();
    EXPECT_EQ(local.address(), boost::asio::ip::address_v4::any());
    EXPECT_NE(local.port(), 0);
    EXPECT_THAT(log.lines(), ElementsAre("[info] LMTP server started on port 0..."));
    boost::asio::ip::tcp::socket client(io_context);
    client.connect({boost::asio::ip::address_v4::loopback(), local.port()});
    EXPECT_TRUE(acceptor.accept().is_open());
}

TEST(OpenTcpListener, PortInUseThrowsFromBind) {
    boost::asio::io_context io_context;
    boost::asio::ip::tcp::acceptor holder(io_context, {boost::asio::ip::tcp::v4(), 0});
    Config config;
    config.listen_port = holder.local_endpoint().port();
    test_support::log_capture log;
    try {
        open_tcp_listener(io_context, config);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.what(), "bind: Address already in use");
    }
    EXPECT_THAT(log.lines(), IsEmpty());
}

} // namespace
