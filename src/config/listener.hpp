// The LMTP listening sockets: a Unix-domain socket with its mode and owner, or a TCP port on all
// IPv4 addresses.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "config/config.hpp"

// Backlog of both listeners.
inline constexpr int listen_backlog = 4096;

// The mode a socket permission text asks for, or the error line it gives instead.
struct socket_permission_result {
    std::optional<mode_t> mode; // set when the text is a valid mode
    std::string error;          // the error line when it is not
};

// Reads a socket permission text as octal, as std::stoi with base 8 does, and checks 0 to 0777.
socket_permission_result parse_socket_permission(const std::string& text);

// Unlinks a stale socket at `path`; a symbolic link or anything else but a socket is logged and
// left in place.
void remove_stale_socket(const std::string& path);

// Sets the mode of `path` from a non-empty permission text; failures are logged, not thrown.
void set_socket_mode(const std::string& path, const std::string& permission);

// Sets the owner of `path` from a user and a group name; failures are logged, not thrown.
void set_socket_owner(const std::string& path, const std::string& user, const std::string& group);

// Opens the Unix-domain listener at `config.listen_socket` with its mode and owner; throws when
// the socket cannot be opened, bound or put to listen.
boost::asio::local::stream_protocol::acceptor
open_unix_listener(boost::asio::io_context& io_context, const Config& config);

// Opens the TCP listener on 0.0.0.0 at `config.listen_port`; throws when that fails.
boost::asio::ip::tcp::acceptor open_tcp_listener(boost::asio::io_context& io_context,
                                                 const Config& config);
