// Test harness for the LMTP front end: a server on its own event-loop thread, an LMTP client with
// deadlines, and a capture of the default logger's lines.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "config/config.hpp"
#include "lmtp_server/server.hpp"

namespace lmtp_test {

using namespace std::chrono_literals;
namespace asio = boost::asio;

// One captured log line.
struct log_line {
    spdlog::level::level_enum level;
    std::string text;
};

// A sink that keeps every message it is given.
class capture_sink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    // A copy of the lines so far.
    std::vector<log_line> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        lines_.push_back(
            {message.level, std::string(message.payload.data(), message.payload.size())});
    }
    void flush_() override {}

  private:
    std::vector<log_line> lines_;
};

// Makes a capturing logger the default logger for the life of the object.
class log_capture {
  public:
    log_capture() : sink_(std::make_shared<capture_sink>()) {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        previous_ = spdlog::default_logger();
        spdlog::set_default_logger(logger);
    }
    ~log_capture() { spdlog::set_default_logger(previous_); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Number of lines of `level` whose text is exactly `text`.
    std::size_t count(spdlog::level::level_enum level, const std::string& text) const {
        std::size_t found = 0;
        for (const auto& line : sink_->lines()) {
            if (line.level == level && line.text == text) ++found;
        }
        return found;
    }
    // Whether a line of `level` with exactly `text` was logged.
    bool has(spdlog::level::level_enum level, const std::string& text) const {
        return count(level, text) > 0;
    }
    // Whether any line contains `part`.
    bool contains(const std::string& part) const {
        for (const auto& line : sink_->lines()) {
            if (line.text.find(part) != std::string::npos) return true;
        }
        return false;
    }
    // Waits until a line of `level` with exactly `text` was logged; false after `limit`.
    bool wait_for(spdlog::level::level_enum level, const std::string& text,
                  std::chrono::milliseconds limit = 5s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!has(level, text)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    // Waits until a line containing `part` was logged; false after `limit`.
    bool wait_for_part(const std::string& part, std::chrono::milliseconds limit = 5s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!contains(part)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    std::vector<log_line> lines() const { return sink_->lines(); }

  private:
    std::shared_ptr<capture_sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

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

// An LMTP client over `Protocol` whose every read has a deadline.
template <class Protocol> class lmtp_client {
  public:
    explicit lmtp_client(const typename Protocol::endpoint& endpoint) : socket_(io_context_) {
        socket_.connect(endpoint);
    }

    // Sends `bytes` as they are.
    void send(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }

    // Reads one line without its CRLF; `timed_out` or `connection_closed` when no line comes.
    std::string read_line(std::chrono::milliseconds limit = 5s) {
        std::optional<boost::system::error_code> result;
        asio::async_read_until(
            socket_, buffer_, "\r\n",
            [&](const boost::system::error_code& ec, std::size_t) { result = ec; });
        io_context_.restart();
        io_context_.run_for(limit);
        if (!result) {
            socket_.cancel();
            io_context_.restart();
            io_context_.run();
            return timed_out;
        }
        if (*result) return connection_closed;
        std::string line;
        std::istream stream(&buffer_);
        std::getline(stream, line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
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

    typename Protocol::socket& socket() { return socket_; }

  private:
    asio::io_context io_context_;
    typename Protocol::socket socket_;
    asio::streambuf buffer_;
};

} // namespace lmtp_test
