// The SMTP re-injection dialogue shared by the TCP and Unix-domain clients: one reply line per
// read, one command per write, each reply judged by its last line.
#include "smtp_client/smtp_client_base.hpp"

#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/read_until.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "utils/ascii_text.hpp"
#include "utils/dot_stuff.hpp"

// The received bytes are read in place as one piece: the stream buffer's data is a single
// contiguous buffer, not a sequence of them.
static_assert(std::is_same_v<boost::asio::streambuf::const_buffers_type, boost::asio::const_buffer>,
              "boost::asio::streambuf::data() must be one contiguous buffer");

template <typename Socket>
smtp_client_base<Socket>::smtp_client_base(boost::asio::io_context& io_context,
                                           const Config& config, const std::string& sender,
                                           const std::vector<std::string>& recipients,
                                           const MailData& message, const XForwardData& xforward,
                                           DeliveryCallback completion)
    : io_context_(io_context), config_(config), sender_(sender), recipients_(recipients),
      mail_data_(message), xforward_(xforward), callback_(std::move(completion)),
      quit_timer_(io_context) {}

template <typename Socket> void smtp_client_base<Socket>::read_response() {
    // Lines already buffered (the rest of a multi-line reply) are taken without a read each.
    for (auto length = buffered_line_length(); length != 0; length = buffered_line_length()) {
        if (on_line(take_line(length))) return;
    }
    auto self = this->shared_from_this();
    boost::asio::async_read_until(get_socket(), response_buffer_, '\n',
                                  [self](const boost::system::error_code& ec, std::size_t length) {
                                      if (!self->proceed("read", ec)) return;
                                      if (!self->on_line(self->take_line(length)))
                                          self->read_response();
                                  });
}

template <typename Socket> std::size_t smtp_client_base<Socket>::buffered_line_length() const {
    const auto bytes = response_buffer_.data();
    const auto* begin = static_cast<const char*>(bytes.data());
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', bytes.size()));
    return lf == nullptr ? 0 : static_cast<std::size_t>(lf - begin) + 1;
}

template <typename Socket> void smtp_client_base<Socket>::write_message(const std::string& line) {
    write_buffer_ = line;
    write_buffer_.append("\r\n");
    write_buffered();
}

template <typename Socket> void smtp_client_base<Socket>::write_buffered() {
    written_ = 0;
    write_rest();
}

template <typename Socket> void smtp_client_base<Socket>::write_rest() {
    // Piece by piece rather than one composed write, so that an abandoned delivery stops before
    // the rest of its message, the final "." included, is handed to the socket.
    auto self = this->shared_from_this();
    get_socket().async_write_some(boost::asio::buffer(write_buffer_) + written_,
                                  [self](const boost::system::error_code& ec, std::size_t length) {
                                      self->on_written(ec, length);
                                  });
}

template <typename Socket>
void smtp_client_base<Socket>::on_written(const boost::system::error_code& ec, std::size_t length) {
    written_ += length;
    if (!proceed("write", ec)) return;
    if (written_ != write_buffer_.size()) return write_rest();
    read_response();
}

template <typename Socket>
bool smtp_client_base<Socket>::proceed(std::string_view step, const boost::system::error_code& ec) {
    if (delivery_ == delivery_state::giving_up) {
        if (!message_written()) {
            give_up();
            return false;
        }
        delivery_ = delivery_state::running; // the final "." went out before the give-up
    }
    if (!ec) return true;
    if (delivery_ == delivery_state::ended) {
        // Only the QUIT after an accepted message runs now; its failure changes nothing.
        spdlog::debug("SMTP Client ({}) {} failed: {}", get_client_type(), step, ec.message());
        quit_failed(ec == boost::asio::error::operation_aborted
                        ? fmt::format("no answer within {} seconds", quit_answer_wait.count())
                        : ec.message());
        return false;
    }
    fail(step, ec.message());
    return false;
}

template <typename Socket> bool smtp_client_base<Socket>::message_written() const {
    return state_ > MessageSent || (state_ == MessageSent && written_ == write_buffer_.size());
}

template <typename Socket> void smtp_client_base<Socket>::abandon() {
    if (delivery_ != delivery_state::running || message_written()) return;
    delivery_ = delivery_state::giving_up;
    boost::system::error_code ignored;
    // The pending operation ends at once and its completion ends the delivery. A message being
    // written may have gone out whole meanwhile: its write is only cancelled, not cut off, so
    // that such a delivery can still run to its end.
    if (state_ == MessageSent) {
        get_socket().cancel(ignored);
    } else {
        get_socket().close(ignored);
    }
}

template <typename Socket> void smtp_client_base<Socket>::give_up() {
    spdlog::warn("SMTP Client ({}) delivery abandoned before the end of data: the LMTP session "
                 "has closed",
                 get_client_type());
    boost::system::error_code ignored;
    get_socket().close(ignored);
    report(false);
}

template <typename Socket>
void smtp_client_base<Socket>::fail(std::string_view step, std::string_view error) {
    spdlog::error("SMTP Client ({}) {} failed: {}", get_client_type(), step, error);
    finish(false);
}

template <typename Socket> void smtp_client_base<Socket>::fail_dialogue(std::string_view message) {
    spdlog::error("{}", message);
    finish(false);
}

template <typename Socket> void smtp_client_base<Socket>::finish(bool delivered) {
    delivery_ = delivery_state::ended;
    report(delivered);
}

template <typename Socket> void smtp_client_base<Socket>::report(bool delivered) {
    auto callback = std::move(callback_);
    callback_ = nullptr;
    if (callback) callback(delivered);
}

template <typename Socket> std::string smtp_client_base<Socket>::take_line(std::size_t length) {
    // The buffer is contiguous: the line is trimmed in place and copied in one piece.
    const std::string_view bytes(static_cast<const char*>(response_buffer_.data().data()), length);
    std::string line(trim_ascii_space(bytes));
    response_buffer_.consume(length);
    return line;
}

template <typename Socket> bool smtp_client_base<Socket>::on_line(const std::string& line) {
    spdlog::debug("S: {}", line);
    if (state_ == EhloSent && announces_xforward(line)) xforward_supported_ = true;
    if (is_continuation_line(line)) return false;
    on_reply(line);
    return true;
}

template <typename Socket> void smtp_client_base<Socket>::on_reply(const std::string& line) {
    if (state_ == QuitSent) return on_quit_answer(line);
    const auto expected = expectation_of(static_cast<smtp_state>(state_));
    if (reply_begins_with(line, expected.code)) return on_accepted();
    fail_dialogue(expected.failure);
}

template <typename Socket> void smtp_client_base<Socket>::on_accepted() {
    switch (state_) {
    case WaitingGreeting:
        return send_ehlo();
    case EhloSent:
        if (xforward_supported_ && xforward_.has_data) return send_xforward();
        return send_mail_from();
    case XforwardSent:
        return send_mail_from();
    case MailFromSent:
        state_ = RcptToSent;
        return send_rcpt_to();
    case RcptToSent:
        recipients_.erase(recipients_.begin());
        if (recipients_.empty()) return send_data();
        return send_rcpt_to();
    case DataSent:
        return send_message();
    case MessageSent:
        // The mail server has queued the message: that is the outcome, whatever becomes of QUIT.
        finish(true);
        return send_quit();
    default:
        return;
    }
}

template <typename Socket> void smtp_client_base<Socket>::on_quit_answer(const std::string& line) {
    if (!reply_begins_with(line, expectation_of(QuitSent).code)) return quit_failed(line);
    end_quit();
}

template <typename Socket> void smtp_client_base<Socket>::quit_failed(std::string_view reason) {
    spdlog::warn("QUIT failed: {}", reason);
    end_quit();
}

template <typename Socket> void smtp_client_base<Socket>::end_quit() {
    state_ = Finished;
    quit_timer_.cancel();
}

template <typename Socket> void smtp_client_base<Socket>::send_ehlo() {
    state_ = EhloSent;
    write_message("EHLO " + ehlo_host_name());
}

template <typename Socket> void smtp_client_base<Socket>::send_xforward() {
    state_ = XforwardSent;
    const auto command = xforward_command(xforward_);
    spdlog::debug("Sending XFORWARD command: {}", command);
    write_message(command);
}

template <typename Socket> void smtp_client_base<Socket>::send_mail_from() {
    state_ = MailFromSent;
    write_message("MAIL FROM:" + bracket_address(sender_));
}

template <typename Socket> void smtp_client_base<Socket>::send_rcpt_to() {
    if (recipients_.empty()) return fail_dialogue(expectation_of(RcptToSent).failure); // nobody
    write_message("RCPT TO:" + bracket_address(recipients_.front()));
}

template <typename Socket> void smtp_client_base<Socket>::send_data() {
    state_ = DataSent;
    write_message("DATA");
}

template <typename Socket> void smtp_client_base<Socket>::send_message() {
    state_ = MessageSent;
    // Stuffed straight into the write buffer, whose reserve leaves room for the CRLF.
    smtp_dot_stuff(mail_data_.to_string(), write_buffer_);
    write_buffer_.append("\r\n");
    write_buffered();
}

template <typename Socket> void smtp_client_base<Socket>::send_quit() {
    state_ = QuitSent;
    // A server that never answers would hold the connection: it is closed after the wait, and
    // the pending operation ends with it.
    quit_timer_.expires_after(quit_answer_wait);
    quit_timer_.async_wait([self = this->shared_from_this()](const boost::system::error_code& ec) {
        if (ec) return; // the answer came, or the exchange failed, first
        boost::system::error_code ignored;
        self->get_socket().close(ignored);
    });
    write_message("QUIT");
}

template class smtp_client_base<boost::asio::ip::tcp::socket>;
template class smtp_client_base<boost::asio::local::stream_protocol::socket>;
