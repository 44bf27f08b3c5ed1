// Tests of `load_config`: configuration texts and the record each gives, the messages it logs,
// its two failures and the shipped quillgate.conf.
#include "config/config.hpp"
#include "support/log_capture.hpp"
#include "support/test_env.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using test_support::temp_dir;
using test_support::write_file;

// Every member of a record, one per line, so a failed comparison names the member.
std::string record_text(const Config& c) {
    std::ostringstream out;
    out << "rspamd_socket_path=" << c.rspamd_socket_path << "\nrspamd_host=" << c.rspamd_host
        << "\nrspamd_port=" << c.rspamd_port << "\nlisten_port=" << c.listen_port
        << "\nlisten_socket=" << c.listen_socket << "\nsocket_user=" << c.socket_user
        << "\nsocket_group=" << c.socket_group << "\nsocket_permission=" << c.socket_permission
        << "\nforward_host=" << c.forward_host << "\nforward_port=" << c.forward_port
        << "\nforward_socket_path=" << c.forward_socket_path << "\nlog_file=" << c.log_file
        << "\nretention_days=" << c.retention_days << "\nlog_level=" << c.log_level
        << "\ntimeout_seconds=" << c.timeout_seconds << "\nreject_action=" << c.reject_action
        << "\n";
    return out.str();
}

// The record that a file without any key gives.
Config defaults() {
    Config config;
    config.log_level = 2;
    config.timeout_seconds = 120;
    config.reject_action = "reject";
    return config;
}

// Captures what the default logger writes, as "[level] message" lines, for one test.
class LoadConfig : public testing::Test {
  protected:
    // Loads `text` written to a file of the temporary directory.
    Config load_text(const std::string& text) {
        const std::string path = dir_.file("quillgate.conf");
        write_file(path, text);
        return load_config(path);
    }

    temp_dir dir_;
    test_support::log_capture log_;
};

// A configuration text, how its record differs from the defaults, and what it logs.
struct config_case {
    const char* name;
    std::string text;
    std::function<void(Config&)> expect;
    std::string log;
};

// Names a case in the test's failure messages.
void PrintTo(const config_case& c, std::ostream* out) {
    *out << c.name;
}

class ConfigText : public LoadConfig, public testing::WithParamInterface<config_case> {};

TEST_P(ConfigText, GivesRecord) {
    Config expected = defaults();
    if (GetParam().expect) GetParam().expect(expected);
    EXPECT_EQ(record_text(load_text(GetParam().text)), record_text(expected)) << GetParam().text;
    EXPECT_EQ(log_.text(), GetParam().log);
}

const std::string invalid_empty =
    "[error] Invalid reject_action value: . Defaulting to 'reject'.\n";

const config_case config_cases[] = {
    {"empty_file", "", nullptr, ""},
    {"top_level_list", "[1, 2, 3]", nullptr, ""},
    {"every_key",
     "rspamd { host = \"scanner\"; port = 11333 }\n"
     "lmtp { listen_port = 10024; forward_host = \"mx\"; forward_port = 10025;\n"
     "       session { timeout_seconds = 30 } }\n"
     "log { file = \"q.log\"; retention_days = 7; level = \"debug\" }\n"
     "action { on_reject = \"rewrite_recipients\" }\n",
     [](Config& c) {
         c.rspamd_host = "scanner";
         c.rspamd_port = 11333;
         c.listen_port = 10024;
         c.forward_host = "mx";
         c.forward_port = 10025;
         c.timeout_seconds = 30;
         c.log_file = "q.log";
         c.retention_days = 7;
         c.log_level = 1;
         c.reject_action = "rewrite_recipients";
     },
     ""},
    {"ports_truncate_and_wrap",
     "rspamd { port = 25.9 }\nlmtp { listen_port = 65537; forward_port = -1 }",
     [](Config& c) {
         c.rspamd_port = 25;
         c.listen_port = 1;
         c.forward_port = 65535;
     },
     ""},
    {"ports_of_other_types_are_zero",
     "rspamd { port = \"11333\" }\nlmtp { listen_port = true; forward_port = 65536 }", nullptr, ""},
    {"counts_keep_32_bits",
     "log { retention_days = 4294967303 }\nlmtp { session { "
     "timeout_seconds = -5 } }",
     [](Config& c) {
         c.retention_days = 7;
         c.timeout_seconds = -5;
     },
     ""},
    {"timeout_time_value", "lmtp { session { timeout_seconds = 3min } }",
     [](Config& c) { c.timeout_seconds = 180; }, ""},
    {"timeout_float", "lmtp { session { timeout_seconds = 7.9 } }",
     [](Config& c) { c.timeout_seconds = 7; }, ""},
    {"timeout_quoted_digits", "lmtp { session { timeout_seconds = \"30\" } }",
     [](Config& c) { c.timeout_seconds = 0; }, ""},
    {"timeout_null", "lmtp { session { timeout_seconds = null } }", nullptr, ""},
    {"session_null", "lmtp { session = null }", nullptr, ""},
    {"timeout_outside_session", "lmtp { timeout_seconds = 5 }", nullptr, ""},
    {"empty_socket_path_wins", "rspamd { socket_path = \"\"; host = \"h\"; port = 1 }", nullptr,
     ""},
    {"socket_path_skips_host_and_port",
     "rspamd { socket_path = /run/rspamd.sock; host = \"h\"; port = 1 }",
     [](Config& c) { c.rspamd_socket_path = "/run/rspamd.sock"; }, ""},
    {"null_socket_path_reads_host", "rspamd { socket_path = null; host = \"h\"; port = 1 }",
     [](Config& c) {
         c.rspamd_host = "h";
         c.rspamd_port = 1;
     },
     ""},
    {"rspamd_not_an_object", "rspamd = \"127.0.0.1\"", nullptr, ""},
    {"sections_of_other_types",
     "lmtp = [24]\nlog = 5\nrspamd = true\nsession { timeout_seconds = 1 }", nullptr, ""},
    {"text_ends_at_nul", "rspamd { host = \"ab\\u0000cd\" }",
     [](Config& c) { c.rspamd_host = "ab"; }, ""},
    {"listen_socket_text", "lmtp { listen_socket = /run/lmtp/filter.sock:postfix:mail:0660 }",
     [](Config& c) {
         c.listen_socket = "/run/lmtp/filter.sock";
         c.socket_user = "postfix";
         c.socket_group = "mail";
         c.socket_permission = "0660";
     },
     ""},
    {"listen_socket_text_empty_field", "lmtp { listen_socket = \"/a::grp\" }",
     [](Config& c) {
         c.listen_socket = "/a";
         c.socket_group = "grp";
     },
     ""},
    {"listen_socket_text_extra_field", "lmtp { listen_socket = \"/a:b:c:d:e\" }",
     [](Config& c) {
         c.listen_socket = "/a";
         c.socket_user = "b";
         c.socket_group = "c";
         c.socket_permission = "d";
     },
     ""},
    {"listen_socket_text_blanks_kept", "lmtp { listen_socket = \" /a : u \" }",
     [](Config& c) {
         c.listen_socket = " /a ";
         c.socket_user = " u ";
     },
     ""},
    {"listen_socket_empty_text_hides_port", "lmtp { listen_socket = \"\"; listen_port = 24 }",
     nullptr, ""},
    {"listen_socket_number", "lmtp { listen_socket = 5; listen_port = 24 }", nullptr, ""},
    {"listen_socket_table",
     "lmtp { listen_socket { path = \"/run/q.sock\"; user = \"postfix\"; group = null;\n"
     "       permission = \"0660\" }; listen_port = 24 }",
     [](Config& c) {
         c.listen_socket = "/run/q.sock";
         c.socket_user = "postfix";
         c.socket_permission = "0660";
     },
     ""},
    {"listen_socket_table_number_permission",
     "lmtp { listen_socket { path = \"/p\"; permission = 0660 } }",
     [](Config& c) { c.listen_socket = "/p"; }, ""},
    {"listen_socket_empty_table", "lmtp { listen_socket {}\n listen_port = 24 }", nullptr, ""},
    {"listen_socket_null_reads_port", "lmtp { listen_socket = null; listen_port = 24 }",
     [](Config& c) { c.listen_port = 24; }, ""},
    {"forward_socket_number",
     "lmtp { forward_socket_path = 5; forward_host = h; forward_port = 1 }", nullptr, ""},
    {"forward_socket_path", "lmtp { forward_socket_path = \"/run/pf.sock\"; forward_port = 1 }",
     [](Config& c) { c.forward_socket_path = "/run/pf.sock"; }, ""},
    {"level_off", "log { level = \"off\" }", [](Config& c) { c.log_level = 6; }, ""},
    {"level_off_unquoted_is_a_boolean", "log { level = off }", nullptr, ""},
    {"level_err", "log { level = \"err\" }", [](Config& c) { c.log_level = 4; }, ""},
    {"level_upper_case", "log { level = \"INFO\" }", nullptr, ""},
    {"level_warning", "log { level = \"warning\" }", nullptr, ""},
    {"level_trace_and_critical_first_wins", "log { level = trace; level = critical }",
     [](Config& c) { c.log_level = 0; }, ""},
    {"action_accept", "action { on_reject = accept }",
     [](Config& c) { c.reject_action = "accept"; }, ""},
    {"action_null", "action = null", nullptr, ""},
    {"action_empty_table", "action {}", nullptr, invalid_empty},
    {"action_not_an_object", "action = \"accept\"", nullptr, invalid_empty},
    {"action_number", "action { on_reject = 1 }", nullptr, invalid_empty},
    {"action_capitalised", "action { on_reject = \"Accept\" }", nullptr,
     "[error] Invalid reject_action value: Accept. Defaulting to 'reject'.\n"},
    {"first_duplicate_key", "lmtp { listen_port = 24; listen_port = 25 }",
     [](Config& c) { c.listen_port = 24; }, ""},
    {"section_in_two_blocks", "lmtp { listen_port = 24 }\nlmtp { forward_port = 25 }",
     [](Config& c) { c.listen_port = 24; }, ""},
    {"other_letter_case_ignored",
     "RSPAMD { host = \"h\" }\nrspamd { Host = \"h\"; PORT = 1 }\nLog { level = debug }", nullptr,
     ""},
    {"unknown_sections_ignored", "extra { a = 1 }\nrspamd { host = h; extra = 2 }",
     [](Config& c) { c.rspamd_host = "h"; }, ""},
};

INSTANTIATE_TEST_SUITE_P(Texts, ConfigText, testing::ValuesIn(config_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadConfig, MissingFileThrowsAndLogsOnce) {
    const std::string path = dir_.file("absent.conf");
    try {
        load_config(path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Could not open config file: " + path);
    }
    EXPECT_EQ(log_.text(),
              "[error] Error loading configuration: Could not open config file: " + path + "\n");
}

TEST_F(LoadConfig, ParseErrorThrowsWithTheReadersText) {
    const std::string message =
        "Error parsing config file: line 3, column 1: expected '}' to close "
        "the object opened at line 1, column 6, found the end of the text";
    try {
        load_text("lmtp {\n  listen_port = 24\n");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(log_.text(), "[error] Error loading configuration: " + message + "\n");
}

TEST_F(LoadConfig, UnreadableFileThrowsAndLogs) {
    EXPECT_THROW(load_config(dir_.path().string()), std::exception);
    EXPECT_EQ(log_.text().rfind("[error] Error loading configuration: ", 0), 0u) << log_.text();
}

TEST_F(LoadConfig, UclAndJsonGiveEqualRecords) {
    const Config from_ucl = load_text(R"(# UCL style
rspamd { socket_path = /run/rspamd/normal.sock }
lmtp {
    listen_socket = /run/lmtp/q.sock:postfix:mail:0660
    forward_host = 127.0.0.1; forward_port = 10025
    session { timeout_seconds = 1min }
}
log { file = quillgate.log; retention_days = 7; level = warn }
action { on_reject = accept }
)");
    const Config from_json = load_text(R"({
  "rspamd": {"socket_path": "/run/rspamd/normal.sock"},
  "lmtp": {
    "listen_socket": "/run/lmtp/q.sock:postfix:mail:0660",
    "forward_host": "127.0.0.1", "forward_port": 10025,
    "session": {"timeout_seconds": 60}
  },
  "log": {"file": "quillgate.log", "retention_days": 7, "level": "warn"},
  "action": {"on_reject": "accept"}
})");
    EXPECT_EQ(record_text(from_ucl), record_text(from_json));
    EXPECT_EQ(from_json.socket_user, "postfix");
    EXPECT_EQ(from_json.timeout_seconds, 60);
    EXPECT_EQ(from_json.log_level, 3);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(LoadConfig, ShippedConfiguration) {
    Config expected = defaults();
    expected.rspamd_host = "127.0.0.1";
    expected.rspamd_port = 11333;
    expected.listen_port = 10024;
    expected.forward_host = "127.0.0.1";
    expected.forward_port = 10025;
    expected.log_file = "quillgate.log";
    expected.retention_days = 7;
    const std::string path = std::string(test_support::source_dir()) + "/quillgate.conf";
    EXPECT_EQ(record_text(load_config(path)), record_text(expected));
    EXPECT_EQ(log_.text(), "");
}

} // namespace
