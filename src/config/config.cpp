// Reads the daemon's UCL configuration file into a `Config`: every key with its default, the
// text and number rules, the two forms of the listening socket and the checked words.
#include "config/config.hpp"

#include "ucl/ucl.hpp"

#include <spdlog/spdlog.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

// A key counts as present when it holds a value other than null.
bool is_present(const ucl::Ucl& value) {
    return value && value.type() != ucl::Type::null;
}

// The text rule: the string of a string value, the empty text for everything else.
std::string text_of(const ucl::Ucl& value) {
    return value.string_value("");
}

// The number rule: the integer of a number (floats and time values truncated), else 0.
std::int64_t number_of(const ucl::Ucl& value) {
    return value.toint_safe().value_or(0);
}

// Ports keep the low 16 bits of the number, so 65537 gives 1 and -1 gives 65535.
std::uint16_t port_of(const ucl::Ucl& value) {
    return static_cast<std::uint16_t>(number_of(value));
}

// Counts keep the low 32 bits of the number.
std::int32_t count_of(const ucl::Ucl& value) {
    return static_cast<std::int32_t>(number_of(value));
}

// The whole file, byte for byte; throws when it cannot be opened or read.
std::string read_config_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Could not open config file: " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Parses the text, throwing with the reader's error text when it does not parse.
ucl::Ucl parse_config_text(const std::string& text) {
    std::string error;
    ucl::Ucl root = ucl::Ucl::parse(text, error);
    if (!error.empty()) throw std::runtime_error("Error parsing config file: " + error);
    return root;
}

// Section `rspamd`: a present `socket_path` wins over `host` and `port`.
void read_rspamd(const ucl::Ucl& rspamd, Config& config) {
    const ucl::Ucl socket_path = rspamd.lookup("socket_path");
    if (is_present(socket_path)) {
        config.rspamd_socket_path = text_of(socket_path);
        return;
    }
    config.rspamd_host = text_of(rspamd.lookup("host"));
    config.rspamd_port = port_of(rspamd.lookup("port"));
}

// The text form path:user:group:permission, split at every ':' with empty fields kept.
void read_listen_socket_text(const std::string& text, Config& config) {
    const std::array<std::string*, 4> fields{&config.listen_socket, &config.socket_user,
                                             &config.socket_group, &config.socket_permission};
    std::size_t start = 0;
    for (std::string* field : fields) {
        const std::size_t colon = text.find(':', start);
        *field = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (colon == std::string::npos) return;
        start = colon + 1;
    }
}

// Section `lmtp`, the listener: a present `listen_socket` (table or text) or else `listen_port`.
void read_listener(const ucl::Ucl& lmtp, Config& config) {
    const ucl::Ucl listen_socket = lmtp.lookup("listen_socket");
    if (!is_present(listen_socket)) {
        config.listen_port = port_of(lmtp.lookup("listen_port"));
        return;
    }
    if (listen_socket.type() != ucl::Type::object) {
        return read_listen_socket_text(text_of(listen_socket), config);
    }
    const std::array<std::pair<std::string_view, std::string*>, 4> keys{{
        {"path", &config.listen_socket},
        {"user", &config.socket_user},
        {"group", &config.socket_group},
        {"permission", &config.socket_permission},
    }};
    for (const auto& [key, member] : keys) {
        const ucl::Ucl value = listen_socket.lookup(key);
        if (is_present(value)) *member = text_of(value);
    }
}

// Section `lmtp`, re-injection: a present `forward_socket_path` wins over host and port.
void read_forward(const ucl::Ucl& lmtp, Config& config) {
    const ucl::Ucl socket_path = lmtp.lookup("forward_socket_path");
    if (is_present(socket_path)) {
        config.forward_socket_path = text_of(socket_path);
        return;
    }
    config.forward_host = text_of(lmtp.lookup("forward_host"));
    config.forward_port = port_of(lmtp.lookup("forward_port"));
}

// Section `session` inside `lmtp`: 120 seconds unless `timeout_seconds` is present.
void read_session(const ucl::Ucl& lmtp, Config& config) {
    const ucl::Ucl timeout = lmtp.lookup("session").lookup("timeout_seconds");
    config.timeout_seconds = is_present(timeout) ? count_of(timeout) : 120;
}

// The logger level of a level word; info for every other text.
std::int32_t log_level_of(const std::string& word) {
    static const std::array<std::string_view, 7> words{"trace", "debug",    "info", "warn",
                                                       "err",   "critical", "off"};
    for (std::size_t level = 0; level < words.size(); ++level) {
        if (word == words[level]) return static_cast<std::int32_t>(level);
    }
    return 2;
}

// Section `log`: file name, retention and level.
void read_log(const ucl::Ucl& log, Config& config) {
    config.log_file = text_of(log.lookup("file"));
    config.retention_days = count_of(log.lookup("retention_days"));
    config.log_level = log_level_of(text_of(log.lookup("level")));
}

// Section `action`: one of the three words, "reject" for anything else.
void read_action(const ucl::Ucl& action, Config& config) {
    config.reject_action = "reject";
    if (!is_present(action)) return;
    const std::string word = text_of(action.lookup("on_reject"));
    if (word == "reject" || word == "accept" || word == "rewrite_recipients") {
        config.reject_action = word;
        return;
    }
    spdlog::error("Invalid reject_action value: {}. Defaulting to 'reject'.", word);
}

// Every step of reading the file; each failure is thrown.
Config read_config(const std::string& path) {
    Config config;
    const ucl::Ucl root = parse_config_text(read_config_text(path));
    const ucl::Ucl lmtp = root.lookup("lmtp");
    read_rspamd(root.lookup("rspamd"), config);
    read_listener(lmtp, config);
    read_forward(lmtp, config);
    read_session(lmtp, config);
    read_log(root.lookup("log"), config);
    read_action(root.lookup("action"), config);
    return config;
}

} // namespace

Config load_config(const std::string& path) {
    try {
        return read_config(path);
    } catch (const std::exception& e) {
        spdlog::error("Error loading configuration: {}", e.what());
        throw;
    }
}
