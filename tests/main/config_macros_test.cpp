// The daemon binary with configuration files that use the reader's macros (.inherit, .include
// with priority, try and duplicate options, .load, .priority): it starts, serves a message from
// LMTP through the scanner to the mail server, and takes such a file on SIGHUP.
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "main/daemon_test_fixture.hpp"
#include "support/fake_mail_server.hpp"
#include "support/fake_rspamd.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::line_client;

// The ports a configuration names: the daemon's listener, the scanner's and the mail server's.
struct peer_ports {
    unsigned short listen;
    unsigned short rspamd;
    unsigned short forward;
};

// One configuration: the main file and the files it includes or loads.
struct macro_case {
    const char* name;
    std::function<std::string(const peer_ports&)> main_file;
    std::function<std::vector<std::pair<std::string, std::string>>(const peer_ports&)> files;
    int timeout_seconds = 120; // the session time-out the configuration comes to
};

// Names the case in the test's messages.
void PrintTo(const macro_case& config, std::ostream* out) {
    *out << config.name;
}

// A port as configuration text.
std::string number(unsigned short port) {
    return std::to_string(port);
}

const std::string log_section = "log { file = \"logs/quillgate.log\"; level = \"info\"; }\n";

// The scanner section with both settings written in place.
std::string rspamd_section(const peer_ports& ports) {
    return "rspamd { host = \"127.0.0.1\"; port = " + number(ports.rspamd) + "; }\n";
}

// An `lmtp` section (or another section of the same keys) listening and forwarding as `ports`.
std::string lmtp_settings(const std::string& section, const peer_ports& ports) {
    return section + " {\n  listen_port = " + number(ports.listen) +
           ";\n  forward_host = \"127.0.0.1\";\n  forward_port = " + number(ports.forward) +
           ";\n}\n";
}

// Ports that no peer listens on, so that a setting read from the wrong place fails to serve.
const peer_ports wrong_ports{9, 9, 9};

const std::vector<macro_case> macro_cases = {
    {"InheritOfASectionHoldingTheLmtpSettings",
     [](const peer_ports& ports) {
         return lmtp_settings("defaults", ports) + "lmtp { .inherit \"defaults\" }\n" +
                rspamd_section(ports) + log_section;
     },
     [](const peer_ports&) { return std::vector<std::pair<std::string, std::string>>{}; }},
    {"IncludeWithPriorityTwoReplacesTheLmtpSection",
     [](const peer_ports& ports) {
         return lmtp_settings("lmtp", wrong_ports) + rspamd_section(ports) + log_section +
                ".include(priority=2) \"local.conf\"\n";
     },
     [](const peer_ports& ports) {
         return std::vector<std::pair<std::string, std::string>>{
             {"local.conf", lmtp_settings("lmtp", ports)}};
     }},
    {"LoadOfTheRspamdHostFromAFile",
     [](const peer_ports& ports) {
         return "rspamd {\n  .load(key=\"host\", target=\"string\") \"rspamd-host\"\n"
                "  .load(key=\"port\", target=\"int\") \"rspamd-port\"\n}\n" +
                lmtp_settings("lmtp", ports) + log_section;
     },
     [](const peer_ports& ports) {
         return std::vector<std::pair<std::string, std::string>>{
             {"rspamd-host", "127.0.0.1"}, {"rspamd-port", number(ports.rspamd) + "\n"}};
     }},
    {"PriorityAtTheTopOfTheFile",
     [](const peer_ports& ports) {
         return ".priority 1\n" + lmtp_settings("lmtp", ports) + rspamd_section(ports) +
                log_section + ".include \"defaults.conf\"\n";
     },
     [](const peer_ports&) {
         return std::vector<std::pair<std::string, std::string>>{
             {"defaults.conf", lmtp_settings("lmtp", wrong_ports) + rspamd_section(wrong_ports)}};
     }},
    {"IncludeWithTryOfAMissingFile",
     [](const peer_ports& ports) {
         return lmtp_settings("lmtp", ports) + rspamd_section(ports) + log_section +
                ".include(try=true,priority=1,duplicate=\"merge\") \"local.d/quillgate.conf\"\n";
     },
     [](const peer_ports&) { return std::vector<std::pair<std::string, std::string>>{}; }},
    {"IncludeWithDuplicateMergeInsideASection",
     [](const peer_ports& ports) {
         return "lmtp {\n  listen_port = " + number(ports.listen) +
                ";\n  session { }\n  .include(duplicate=\"merge\") \"forward.conf\"\n}\n" +
                rspamd_section(ports) + log_section;
     },
     [](const peer_ports& ports) {
         return std::vector<std::pair<std::string, std::string>>{
             {"forward.conf", "forward_host = \"127.0.0.1\"\nforward_port = " +
                                  number(ports.forward) + "\nsession { timeout_seconds = 1 }\n"}};
     },
     1},
};

// A daemon on a free TCP port in front of a fake scanner and a fake mail server.
class ConfigMacros : public test_support::DaemonTest,
                     public testing::WithParamInterface<macro_case> {
  protected:
    // Writes the case's files into the working directory.
    void write_case(const macro_case& config) const {
        write_config(config.main_file(ports_));
        for (const auto& [name, content] : config.files(ports_)) {
            std::filesystem::create_directories(
                std::filesystem::path(work_file(name)).parent_path());
            test_support::write_file(work_file(name), content);
        }
    }

    std::string start_line() const {
        return "[info] LMTP server started on port " + number(ports_.listen) + "...";
    }

    // Sends one LMTP line and returns the whole reply (every line of a multi-line one).
    static std::string command(line_client& client, const std::string& line) {
        client.send(line + "\r\n");
        std::string reply;
        for (std::string next = client.read_line(5s); !next.empty(); next = client.read_line(5s)) {
            reply += next;
            if (next.size() < 4 || next[3] != '-') break;
        }
        return reply;
    }

    // Delivers one message through the daemon and checks that the mail server received it.
    void serve_one_message() {
        line_client client(ports_.listen);
        ASSERT_EQ(client.read_line(), "220 localhost LMTP server ready\r\n");
        EXPECT_EQ(command(client, "LHLO client.example").substr(0, 3), "250");
        EXPECT_EQ(command(client, "MAIL FROM:<sender@example.org>"), "250 OK\r\n");
        EXPECT_EQ(command(client, "RCPT TO:<rcpt@example.org>"), "250 OK\r\n");
        EXPECT_EQ(command(client, "DATA").substr(0, 3), "354");
        EXPECT_EQ(command(client, "Subject: macros\r\n\r\nbody\r\n."),
                  "250 OK: Message accepted for scanning\r\n");
        ASSERT_TRUE(mail_.wait_for_deliveries(1, 5s));
        EXPECT_EQ(mail_.deliveries()[0].data, "Subject: macros\r\n\r\nbody\r\n");
        EXPECT_EQ(rspamd_.requests().size(), 1u);
        EXPECT_EQ(command(client, "QUIT"), "221 Bye\r\n");
    }

    test_support::fake_rspamd rspamd_;
    test_support::fake_mail_server mail_;
    const peer_ports ports_{test_support::free_tcp_port(), rspamd_.port(), mail_.port()};
};

TEST_P(ConfigMacros, DaemonStartsAndServes) {
    write_case(GetParam());
    start();
    ASSERT_TRUE(wait_for_log(start_line())) << daemon_->standard_output();
    serve_one_message();
    if (GetParam().timeout_seconds == 1) {
        line_client idle(ports_.listen);
        ASSERT_EQ(idle.read_line(), "220 localhost LMTP server ready\r\n");
        EXPECT_EQ(idle.read_line(3s), "421 4.4.2 Connection timeout\r\n")
            << "the merged session section sets the time-out";
    }
    stop_daemon();
}

TEST_P(ConfigMacros, ReloadTakesTheFile) {
    write_config(lmtp_settings("lmtp", ports_) + rspamd_section(wrong_ports) + log_section);
    start();
    ASSERT_TRUE(wait_for_log(start_line())) << daemon_->standard_output();
    write_case(GetParam());
    daemon_->signal(SIGHUP);
    ASSERT_TRUE(wait_for_log("[info] Configuration reloaded successfully."))
        << testing::PrintToString(log_lines());
    serve_one_message();
    stop_daemon();
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigMacros, testing::ValuesIn(macro_cases),
                         [](const testing::TestParamInfo<macro_case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
