// The SMTP re-injection client over any stream socket: the line reads and writes and the dialogue
// from the greeting to QUIT; the transports derive from it and make the connection.
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
#include <boost/system/error_code.hpp>

#include "config/config.hpp"
#include "smtp_client/smtp_client.hpp"
#include "smtp_client/smtp_dialogue.hpp"
#include "utils/mail_data.hpp"

// Where a delivery stands for its caller.
enum class delivery_state : std::uint8_t {
    running,   // the dialogue goes on and its outcome is not reported yet
    giving_up, // `abandon` came before the final "."; the next completion reports failure
    ended,     // the outcome is reported; only the QUIT after an accepted message may go on
};

// How long the answer to QUIT is waited for once the message is accepted; then the connection
// closes.
inline constexpr std::chrono::seconds quit_answer_wait{5};

// One delivery to the mail server over a connected `Socket`; owned by its pending operations.
template <typename Socket>
class smtp_client_base : public std::enable_shared_from_this<smtp_client_base<Socket>>,
                         public delivery {
  public:
    smtp_client_base(boost::asio::io_context& io_context, const Config& config,
                     const std::string& sender, const std::vector<std::string>& recipients,
                     const MailData& message, const XForwardData& xforward,
                     DeliveryCallback completion);
    smtp_client_base(const smtp_client_base&) = delete;
    smtp_client_base& operator=(const smtp_client_base&) = delete;
    virtual ~smtp_client_base() = default;

    // Connects to the resolved addresses of the mail server (TCP only).
    virtual void on_resolve(boost::asio::ip::tcp::resolver::results_type results) = 0;
    // Starts the connection to the configured mail server.
    virtual void connect_to_server() = 0;
    // The connection to the mail server.
    virtual Socket& get_socket() = 0;
    // "TCP" or "Unix", for the log lines.
    virtual std::string get_client_type() const = 0;

    // Reads one reply line and runs the dialogue step on it.
    void read_response();
    // Writes `line` and "\r\n" in one write, then reads the reply.
    void write_message(const std::string& line);
    // Writes all of `write_buffer_`, then reads the reply.
    void write_buffered();

    // Gives the delivery up unless its final "." is written; the next completion ends it.
    void abandon() override;
    bool abandoned() const override { return delivery_ == delivery_state::giving_up; }

  protected:
    // Whether the completion of `step` goes on. It does not once the delivery is given up (which
    // ends here) or after an I/O failure, which is logged and reported here.
    bool proceed(std::string_view step, const boost::system::error_code& ec);
    // Logs "SMTP Client (<transport>) <step> failed: <error>" and reports failure.
    void fail(std::string_view step, std::string_view error);
    // Logs `message` at error level and reports failure: a reply the dialogue does not expect,
    // or a step that cannot be taken.
    void fail_dialogue(std::string_view message);

    boost::asio::io_context& io_context_;
    const Config& config_;
    std::string sender_;
    std::vector<std::string> recipients_; // the first entry is removed as each is accepted
    MailData mail_data_;
    XForwardData xforward_;
    std::int32_t state_ = WaitingGreeting; // an `smtp_state`
    bool xforward_supported_ = false;      // the EHLO reply announced XFORWARD
    std::string write_buffer_;             // the bytes of the write in progress
    DeliveryCallback callback_;
    boost::asio::streambuf response_buffer_; // received bytes not yet taken as a line

  private:
    // Writes what is left of `write_buffer_`, one piece at a time.
    void write_rest();
    // Follows one written piece: the next piece, the reply, or the end of the delivery.
    void on_written(const boost::system::error_code& ec, std::size_t length);
    // Takes the first line of `response_buffer_`, `length` bytes with its line feed, trimmed.
    std::string take_line(std::size_t length);
    // Follows one reply line: false for a continuation line, else judges the reply (true).
    bool on_line(const std::string& line);
    // The length of the first buffered line with its line feed, or 0 when none is whole.
    std::size_t buffered_line_length() const;
    // Follows the last line of a reply: the failure of its state or the next command.
    void on_reply(const std::string& line);
    // Follows an accepted reply: sends the command that the state calls for next.
    void on_accepted();
    // Whether the message with its final "." has been handed to the socket whole.
    bool message_written() const;
    // Ends a delivery given up before its final "." was written: logs it, closes the connection
    // and reports failure.
    void give_up();
    // Ends the delivery with its outcome; the QUIT after an accepted message may still go on.
    void finish(bool delivered);
    // Calls the completion with the outcome, once.
    void report(bool delivered);
    // Follows the answer to QUIT, which nothing depends on.
    void on_quit_answer(const std::string& line);
    // Logs a QUIT that was not answered with "221", with `reason`, and ends the connection.
    void quit_failed(std::string_view reason);
    // Ends the exchange after QUIT: nothing is pending any more and the connection closes.
    void end_quit();

    void send_ehlo();
    void send_xforward();
    void send_mail_from();
    void send_rcpt_to(); // for the first entry of `recipients_`
    void send_data();
    void send_message(); // the dot-stuffed message text
    void send_quit();    // and waits `quit_answer_wait` at most for its answer

    std::size_t written_ = 0; // bytes of `write_buffer_` written so far
    delivery_state delivery_ = delivery_state::running;
    boost::asio::steady_timer quit_timer_; // bounds the wait for the answer to QUIT
};

extern template class smtp_client_base<boost::asio::ip::tcp::socket>;
extern template class smtp_client_base<boost::asio::local::stream_protocol::socket>;
