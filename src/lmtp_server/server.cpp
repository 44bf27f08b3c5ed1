// The accept loop for the TCP and the Unix-domain listener.
#include "lmtp_server/server.hpp"

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <spdlog/spdlog.h>

#include "lmtp_server/lmtp_commands.hpp"
#include "lmtp_server/lmtp_session.hpp"
#include "lmtp_server/session_counter.hpp"

template <class Acceptor, class Socket>
server<Acceptor, Socket>::server(boost::asio::io_context& io_context, Acceptor acceptor,
                                 std::function<Config()> config_provider)
    : io_context_(io_context), acceptor_(std::move(acceptor)),
      get_config_(std::move(config_provider)), retry_timer_(io_context) {
    do_accept();
}

template <class Acceptor, class Socket> void server<Acceptor, Socket>::do_accept() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, Socket socket) {
        on_accept(ec, std::move(socket));
    });
}

template <class Acceptor, class Socket>
void server<Acceptor, Socket>::on_accept(const boost::system::error_code& ec, Socket socket) {
    if (ec && is_resource_shortage(ec)) return pause_accepting(ec);
    backoff_.on_other_outcome();
    if (ec) {
        spdlog::error("Accept error: {}", ec.message());
        return do_accept();
    }
    std::string client_ip;
    if constexpr (std::is_same_v<typename Socket::protocol_type, boost::asio::ip::tcp>) {
        boost::system::error_code peer_ec;
        const auto peer = socket.remote_endpoint(peer_ec);
        if (peer_ec) {
            // The peer went away before its session began: drop the connection, keep accepting.
            spdlog::error("Accept error: {}", peer_ec.message());
            socket.close(peer_ec);
            return do_accept();
        }
        client_ip = peer.address().to_string();
        // Pipelined replies go out one write each; without this every batch waits for the
        // peer's delayed acknowledgement. A failure only costs speed.
        boost::system::error_code ignored;
        socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    }
    start_session(std::move(socket), client_ip);
    do_accept();
}

template <class Acceptor, class Socket>
void server<Acceptor, Socket>::pause_accepting(const boost::system::error_code& ec) {
    // Accepting again at once would fail the same way, as fast as the loop can turn, until a
    // session ends: a log line per attempt and a busy core.
    const auto step = backoff_.on_shortage(accept_backoff::clock::now());
    if (step.log && step.unlogged == 0) spdlog::error("Accept error: {}", ec.message());
    if (step.log && step.unlogged > 0) {
        spdlog::error("Accept error: {} ({} earlier failures not logged)", ec.message(),
                      step.unlogged);
    }
    retry_timer_.expires_after(step.pause);
    retry_timer_.async_wait([this](const boost::system::error_code& wait_ec) {
        if (!wait_ec) do_accept();
    });
}

template <class Acceptor, class Socket>
void server<Acceptor, Socket>::start_session(Socket socket, const std::string& client_ip) {
    auto session =
        std::make_shared<lmtp_session<Socket>>(io_context_, std::move(socket), get_config_());
    session->client_ip_ = client_ip;
    session->session_id_ = next_session_id();
    spdlog::info("Starting LMTP session [{}] from {}", session->session_id_,
                 client_ip.empty() ? std::string("local") : client_ip);
    session->start_timeout();
    session->write_response(greeting_reply);
}

template class server<boost::asio::ip::tcp::acceptor, boost::asio::ip::tcp::socket>;
template class server<boost::asio::local::stream_protocol::acceptor,
                      boost::asio::local::stream_protocol::socket>;
