// The Unix-domain scanner client's steps: connect, request write, reply read.
#include "rspamd_client/rspamd_client_unix.hpp"

#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::local::stream_protocol;

rspamd_client_unix::rspamd_client_unix(asio::io_context& io_context, const Config& config,
                                       const std::string& sender,
                                       const std::vector<std::string>& recipients,
                                       const std::string& client_ip, std::string& helo,
                                       const MailData& message, const std::string& queue_id,
                                       ScanCallback completion)
    : io_context_(io_context), stream_(io_context), config_(config), sender_(sender),
      recipients_(recipients), client_ip_(client_ip), helo_(helo), mail_data_(message),
      queue_id_(queue_id), callback_(std::move(completion)) {}

void rspamd_client_unix::run() {
    auto self = shared_from_this();
    stream_protocol::endpoint endpoint;
    try {
        endpoint = stream_protocol::endpoint(config_.rspamd_socket_path);
    } catch (const boost::system::system_error& e) {
        // A path too long for a socket address fails like a connect, later, from the loop.
        asio::post(io_context_, [self, ec = e.code()] { self->fail("connect", ec.message()); });
        return;
    }
    stream_.socket().async_connect(endpoint, [self](const beast::error_code& ec) {
        if (ec) return self->fail("connect", ec.message());
        self->on_connect();
    });
}

void rspamd_client_unix::on_connect() {
    try {
        req_ = build_scan_request("localhost", sender_, recipients_, client_ip_, helo_, mail_data_,
                                  queue_id_);
    } catch (const std::length_error& e) {
        return fail("request", e.what());
    }
    auto self = shared_from_this();
    http::async_write(stream_, req_, [self](const beast::error_code& ec, std::size_t /*bytes*/) {
        if (ec) return self->fail("write", ec.message());
        self->on_write();
    });
}

void rspamd_client_unix::on_write() {
    // The request is on the wire: its text of the message is freed while the reply is awaited,
    // so that a large message is not held three times during the verdict.
    req_ = scan_request();
    // Room for a whole usual reply, header and body, in one read rather than 512 bytes a read.
    buffer_.reserve(reply_read_size);
    auto self = shared_from_this();
    http::async_read_header(stream_, buffer_, parser_,
                            [self](const beast::error_code& ec, std::size_t /*bytes*/) {
                                if (ec) return self->fail("read", ec.message());
                                self->on_read_header();
                            });
}

void rspamd_client_unix::on_read_header() {
    auto self = shared_from_this();
    http::async_read(stream_, buffer_, parser_,
                     [self](const beast::error_code& ec, std::size_t /*bytes*/) {
                         if (ec) return self->fail("read", ec.message());
                         self->res_ = self->parser_.release();
                         self->on_read();
                     });
}

void rspamd_client_unix::on_read() {
    complete(finish_reply(transport, stream_.socket(), res_.body()));
}

void rspamd_client_unix::fail(std::string_view step, const std::string& what) {
    log_client_failure(transport, step, what);
    complete({});
}

void rspamd_client_unix::complete(std::string reply) {
    auto callback = std::move(callback_);
    callback_ = nullptr;
    callback(std::move(reply));
}
