// Test harness for the LMTP front end: a server on its own event-loop thread, an LMTP client with
// deadlines, and a capture of the default logger's lines.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "config/config.hpp"
#include "lmtp_server/server.hpp"
#include "support/line_client.hpp"
#include "support/log_capture.hpp"

namespace lmtp_test {

using namespace std::chrono_literals;
namespace asio = boost::asio;

using test_support::log_capture;
using test_support::log_line;

// The configuration of a test session: short time-out, no peers.
inline Config test_config() {
    Config config;
    config.timeout_seconds = 10;
    config.reject_action = "reject";
    config.rspamd_host = "127.0.0.1";
    config.forward_host = "127.0.0.1";
    return config;
}

// A `server` over `Protocol` whose event loop runs on a thread of its own once `start` is called.
template <class Protocol> class server_harness {
  public:
    using acceptor_type = typename Protocol::acceptor;
    using socket_type = typename Protocol::socket;

    // Listens on `endpoint` and creates the server; the loop starts with `start`.
    explicit server_harness(typename Protocol::endpoint endpoint, Config config = test_config())
        : config_(std::move(config)) {
        acceptor_type acceptor(io_context_, endpoint);
        endpoint_ = acceptor.local_endpoint();
        server_.emplace(io_context_, std::move(acceptor), [this] { return current_config(); });
    }
    ~server_harness() {
        io_context_.stop();
        if (thread_.joinable()) thread_.join();
    }
    server_harness(const server_harness&) = delete;
    server_harness& operator=(const server_harness&) = delete;

    // Runs the event loop on the harness's thread.
    void start() {
        thread_ = std::thread([this] {
            auto guard = asio::make_work_guard(io_context_);
            io_context_.run();
        });
    }
    // The configuration given to sessions accepted from now on.
    void set_config(Config config) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = std::move(config);
    }
    // The configuration the next accepted session gets.
    Config current_config() {
        std::lock_guard<std::mutex> lock(mutex_);
        return config_;
    }
    const typename Protocol::endpoint& endpoint() const { return endpoint_; }
    // Runs `task` on the server's event-loop thread, between its completions.
    void post(std::function<void()> task) { asio::post(io_context_, std::move(task)); }

  private:
    asio::io_context io_context_;
    std::mutex mutex_;
    Config config_;
    typename Protocol::endpoint endpoint_;
    std::optional<server<acceptor_type, socket_type>> server_;
    std::thread thread_;
};

// What a client read gave instead of a line.
inline const std::string timed_out = "<timed out>";
inline const std::string connection_closed = "<closed>";

// Where the line client connects for a TCP endpoint (on 127.0.0.1) and for a Unix-domain one.
inline unsigned short client_target(const asio::ip::tcp::endpoint& endpoint) {
    return endpoint.port();
}
inline std::string client_target(const asio::local::stream_protocol::endpoint& endpoint) {
    return endpoint.path();
}

// An LMTP client over `Protocol` whose every read has a deadline: the tests' line client, its
// lines without their CRLF.
template <class Protocol> class lmtp_client {
  public:
    explicit lmtp_client(const typename Protocol::endpoint& endpoint)
        : client_(client_target(endpoint)) {
        if (!client_.connected()) throw std::runtime_error("connect failed");
    }

    // Sends `bytes` as they are.
    void send(const std::string& bytes) {
        if (!client_.send(bytes)) throw std::runtime_error("send failed");
    }

    // Reads one line without its CRLF; `timed_out` or `connection_closed` when no line comes.
    std::string read_line(std::chrono::milliseconds limit = 5s) {
        std::optional<std::string> line = client_.next_line(limit);
        if (!line) return client_.closed() ? connection_closed : timed_out;
        line->resize(line->size() - 2);
        return std::move(*line);
    }

    // Reads `count` lines.
    std::vector<std::string> read_lines(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < count; ++i)
            lines.push_back(read_line(limit));
        return lines;
    }

    // Reads and discards the greeting; returns it.
    std::string greeting() { return read_line(); }

    // Sends a command line with CRLF and returns the first reply line.
    std::string command(const std::string& line) {
        send(line + "\r\n");
        return read_line();
    }

    // Whether nothing but the end of the stream follows within `limit`.
    bool at_end(std::chrono::milliseconds limit = 5s) {
        return read_line(limit) == connection_closed;
    }

    // Ends the sending direction of the connection.
    void shutdown_send() { client_.shutdown_send(); }
    // The client's socket.
    int descriptor() const { return client_.descriptor(); }

  private:
    test_support::line_client client_;
};

} // namespace lmtp_test
