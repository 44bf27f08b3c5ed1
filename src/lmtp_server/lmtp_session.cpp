// The LMTP session: replies, idle timer, line reading, the seven commands, DATA collection,
// the scan request and the verdict dispatch, for TCP and Unix-domain connections.
#include "lmtp_server/lmtp_session.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/property_tree/ptree.hpp>
#include <spdlog/spdlog.h>

#include "lmtp_server/lmtp_commands.hpp"
#include "rspamd_client/rspamd_client.hpp"
#include "smtp_client/smtp_client.hpp"
#include "utils/milter_headers.hpp"
#include "utils/recipients.hpp"

// The received bytes are read in place as one piece: the stream buffer's data is a single
// contiguous buffer, not a sequence of them.
static_assert(std::is_same_v<boost::asio::streambuf::const_buffers_type, boost::asio::const_buffer>,
              "boost::asio::streambuf::data() must be one contiguous buffer");

namespace {

// The read buffer's room during DATA: up to this much of the message is taken per read.
constexpr std::size_t data_read_size = 16384;

} // namespace

template <class Socket>
lmtp_session<Socket>::lmtp_session(boost::asio::io_context& io_context, Socket socket,
                                   const Config& config)
    : io_context_(io_context), socket_(std::move(socket)), config_(config), timer_(io_context) {}

template <class Socket> void lmtp_session<Socket>::start_timeout() {
    // Re-arming moves the deadline only; the one wait in flight follows it when it runs out, so
    // that a burst of lines costs no timer operation per line.
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.timeout_seconds);
    if (!timer_waiting_) wait_for_deadline();
}

template <class Socket> void lmtp_session<Socket>::wait_for_deadline() {
    timer_waiting_ = true;
    timer_.expires_at(deadline_);
    timer_.async_wait([this, self = this->shared_from_this()](const boost::system::error_code& ec) {
        timer_waiting_ = false;
        on_timeout(ec);
    });
}

template <class Socket> void lmtp_session<Socket>::on_timeout(const boost::system::error_code& ec) {
    // An expiry that was already due when the session stopped must not answer or wait again.
    if (ec || stopped_) return;
    if (std::chrono::steady_clock::now() < deadline_) return wait_for_deadline(); // re-armed since
    spdlog::warn("[{}] Session timeout after {} seconds", session_id_, config_.timeout_seconds);
    write_response(timeout_reply);
    stop();
}

template <class Socket> void lmtp_session<Socket>::write_response(const std::string& reply) {
    // The bytes live with the handler, so that overlapping writes (a time-out during a reply)
    // each keep their own: one allocation, sized for the reply and its CRLF.
    auto bytes = std::make_shared<std::string>();
    bytes->reserve(reply.size() + 2);
    bytes->append(reply).append("\r\n");
    boost::asio::async_write(socket_, boost::asio::buffer(*bytes),
                             [this, self = this->shared_from_this(),
                              bytes](const boost::system::error_code& ec, std::size_t) {
                                 on_write(ec,
                                          std::string_view(*bytes).substr(0, bytes->size() - 2));
                             });
}

template <class Socket>
void lmtp_session<Socket>::on_write(const boost::system::error_code& ec, std::string_view reply) {
    if (ec == boost::asio::error::eof) {
        spdlog::info("[{}] Client disconnected during write (EOF)", session_id_);
        return stop();
    }
    if (ec == boost::asio::error::operation_aborted) {
        return spdlog::debug("[{}] Write operation cancelled", session_id_);
    }
    if (ec) {
        spdlog::error("[{}] Write error: {}", session_id_, ec.message());
        return stop();
    }
    if (is_closing_reply(reply)) return stop();
    spdlog::debug("[{}] Response sent: {}", session_id_, reply);
    do_read();
}

template <class Socket> void lmtp_session<Socket>::stop() {
    spdlog::debug("[{}] Stopping session", session_id_);
    stopped_ = true;
    timer_.cancel();
    // The client has been answered 421 or has gone, and a mail server hands a message it was
    // not told was accepted to us again: a forward before its final "." would deliver it twice.
    // A scan has no time-out of its own: one the session no longer waits for would hold its
    // connection for as long as the scanner stays silent.
    if (const auto pending = scan_.lock()) pending->abandon();
    if (const auto forward = forward_.lock()) forward->abandon();
    boost::system::error_code ec;
    socket_.shutdown(Socket::shutdown_both, ec);
    socket_.cancel(ec);
    socket_.close(ec);
    if (ec && ec != boost::asio::error::not_connected) {
        spdlog::debug("[{}] Session stop error: {}", session_id_, ec.message());
    }
}

template <class Socket> void lmtp_session<Socket>::reset_session() {
    spdlog::info("[{}] Resetting session", session_id_);
    mail_from_.clear();
    recipients_.clear();
    data_buffer_.clear();
    mail_data_ = MailData();
    in_data_ = dialogue_mode::command;
    xforward_ = XForwardData();
}

template <class Socket> void lmtp_session<Socket>::do_read() {
    boost::asio::async_read_until(
        socket_, read_buffer_, '\n',
        [this, self = this->shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            on_read(ec);
        });
}

template <class Socket> void lmtp_session<Socket>::on_read(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::eof) {
        spdlog::info("[{}] Client disconnected (EOF)", session_id_);
        return stop();
    }
    if (ec == boost::asio::error::operation_aborted) {
        return spdlog::debug("[{}] Read operation cancelled", session_id_);
    }
    if (ec) {
        spdlog::error("[{}] Read error: {}", session_id_, ec.message());
        return stop();
    }
    take_lines();
}

template <class Socket> void lmtp_session<Socket>::take_lines() {
    while (true) {
        start_timeout();
        // The first line of the buffer without its "\n", read in place (the buffer is contiguous).
        const auto bytes = read_buffer_.data();
        const std::string_view buffered(static_cast<const char*>(bytes.data()), bytes.size());
        const std::size_t end = std::min(buffered.find('\n'), buffered.size());
        const std::size_t taken = std::min(end + 1, buffered.size()); // the line and its "\n"
        const std::string_view line = buffered.substr(0, end);
        spdlog::debug("[{}] Received: {}", session_id_, line);
        if (in_data_ == dialogue_mode::command) {
            const std::string command(line);
            read_buffer_.consume(taken);
            return handle_command(command);
        }
        const bool more = append_data_line(line, data_buffer_);
        read_buffer_.consume(taken); // `line` points into the buffer: consumed once stored
        if (!more) return process_message();
        if (!has_buffered_line()) return do_read();
    }
}

template <class Socket> bool lmtp_session<Socket>::has_buffered_line() const {
    const auto bytes = read_buffer_.data();
    return std::memchr(bytes.data(), '\n', bytes.size()) != nullptr;
}

template <class Socket> void lmtp_session<Socket>::handle_command(const std::string& line) {
    const std::string trimmed = trim_text(line);
    spdlog::debug("[{}] Command: {}", session_id_, trimmed);
    command_line command = parse_command(trimmed);
    switch (command.command) {
    case lmtp_command::lhlo:
        lhlo_name_ = std::move(command.argument);
        return write_response(lhlo_reply);
    case lmtp_command::xforward:
        handle_xforward(trimmed, command.argument);
        return write_response(ok_reply);
    case lmtp_command::mail_from:
        mail_from_ = std::move(command.argument);
        return write_response(ok_reply);
    case lmtp_command::rcpt_to:
        recipients_.push_back(std::move(command.argument));
        return write_response(ok_reply);
    case lmtp_command::data:
        in_data_ = dialogue_mode::data;
        data_buffer_.clear();
        // Room for reading the message in large pieces rather than 512 bytes a read; what is
        // already buffered stays.
        read_buffer_.prepare(data_read_size);
        return write_response(data_reply);
    case lmtp_command::rset:
        reset_session();
        return write_response(ok_reply);
    case lmtp_command::quit:
        write_response(bye_reply);
        return stop();
    case lmtp_command::unknown:
        break;
    }
    write_response(not_implemented_reply);
}

template <class Socket>
void lmtp_session<Socket>::handle_xforward(const std::string& line, const std::string& arguments) {
    spdlog::debug("[{}] XFORWARD command: {}", session_id_, line);
    for (const auto& name : apply_xforward(arguments, xforward_)) {
        spdlog::warn("[{}] Unknown XFORWARD parameter: {}", session_id_, name);
    }
    spdlog::info("[{}] XFORWARD data received - ADDR: {}, NAME: {}, HELO: {}, IDENT: {}",
                 session_id_, xforward_.addr, xforward_.name, xforward_.helo, xforward_.ident);
}

template <class Socket> void lmtp_session<Socket>::process_message() {
    in_data_ = dialogue_mode::command;
    mail_data_ = MailData::from_raw(std::move(data_buffer_));
    data_buffer_.clear();
    spdlog::info("[{}] Processing message", session_id_);
    const bool xforward = xforward_.has_data;
    const std::string& client_ip =
        xforward && !xforward_.addr.empty() ? xforward_.addr : client_ip_;
    std::string helo = xforward && !xforward_.helo.empty() ? xforward_.helo : lhlo_name_;
    const std::string queue_id = xforward ? xforward_.ident : std::string();
    try {
        scan_ = send_to_rspamd(
            io_context_, config_, mail_from_, recipients_, client_ip, helo, mail_data_, queue_id,
            [this, self = this->shared_from_this()](std::string reply) { on_scan(reply); });
    } catch (const std::exception& e) {
        // The scan could not start (the resolver's thread, memory): no verdict, as after a scan
        // that failed, rather than the end of the daemon.
        spdlog::error("Rspamd client failed to start: {}", e.what());
        answer(scan_failed_reply);
    }
}

template <class Socket> void lmtp_session<Socket>::on_scan(const std::string& reply) {
    scan_.reset();
    // A stopped session has answered 421, so the client delivers the message again later:
    // forwarding it now would deliver it twice.
    if (stopped_) {
        return spdlog::info("[{}] Session closed before the verdict, message not forwarded",
                            session_id_);
    }
    if (reply.empty()) return answer(scan_failed_reply);
    try {
        dispatch_verdict(reply);
    } catch (const std::exception& e) {
        spdlog::error("Error parsing Rspamd response: {}", e.what());
        answer(unparsable_reply);
    }
}

template <class Socket> void lmtp_session<Socket>::dispatch_verdict(const std::string& reply) {
    const boost::property_tree::ptree tree = parse_scan_reply(reply);
    const verdict decision = decide_verdict(tree, config_.reject_action);
    switch (decision.kind) {
    case verdict_kind::quarantine:
        spdlog::info("Discarding email with action 'reject' and QUARANTINED symbol.");
        return answer(decision.reply);
    case verdict_kind::reject:
        return answer(decision.reply);
    case verdict_kind::forward:
        return forward_message(tree, decision);
    }
}

template <class Socket>
void lmtp_session<Socket>::forward_message(const boost::property_tree::ptree& reply,
                                           const verdict& decision) {
    // The mail server needs at least one recipient; without one the message cannot go on.
    if (recipients_.empty()) return answer(forward_failed_reply);
    std::vector<std::string> rewritten;
    if (decision.rewrite) {
        rewritten = recipients_;
        rewrite_recipients(rewritten);
    }
    const auto& recipients = decision.rewrite ? rewritten : recipients_;
    MailData edited;
    if (decision.edit_headers) {
        edited = mail_data_;
        if (const auto milter = reply.get_child_optional("milter")) {
            apply_milter_headers(edited, *milter);
        }
        if (!decision.subject.empty()) replace_subject(edited, decision.subject);
    }
    const MailData& message = decision.edit_headers ? edited : mail_data_;
    forward_ = send_email(io_context_, config_, mail_from_, recipients, message, xforward_,
                          [this, self = this->shared_from_this(), line = decision.reply](
                              bool delivered) { on_delivery(delivered, line); });
}

template <class Socket>
void lmtp_session<Socket>::on_delivery(bool delivered, const std::string& success_reply) {
    // The forward is still alive while it reports; one that was given up at the stop has
    // nobody left to answer.
    const auto forward = std::exchange(forward_, {}).lock();
    if (forward && forward->abandoned()) return;
    answer(delivered ? success_reply : std::string(forward_failed_reply));
}

template <class Socket> void lmtp_session<Socket>::answer(const std::string& line) {
    write_response(transaction_reply(line, recipients_.size()));
    reset_session();
}

template class lmtp_session<boost::asio::ip::tcp::socket>;
template class lmtp_session<boost::asio::local::stream_protocol::socket>;
