// The daemon's configuration record and the reader that fills it from the UCL configuration file.
#pragma once

#include <cstdint>
#include <string>

// Every setting of the daemon; a plain value copied freely (each session holds its own copy).
struct Config {
    std::string rspamd_socket_path; // non-empty: scan over this Unix-domain socket
    std::string rspamd_host;
    std::uint16_t rspamd_port = 0;
    std::uint16_t listen_port = 0;
    std::string listen_socket; // non-empty: listen on this Unix-domain socket instead of TCP
    std::string socket_user;
    std::string socket_group;
    std::string socket_permission; // octal text, such as "0660"
    std::string forward_host;
    std::uint16_t forward_port = 0;
    std::string forward_socket_path; // non-empty: re-inject over this Unix-domain socket
    std::string log_file;
    std::int32_t retention_days = 0;
    std::int32_t log_level = 0; // 0 trace ... 6 off
    std::int32_t timeout_seconds = 0;
    std::string reject_action; // "reject", "accept" or "rewrite_recipients"
};

// Reads, parses and interprets the configuration file at `path`; logs and rethrows on failure.
Config load_config(const std::string& path);
