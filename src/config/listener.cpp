// Opening the LMTP listeners: stale-socket removal, bind and listen, then the socket file's mode
// and owner.
#include "config/listener.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace {

// Opens, configures, binds and listens an acceptor; each failing step throws a system error
// naming it.
template <class Acceptor>
Acceptor open_acceptor(boost::asio::io_context& io_context,
                       const typename Acceptor::endpoint_type& endpoint) {
    Acceptor acceptor(io_context);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(typename Acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(listen_backlog);
    return acceptor;
}

} // namespace

socket_permission_result parse_socket_permission(const std::string& text) {
    int value = 0;
    try {
        value = std::stoi(text, nullptr, 8);
    } catch (const std::invalid_argument&) {
        return {std::nullopt, fmt::format("Invalid socket permission format: {}", text)};
    } catch (const std::out_of_range&) {
        return {std::nullopt, fmt::format("Invalid socket permission format: {}", text)};
    }
    if (value < 0 || value > 0777)
        return {std::nullopt, fmt::format("Invalid socket permission value: {}", text)};
    return {static_cast<mode_t>(value), {}};
}

void remove_stale_socket(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return;
    if (S_ISLNK(status.st_mode))
        return spdlog::error("Socket path is a symbolic link, not unlinking: {}", path);
    if (!S_ISSOCK(status.st_mode))
        return spdlog::error("Socket path exists and is not a socket, not unlinking: {}", path);
    ::unlink(path.c_str());
}

void set_socket_mode(const std::string& path, const std::string& permission) {
    socket_permission_result result = parse_socket_permission(permission);
    if (!result.mode) return spdlog::error("{}", result.error);
    if (::chmod(path.c_str(), *result.mode) != 0)
        spdlog::error("Failed to set socket permissions: {}", std::strerror(errno));
}

void set_socket_owner(const std::string& path, const std::string& user, const std::string& group) {
    uid_t user_id = static_cast<uid_t>(-1);
    gid_t group_id = static_cast<gid_t>(-1);
    if (!user.empty()) {
        if (const passwd* entry = ::getpwnam(user.c_str()))
            user_id = entry->pw_uid;
        else
            spdlog::error("User not found: {}", user);
    }
    if (!group.empty()) {
        if (const struct group* entry = ::getgrnam(group.c_str()))
            group_id = entry->gr_gid;
        else
            spdlog::error("Group not found: {}", group);
    }
    if (user_id == static_cast<uid_t>(-1) || group_id == static_cast<gid_t>(-1))
        return spdlog::error("Invalid user or group for socket ownership");
    if (::chown(path.c_str(), user_id, group_id) != 0)
        spdlog::error("Failed to set socket owner: {}", std::strerror(errno));
}

boost::asio::local::stream_protocol::acceptor
open_unix_listener(boost::asio::io_context& io_context, const Config& config) {
    const std::string& path = config.listen_socket;
    remove_stale_socket(path);
    boost::asio::local::stream_protocol::endpoint endpoint(path);
    auto acceptor =
        open_acceptor<boost::asio::local::stream_protocol::acceptor>(io_context, endpoint);
    if (!config.socket_permission.empty()) set_socket_mode(path, config.socket_permission);
    if (!config.socket_user.empty() || !config.socket_group.empty())
        set_socket_owner(path, config.socket_user, config.socket_group);
    spdlog::info("LMTP server started on Unix socket {}...", path);
    return acceptor;
}

boost::asio::ip::tcp::acceptor open_tcp_listener(boost::asio::io_context& io_context,
                                                 const Config& config) {
    boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::tcp::v4(), config.listen_port);
    auto acceptor = open_acceptor<boost::asio::ip::tcp::acceptor>(io_context, endpoint);
    spdlog::info("LMTP server started on port {}...", config.listen_port);
    return acceptor;
}
