// The loopback scanner and mail server of the LMTP session fuzz target: one connection class per
// dialogue, each kept alive by its pending operation.
#include "fake_peers.hpp"

#include <unistd.h>

#include <cstdlib>
#include <istream>
#include <memory>
#include <utility>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;
using asio::local::stream_protocol;

namespace {

// Opens a listening Unix-domain socket at `path`.
stream_protocol::acceptor listen_at(asio::io_context& io_context, const std::string& path) {
    ::unlink(path.c_str());
    return stream_protocol::acceptor(io_context, stream_protocol::endpoint(path));
}

// The Content-Length of an HTTP header block (names compared without case), 0 without one.
std::size_t content_length(const std::string& header) {
    std::string lower = header;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::string name = "\r\ncontent-length:";
    const auto at = lower.find(name);
    if (at == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + at + name.size(), nullptr, 10);
}

// One scanner connection: reads one request, writes the fixed answer, closes. The request is
// read by its CRLF framing and Content-Length alone, so that field values holding control bytes
// still reach an answer, as with a lenient scanner.
class scanner_connection : public std::enable_shared_from_this<scanner_connection> {
  public:
    scanner_connection(stream_protocol::socket socket, fake_scanner& scanner)
        : socket_(std::move(socket)), scanner_(scanner) {}

    // Reads the request's header block.
    void run() {
        asio::async_read_until(socket_, buffer_, "\r\n\r\n",
                               [self = shared_from_this()](const boost::system::error_code& ec,
                                                           std::size_t header_size) {
                                   if (ec) return;
                                   self->on_header(header_size);
                               });
    }

  private:
    // Reads what is missing of the body.
    void on_header(std::size_t header_size) {
        const std::string header(asio::buffers_begin(buffer_.data()),
                                 asio::buffers_begin(buffer_.data()) +
                                     static_cast<std::ptrdiff_t>(header_size));
        buffer_.consume(header_size);
        const std::size_t length = content_length(header);
        const std::size_t missing = length > buffer_.size() ? length - buffer_.size() : 0;
        asio::async_read(
            socket_, buffer_, asio::transfer_exactly(missing),
            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                if (ec) return;
                self->on_body();
            });
    }

    // Answers the request with the scanner's body, then closes.
    void on_body() {
        ++scanner_.requests;
        response_ = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(scanner_.answer.size()) + "\r\nConnection: close\r\n\r\n" +
                    scanner_.answer;
        asio::async_write(
            socket_, asio::buffer(response_),
            [self = shared_from_this()](const boost::system::error_code&, std::size_t) {
                boost::system::error_code ignored;
                self->socket_.shutdown(stream_protocol::socket::shutdown_both, ignored);
            });
    }

    stream_protocol::socket socket_;
    fake_scanner& scanner_;
    asio::streambuf buffer_;
    std::string response_;
};

// Removes one leading dot from every CRLF-separated line of `text` (SMTP unstuffing).
std::string unstuff(const std::string& text) {
    std::string plain;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find("\r\n", start);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        std::size_t from = start;
        if (from < end && text[from] == '.') ++from;
        plain.append(text, from, end - from);
        if (last) break;
        plain += "\r\n";
        start = end + 2;
    }
    return plain;
}

// One mail server connection: greeting, commands, the message, QUIT.
class mail_connection : public std::enable_shared_from_this<mail_connection> {
  public:
    mail_connection(stream_protocol::socket socket, fake_mail_server& server)
        : socket_(std::move(socket)), server_(server) {}

    // Sends the greeting.
    void run() { write_reply("220 fake.example ESMTP"); }

  private:
    // Writes one reply and reads the next line, or closes after the reply to QUIT.
    void write_reply(std::string reply) {
        auto bytes = std::make_shared<std::string>(std::move(reply) + "\r\n");
        asio::async_write(
            socket_, asio::buffer(*bytes),
            [self = shared_from_this(), bytes](const boost::system::error_code& ec, std::size_t) {
                if (ec || self->closing_) return;
                self->do_read();
            });
    }

    // Reads one line.
    void do_read() {
        asio::async_read_until(
            socket_, buffer_, "\n",
            [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                if (ec) return;
                self->on_line();
            });
    }

    // Takes one line out of the buffer and acts on it.
    void on_line() {
        std::string line;
        std::istream stream(&buffer_);
        std::getline(stream, line);
        if (in_data_) return on_data_line(line);
        std::string upper = line;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (upper.rfind("EHLO", 0) == 0) {
            return write_reply("250-fake.example\r\n250-PIPELINING\r\n"
                               "250 XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE");
        }
        if (upper.rfind("RCPT TO:", 0) == 0) {
            std::string argument = line.substr(8);
            if (!argument.empty() && argument.back() == '\r') argument.pop_back();
            message_.recipients.push_back(std::move(argument));
        }
        if (upper.rfind("DATA", 0) == 0) {
            in_data_ = true;
            data_ = "\r\n"; // so that an empty message's lone "." is found like any other end
            return write_reply("354 go ahead");
        }
        if (upper.rfind("QUIT", 0) == 0) {
            closing_ = true;
            return write_reply("221 bye");
        }
        write_reply("250 ok");
    }

    // Collects one line of the message; a line "." after a CRLF ends it.
    void on_data_line(const std::string& line) {
        data_ += line;
        data_ += '\n';
        static const std::string end = "\r\n.\r\n";
        if (data_.size() < end.size() || data_.compare(data_.size() - end.size(), end.size(), end))
            return do_read();
        in_data_ = false;
        // Behind the leading CRLF: the stuffed lines, each ended by CRLF, then ".\r\n".
        message_.text = unstuff(data_.substr(2, data_.size() - end.size()));
        server_.messages.push_back(std::move(message_));
        message_ = delivered_message();
        write_reply("250 2.0.0 queued");
    }

    stream_protocol::socket socket_;
    fake_mail_server& server_;
    asio::streambuf buffer_;
    bool in_data_ = false;
    bool closing_ = false;
    std::string data_; // the DATA bytes so far, behind one CRLF
    delivered_message message_;
};

} // namespace

fake_scanner::fake_scanner(asio::io_context& io_context, const std::string& path)
    : requests(0), acceptor_(listen_at(io_context, path)) {
    do_accept();
}

// Accepts the next scanner connection.
void fake_scanner::do_accept() {
    acceptor_.async_accept(
        [this](const boost::system::error_code& ec, stream_protocol::socket socket) {
            if (!ec) std::make_shared<scanner_connection>(std::move(socket), *this)->run();
            do_accept();
        });
}

fake_mail_server::fake_mail_server(asio::io_context& io_context, const std::string& path)
    : sessions(0), acceptor_(listen_at(io_context, path)) {
    do_accept();
}

// Accepts the next mail server connection.
void fake_mail_server::do_accept() {
    acceptor_.async_accept(
        [this](const boost::system::error_code& ec, stream_protocol::socket socket) {
            if (!ec) {
                ++sessions;
                std::make_shared<mail_connection>(std::move(socket), *this)->run();
            }
            do_accept();
        });
}
