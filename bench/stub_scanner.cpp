// A stub scanner for the benchmark: answers every HTTP request at once with one fixed "no action"
// verdict whose milter block adds two headers and removes one, on TCP and on a Unix-domain socket,
// from a pool of threads of its own.
//
// Usage: bench_stub_scanner [--tcp PORT] [--unix PATH] [--threads N]
// Prints "tcp PORT" (the bound port, PORT 0 picks a free one) and "ready" on standard output,
// then serves until SIGINT or SIGTERM.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;

namespace {

// The verdict every request gets: about 600 bytes of JSON.
constexpr std::string_view verdict_body =
    R"({"is_skipped":false,"score":1.20,"required_score":15.00,"action":"no action",)"
    R"("thresholds":{"reject":15.00,"add header":6.00,"greylist":4.00},)"
    R"("symbols":{"MIME_GOOD":{"name":"MIME_GOOD","score":-0.10,"metric_score":-0.10,)"
    R"("description":"Known content-type","options":["text/plain"]},)"
    R"("R_DKIM_NA":{"name":"R_DKIM_NA","score":0.00,"metric_score":0.00,)"
    R"("description":"Missing DKIM signature"},)"
    R"("ARC_NA":{"name":"ARC_NA","score":0.00,"metric_score":0.00,)"
    R"("description":"ARC signature absent"},)"
    R"("MISSING_DATE":{"name":"MISSING_DATE","score":1.30,"metric_score":1.00,)"
    R"("description":"Date header is missing"}},)"
    R"("messages":{},"message-id":"bench@localhost","time_real":0.001,"time_virtual":0.001,)"
    R"("milter":{"add_headers":{"X-Spamd-Result":{"value":"default: False [1.20 / 15.00]",)"
    R"("order":0},"X-Rspamd-Server":{"value":"bench-stub","order":1}},)"
    R"("remove_headers":{"X-Spam":0}}})";

// The whole HTTP response, built once.
const std::string& verdict_response() {
    static const std::string response =
        "HTTP/1.1 200 OK\r\nServer: bench-stub\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        std::to_string(verdict_body.size()) + "\r\n\r\n" + std::string(verdict_body);
    return response;
}

// Folds A to Z to lower case.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The value of "Content-Length" in a header block, or 0 when it has none.
std::size_t content_length(std::string_view head) {
    constexpr std::string_view name = "\ncontent-length:";
    for (std::size_t at = head.find('\n'); at != std::string_view::npos;
         at = head.find('\n', at + 1)) {
        if (head.size() - at < name.size()) break;
        bool match = true;
        for (std::size_t i = 0; i < name.size() && match; ++i)
            match = ascii_lower(head[at + i]) == name[i];
        if (!match) continue;
        return std::strtoull(std::string(head.substr(at + name.size(), 32)).c_str(), nullptr, 10);
    }
    return 0;
}

// One connection: reads requests, answers each with the verdict, until the peer closes.
template <class Socket>
class scan_connection : public std::enable_shared_from_this<scan_connection<Socket>> {
  public:
    explicit scan_connection(Socket socket) : socket_(std::move(socket)) {}

    // Reads the header part of the next request.
    void do_read_head() {
        asio::async_read_until(socket_, buffer_, "\r\n\r\n",
                               [self = this->shared_from_this()](
                                   const boost::system::error_code& ec, std::size_t length) {
                                   if (ec) return;
                                   self->on_head(length);
                               });
    }

  private:
    // Takes the header part and reads the body that it announces.
    void on_head(std::size_t length) {
        const auto data = buffer_.data();
        const std::string_view head(static_cast<const char*>(data.data()), length);
        std::size_t remaining = content_length(head);
        buffer_.consume(length);
        const std::size_t buffered = std::min(remaining, buffer_.size());
        buffer_.consume(buffered);
        remaining_ = remaining - buffered;
        do_read_body();
    }

    // Discards the rest of the body in chunks, then answers.
    void do_read_body() {
        if (remaining_ == 0) return do_write();
        const std::size_t chunk = std::min(remaining_, discard_.size());
        asio::async_read(socket_, asio::buffer(discard_.data(), chunk),
                         [self = this->shared_from_this()](const boost::system::error_code& ec,
                                                           std::size_t length) {
                             if (ec) return;
                             self->remaining_ -= length;
                             self->do_read_body();
                         });
    }

    // Writes the fixed verdict, then waits for a further request or the end of the stream.
    void do_write() {
        asio::async_write(
            socket_, asio::buffer(verdict_response()),
            [self = this->shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                if (ec) return;
                self->do_read_head();
            });
    }

    Socket socket_;
    asio::streambuf buffer_;
    std::size_t remaining_ = 0;                            // body bytes still to be read
    std::vector<char> discard_ = std::vector<char>(65536); // where body bytes are read into
};

// Accepts connections on `acceptor` for ever, one scan_connection each.
template <class Acceptor> void do_accept(Acceptor& acceptor) {
    acceptor.async_accept([&acceptor](const boost::system::error_code& ec,
                                      typename Acceptor::protocol_type::socket socket) {
        if (!ec) {
            using connection = scan_connection<typename Acceptor::protocol_type::socket>;
            std::make_shared<connection>(std::move(socket))->do_read_head();
        }
        do_accept(acceptor);
    });
}

} // namespace

// Parses the options, opens the listeners and serves until a stop signal.
int main(int argc, char* argv[]) {
    std::optional<unsigned short> tcp_port;
    std::string unix_path;
    int threads = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--tcp")
            tcp_port = static_cast<unsigned short>(std::atoi(argv[i + 1]));
        else if (option == "--unix")
            unix_path = argv[i + 1];
        else if (option == "--threads")
            threads = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::cerr << "unknown option " << option << "\n";
            return 2;
        }
    }
    asio::io_context io_context;
    std::optional<asio::ip::tcp::acceptor> tcp_acceptor;
    std::optional<asio::local::stream_protocol::acceptor> unix_acceptor;
    if (tcp_port) {
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), *tcp_port);
        tcp_acceptor.emplace(io_context, endpoint, true);
        tcp_acceptor->listen(4096);
        std::cout << "tcp " << tcp_acceptor->local_endpoint().port() << "\n";
        do_accept(*tcp_acceptor);
    }
    if (!unix_path.empty()) {
        ::unlink(unix_path.c_str());
        unix_acceptor.emplace(io_context, asio::local::stream_protocol::endpoint(unix_path));
        unix_acceptor->listen(4096);
        do_accept(*unix_acceptor);
    }
    asio::signal_set signals(io_context, SIGINT, SIGTERM);
    signals.async_wait([&io_context](const boost::system::error_code&, int) { io_context.stop(); });
    std::cout << "ready" << std::endl;
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i)
        pool.emplace_back([&io_context] { io_context.run(); });
    io_context.run();
    for (auto& thread : pool)
        thread.join();
    if (!unix_path.empty()) ::unlink(unix_path.c_str());
    return 0;
}
