// One LMTP connection: the dialogue with the mail server, the collection of a message, its
// hand-off to the scanner and the dispatch of the scanner's verdict.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/property_tree/ptree_fwd.hpp>
#include <boost/system/error_code.hpp>

#include "config/config.hpp"
#include "lmtp_server/verdict.hpp"
#include "rspamd_client/rspamd_client.hpp"
#include "smtp_client/smtp_client.hpp"
#include "utils/mail_data.hpp"

template <class Acceptor, class Socket> class server;

// Whether the session reads commands or the lines of a message.
enum class dialogue_mode : std::int32_t { command = 0, data = 1 };

// Serves one accepted connection over `Socket` (TCP or Unix-domain); keeps itself alive through
// the shared pointers that its pending operations hold.
template <class Socket>
class lmtp_session : public std::enable_shared_from_this<lmtp_session<Socket>> {
  public:
    lmtp_session(boost::asio::io_context& io_context, Socket socket, const Config& config);

    void start_timeout();                          // (re)arms the idle timer
    void write_response(const std::string& reply); // sends one reply, CRLF added
    void stop();                                   // ends the connection
    void reset_session();                          // clears the transaction

  private:
    template <class A, class S> friend class server;

    void wait_for_deadline();                             // waits for the timer until `deadline_`
    void on_timeout(const boost::system::error_code& ec); // the wait ran out or was cancelled
    void on_write(const boost::system::error_code& ec, std::string_view reply); // read on or stop
    void do_read();                                    // reads the next line
    void on_read(const boost::system::error_code& ec); // a line arrived: takes it and any after it
    void handle_command(const std::string& line);      // answers one command line
    void handle_xforward(const std::string& line, const std::string& arguments);
    // Takes buffered lines: one command, or DATA lines for as long as whole ones are buffered.
    void take_lines();
    bool has_buffered_line() const;                  // `read_buffer_` holds a whole line
    void process_message();                          // hands the message to the scanner
    void on_scan(const std::string& reply);          // the scanner's reply, empty on failure
    void dispatch_verdict(const std::string& reply); // may throw: the caller guards it
    void forward_message(const boost::property_tree::ptree& reply, const verdict& decision);
    void on_delivery(bool delivered, const std::string& success_reply); // the forward's outcome
    void answer(const std::string& line); // the transaction's reply, once per recipient, then reset

    boost::asio::io_context& io_context_;
    Socket socket_;
    Config config_;                      // the configuration in force when the session began
    boost::asio::streambuf read_buffer_; // received bytes not yet taken as a line
    std::string mail_from_;
    std::vector<std::string> recipients_;
    std::string client_ip_; // TCP peer address; empty on the Unix-domain listener
    std::string lhlo_name_;
    std::string data_buffer_; // message text collected during DATA
    MailData mail_data_;
    dialogue_mode in_data_ = dialogue_mode::command;
    std::string session_id_;
    boost::asio::steady_timer timer_;                // the idle timer
    std::chrono::steady_clock::time_point deadline_; // the idle time-out, moved on by each line
    bool timer_waiting_ = false;                     // a wait on `timer_` is in flight
    XForwardData xforward_;
    bool stopped_ = false;            // `stop` ran: a late verdict must not forward the message
    std::weak_ptr<scan> scan_;        // the scan under way, given up when the session stops
    std::weak_ptr<delivery> forward_; // the forward under way, given up when the session stops
};

extern template class lmtp_session<boost::asio::ip::tcp::socket>;
extern template class lmtp_session<boost::asio::local::stream_protocol::socket>;
