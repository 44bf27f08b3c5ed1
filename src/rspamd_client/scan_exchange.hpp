// The steps of a scan after its connection stands, written once for both transports: the request
// written, the reply's header part and body read, the completion called once; and the give-up of
// a scan whose session has ended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "rspamd_client/rspamd_client.hpp"
#include "rspamd_client/rspamd_exchange.hpp"

// Where a scan stands for its caller.
enum class scan_state : std::uint8_t {
    running,   // a step is pending and the completion has not been called
    giving_up, // `abandon` closed the connection; the pending step's completion ends the scan
    ended,     // the completion has been called; nothing is started any more
};

// One scan's connection to Rspamd over `Protocol` and the steps it takes once connected; a
// member of the client, which its steps' continuations keep alive.
template <class Protocol> class scan_exchange {
  public:
    using stream_type = boost::beast::basic_stream<Protocol, boost::asio::any_io_executor,
                                                   boost::beast::unlimited_rate_policy>;

    // `transport` ("TCP" or "Unix") names the client in the log lines.
    scan_exchange(boost::asio::io_context& io_context, std::string_view transport,
                  ScanCallback completion);

    // The connection; no expiry is ever set on it, so no step has a time-out.
    stream_type& stream() { return stream_; }

    // Writes `request`; `next` runs once it is on the wire.
    template <class Next> void write_request(scan_request request, Next next);
    // Reads the reply's header part; `next` runs once it has passed the limits.
    template <class Next> void read_header(Next next);
    // Reads the rest of the reply; `next` runs once it is whole.
    template <class Next> void read_body(Next next);
    // Ends a read reply: shuts the connection down and hands on the body or the empty text.
    void complete();
    // Logs "Rspamd client (<transport>) <step> failed: <what>" and hands on the empty text.
    void fail(std::string_view step, std::string_view what);

    // Whether the completion of `step` goes on. It does not once the scan is given up (which ends
    // here, with the empty text) or after an I/O failure, which is logged and reported here.
    bool proceed(std::string_view step, const boost::beast::error_code& ec);
    // Gives the scan up while a step is pending: the connection closes at once, and that step's
    // completion logs it and hands on the empty text.
    void abandon();

  private:
    // Calls the completion once with `reply`; nothing is started after it.
    void report(std::string reply);

    std::string_view transport_;
    stream_type stream_;
    ScanCallback callback_;
    scan_request req_;
    boost::beast::flat_buffer buffer_;
    scan_response res_;
    scan_response_parser parser_; // reads res_: the header part first, then the body
    scan_state state_ = scan_state::running;
};

template <class Protocol>
template <class Next>
void scan_exchange<Protocol>::write_request(scan_request request, Next next) {
    req_ = std::move(request);
    boost::beast::http::async_write(
        stream_, req_,
        [this, next = std::move(next)](const boost::beast::error_code& ec, std::size_t) mutable {
            if (!proceed("write", ec)) return;
            // The request is on the wire: its text of the message is freed while the reply is
            // awaited, so that a large message is not held three times during the verdict.
            req_ = scan_request();
            next();
        });
}

template <class Protocol>
template <class Next>
void scan_exchange<Protocol>::read_header(Next next) {
    // Room for a whole usual reply, header and body, in one read rather than 512 bytes a read.
    buffer_.reserve(reply_read_size);
    boost::beast::http::async_read_header(
        stream_, buffer_, parser_,
        [this, next = std::move(next)](const boost::beast::error_code& ec, std::size_t) mutable {
            if (!proceed("read", ec)) return;
            next();
        });
}

template <class Protocol> template <class Next> void scan_exchange<Protocol>::read_body(Next next) {
    boost::beast::http::async_read(
        stream_, buffer_, parser_,
        [this, next = std::move(next)](const boost::beast::error_code& ec, std::size_t) mutable {
            if (!proceed("read", ec)) return;
            res_ = parser_.release();
            next();
        });
}

extern template class scan_exchange<boost::asio::ip::tcp>;
extern template class scan_exchange<boost::asio::local::stream_protocol>;
