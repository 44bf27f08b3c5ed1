// A blocking LMTP client for the tests, over TCP or a Unix-domain socket.
#include "support/line_client.hpp"

#include <cstring>
#include <utility>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace test_support {

line_client::line_client(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

line_client::line_client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

line_client::~line_client() {
    ::close(fd_);
}

bool line_client::send(const std::string& text) const {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t count = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

void line_client::shutdown_send() const {
    ::shutdown(fd_, SHUT_WR);
}

std::optional<std::string> line_client::next_line(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos && receive(deadline)) {
    }
    if (end == std::string::npos) return std::nullopt;
    std::string line = buffer_.substr(0, end + 2);
    buffer_.erase(0, end + 2);
    return line;
}

std::string line_client::read_line(std::chrono::milliseconds limit) {
    if (std::optional<std::string> line = next_line(limit)) return std::move(*line);
    return std::exchange(buffer_, {});
}

bool line_client::wait_closed(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (receive(deadline)) {
    }
    return closed_;
}

bool line_client::receive(std::chrono::steady_clock::time_point deadline) {
    if (closed_) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t received = ::recv(fd_, chunk, sizeof chunk, 0);
    if (received <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(received));
    return true;
}

} // namespace test_support
