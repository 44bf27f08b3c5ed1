// The TCP scanner client's steps: resolve, range connect, request write, reply read.
#include "rspamd_client/rspamd_client_tcp.hpp"

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "utils/host_lookup.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

rspamd_client_tcp::rspamd_client_tcp(asio::io_context& io_context, const Config& config,
                                     const std::string& sender,
                                     const std::vector<std::string>& recipients,
                                     const std::string& client_ip, std::string& helo,
                                     const MailData& message, const std::string& queue_id,
                                     ScanCallback completion)
    : io_context_(io_context), resolver_(io_context), stream_(io_context), config_(config),
      sender_(sender), recipients_(recipients), client_ip_(client_ip), helo_(helo),
      mail_data_(message), queue_id_(queue_id), callback_(std::move(completion)) {}

void rspamd_client_tcp::run() {
    auto self = shared_from_this();
    resolve_host(io_context_, resolver_, config_.rspamd_host, config_.rspamd_port,
                 [self](const beast::error_code& ec, tcp::resolver::results_type results) {
                     if (ec) return self->fail("resolve", ec.message());
                     self->on_resolve(std::move(results));
                 });
}

void rspamd_client_tcp::on_resolve(tcp::resolver::results_type results) {
    auto self = shared_from_this();
    stream_.async_connect(results,
                          [self](const beast::error_code& ec, const tcp::endpoint& /*reached*/) {
                              if (ec) return self->fail("connect", ec.message());
                              self->on_connect();
                          });
}

void rspamd_client_tcp::on_connect() {
    // The request goes out in one write; without Nagle's delay the tail of a large one does not
    // wait for the scanner's delayed acknowledgement. A failure only costs speed.
    beast::error_code ignored;
    stream_.socket().set_option(tcp::no_delay(true), ignored);
    try {
        req_ = build_scan_request(config_.rspamd_host, sender_, recipients_, client_ip_, helo_,
                                  mail_data_, queue_id_);
    } catch (const std::length_error& e) {
        return fail("request", e.what());
    }
    auto self = shared_from_this();
    http::async_write(stream_, req_, [self](const beast::error_code& ec, std::size_t /*bytes*/) {
        if (ec) return self->fail("write", ec.message());
        self->on_write();
    });
}

void rspamd_client_tcp::on_write() {
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

void rspamd_client_tcp::on_read_header() {
    auto self = shared_from_this();
    http::async_read(stream_, buffer_, parser_,
                     [self](const beast::error_code& ec, std::size_t /*bytes*/) {
                         if (ec) return self->fail("read", ec.message());
                         self->res_ = self->parser_.release();
                         self->on_read();
                     });
}

void rspamd_client_tcp::on_read() {
    complete(finish_reply(transport, stream_.socket(), res_.body()));
}

void rspamd_client_tcp::fail(std::string_view step, const std::string& what) {
    log_client_failure(transport, step, what);
    complete({});
}

void rspamd_client_tcp::complete(std::string reply) {
    auto callback = std::move(callback_);
    callback_ = nullptr;
    callback(std::move(reply));
}
