// The accept loop: turns every connection on the listening socket into a running LMTP session.
#pragma once

#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "config/config.hpp"
#include "lmtp_server/accept_backoff.hpp"

// Accepts connections on `Acceptor` one at a time, giving each a session over `Socket` with the
// configuration in force at that moment; pauses while accepts fail for lack of resources. The
// listening socket closes with the server.
template <class Acceptor, class Socket> class server {
  public:
    // Takes over a bound, listening acceptor and starts the first accept.
    server(boost::asio::io_context& io_context, Acceptor acceptor,
           std::function<Config()> config_provider);
    server(const server&) = delete;
    server& operator=(const server&) = delete;

  private:
    void do_accept();                                                   // starts one accept
    void on_accept(const boost::system::error_code& ec, Socket socket); // then accepts again
    void start_session(Socket socket, const std::string& client_ip);    // id, log line, greeting
    void pause_accepting(const boost::system::error_code& ec); // logs if due, accepts later

    boost::asio::io_context& io_context_;
    Acceptor acceptor_;
    std::function<Config()> get_config_;    // called once per accepted connection
    boost::asio::steady_timer retry_timer_; // the pause after an accept that lacked resources
    accept_backoff backoff_;
};

extern template class server<boost::asio::ip::tcp::acceptor, boost::asio::ip::tcp::socket>;
extern template class server<boost::asio::local::stream_protocol::acceptor,
                             boost::asio::local::stream_protocol::socket>;
