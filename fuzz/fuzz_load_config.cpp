// Fuzz target for the configuration file reader: the input is written to a file and read with
// load_config, which must either throw a std::exception or return the Config that the key
// rules give for the parsed tree, with its checked values in range.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "config/config.hpp"
#include "include_files.hpp"
#include "ucl/ucl.hpp"

namespace {

// Ends the run with a message when an expectation about the reader does not hold.
void expect(bool condition, const std::string& what) {
    if (condition) return;
    std::fprintf(stderr, "load_config fuzz: %s\n", what.c_str());
    std::abort();
}

// A key that holds a value other than null.
bool present(const ucl::Ucl& value) {
    return value && value.type() != ucl::Type::null;
}

// The text rule.
std::string text_of(const ucl::Ucl& value) {
    return value.string_value("");
}

// The number rule, before narrowing.
std::int64_t number_of(const ucl::Ucl& value) {
    return value.toint_safe().value_or(0);
}

// The configuration that the key rules give for a parsed tree.
Config expected_config(const ucl::Ucl& root) {
    Config config;
    const ucl::Ucl rspamd = root.lookup("rspamd");
    if (rspamd.type() == ucl::Type::object && present(rspamd.lookup("socket_path"))) {
        config.rspamd_socket_path = text_of(rspamd.lookup("socket_path"));
    } else {
        config.rspamd_host = text_of(rspamd.lookup("host"));
        config.rspamd_port = static_cast<std::uint16_t>(number_of(rspamd.lookup("port")));
    }
    const ucl::Ucl lmtp = root.lookup("lmtp");
    const ucl::Ucl socket = lmtp.lookup("listen_socket");
    if (present(socket) && socket.type() == ucl::Type::object) {
        config.listen_socket = text_of(socket.lookup("path"));
        config.socket_user = text_of(socket.lookup("user"));
        config.socket_group = text_of(socket.lookup("group"));
        config.socket_permission = text_of(socket.lookup("permission"));
    } else if (present(socket)) {
        std::string* fields[] = {&config.listen_socket, &config.socket_user, &config.socket_group,
                                 &config.socket_permission};
        const std::string text = text_of(socket);
        std::size_t start = 0;
        for (std::string* field : fields) {
            const auto end = text.find(':', start);
            *field = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    } else {
        config.listen_port = static_cast<std::uint16_t>(number_of(lmtp.lookup("listen_port")));
    }
    if (present(lmtp.lookup("forward_socket_path"))) {
        config.forward_socket_path = text_of(lmtp.lookup("forward_socket_path"));
    } else {
        config.forward_host = text_of(lmtp.lookup("forward_host"));
        config.forward_port = static_cast<std::uint16_t>(number_of(lmtp.lookup("forward_port")));
    }
    const ucl::Ucl timeout = lmtp.lookup("session").lookup("timeout_seconds");
    config.timeout_seconds = present(timeout) ? static_cast<std::int32_t>(number_of(timeout)) : 120;
    const ucl::Ucl log = root.lookup("log");
    config.log_file = text_of(log.lookup("file"));
    config.retention_days = static_cast<std::int32_t>(number_of(log.lookup("retention_days")));
    config.log_level = 2;
    const std::string level = text_of(log.lookup("level"));
    int index = 0;
    for (const char* word : {"trace", "debug", "info", "warn", "err", "critical", "off"}) {
        if (level == word) config.log_level = index;
        ++index;
    }
    config.reject_action = "reject";
    const std::string action = text_of(root.lookup("action").lookup("on_reject"));
    if (action == "accept" || action == "rewrite_recipients") config.reject_action = action;
    return config;
}

// Compares one member of the two records.
template <class Value> void compare(const char* member, const Value& read, const Value& expected) {
    expect(read == expected,
           std::string("load_config gave another ") + member + " than the key rules give");
}

std::string config_path; // the file each input is written to

// Removes the file's directory when the fuzzer exits.
void remove_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(config_path).parent_path(), ignored);
}

} // namespace

// Creates the private directory, the files to include and a logger that formats every message and
// prints none.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/quillgate-fuzz-config-XXXXXX";
    expect(::mkdtemp(pattern) != nullptr, "cannot create a temporary directory");
    config_path = std::string(pattern) + "/quillgate.conf";
    std::atexit(remove_directory);
    make_include_files();
    auto logger =
        std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    return 0;
}

// Writes the input to the file, reads it with load_config and checks the record.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Included files are read from the file system: keep the rest of the system out of reach.
    if (reaches_too_far(text)) return 0;
    {
        std::ofstream file(config_path, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        expect(static_cast<bool>(file), "cannot write the configuration file");
    }
    std::string parse_error;
    const ucl::Ucl root = ucl::Ucl::parse(text, parse_error);

    Config config;
    try {
        config = load_config(config_path);
    } catch (const std::runtime_error& e) {
        expect(!parse_error.empty(),
               std::string("load_config failed on a text that parses: ") + e.what());
        expect(e.what() == "Error parsing config file: " + parse_error,
               std::string("load_config failed with another text: ") + e.what());
        return 0;
    } catch (const std::exception& e) {
        expect(false,
               std::string("load_config threw something other than runtime_error: ") + e.what());
    }
    expect(parse_error.empty(), "load_config read a text that does not parse: " + parse_error);

    const Config want = expected_config(root);
    compare("rspamd_socket_path", config.rspamd_socket_path, want.rspamd_socket_path);
    compare("rspamd_host", config.rspamd_host, want.rspamd_host);
    compare("rspamd_port", config.rspamd_port, want.rspamd_port);
    compare("listen_port", config.listen_port, want.listen_port);
    compare("listen_socket", config.listen_socket, want.listen_socket);
    compare("socket_user", config.socket_user, want.socket_user);
    compare("socket_group", config.socket_group, want.socket_group);
    compare("socket_permission", config.socket_permission, want.socket_permission);
    compare("forward_host", config.forward_host, want.forward_host);
    compare("forward_port", config.forward_port, want.forward_port);
    compare("forward_socket_path", config.forward_socket_path, want.forward_socket_path);
    compare("log_file", config.log_file, want.log_file);
    compare("retention_days", config.retention_days, want.retention_days);
    compare("log_level", config.log_level, want.log_level);
    compare("timeout_seconds", config.timeout_seconds, want.timeout_seconds);
    compare("reject_action", config.reject_action, want.reject_action);
    return 0;
}
