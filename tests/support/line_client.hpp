// A blocking LMTP client for the tests, over TCP or a Unix-domain socket, whose every read is
// bounded in time.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace test_support {

using namespace std::chrono_literals;

// A client socket that sends texts as they stand and reads the replies line by line.
class line_client {
  public:
    // Connects to 127.0.0.1 at `port`.
    explicit line_client(unsigned short port);
    // Connects to the Unix-domain socket at `path`.
    explicit line_client(const std::string& path);
    ~line_client();
    line_client(const line_client&) = delete;
    line_client& operator=(const line_client&) = delete;

    bool connected() const { return connected_; }
    // The client's socket.
    int descriptor() const { return fd_; }

    // Sends `text` as it stands; false when not all of it could be sent.
    bool send(const std::string& text) const;
    // Ends the sending direction of the connection.
    void shutdown_send() const;

    // The next line including its CRLF, or nothing when no full line arrived before the end of
    // the stream or `limit`; what did arrive stays pending.
    std::optional<std::string> next_line(std::chrono::milliseconds limit = 10s);
    // The next line including its CRLF; what came before the end of stream or the time limit
    // when no full line arrived.
    std::string read_line(std::chrono::milliseconds limit = 10s);
    // Reads until the peer closes; false when it is still open after `limit`.
    bool wait_closed(std::chrono::milliseconds limit = 10s);

    // Whether the peer ended the stream or reset it.
    bool closed() const { return closed_; }
    // Everything received and not yet returned by `read_line`.
    const std::string& pending() const { return buffer_; }

  private:
    // Appends what arrives before `deadline` to the buffer; false at end of stream or time-out.
    bool receive(std::chrono::steady_clock::time_point deadline);

    int fd_;
    bool connected_ = false;
    bool closed_ = false; // the peer ended the stream or reset it
    std::string buffer_;  // received bytes not yet returned
};

} // namespace test_support
