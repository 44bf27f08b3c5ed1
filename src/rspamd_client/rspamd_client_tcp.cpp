// The TCP scanner client's steps: resolve, range connect, then the shared request write and
// reply read.
#include "rspamd_client/rspamd_client_tcp.hpp"

#include <stdexcept>
#include <utility>

#include "utils/host_lookup.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
using asio::ip::tcp;

rspamd_client_tcp::rspamd_client_tcp(asio::io_context& io_context, const Config& config,
                                     const std::string& sender,
                                     const std::vector<std::string>& recipients,
                                     const std::string& client_ip, std::string& helo,
                                     const MailData& message, const std::string& queue_id,
                                     ScanCallback completion)
    : io_context_(io_context), resolver_(io_context),
      exchange_(io_context, transport, std::move(completion)), config_(config), sender_(sender),
      recipients_(recipients), client_ip_(client_ip), helo_(helo), mail_data_(message),
      queue_id_(queue_id) {}

void rspamd_client_tcp::run() {
    auto self = shared_from_this();
    resolve_host(io_context_, resolver_, config_.rspamd_host, config_.rspamd_port,
                 [self](const beast::error_code& ec, tcp::resolver::results_type results) {
                     if (!self->exchange_.proceed("resolve", ec)) return;
                     self->on_resolve(std::move(results));
                 });
}

void rspamd_client_tcp::abandon() {
    resolver_.cancel(); // a name lookup in progress ends at once
    exchange_.abandon();
}

void rspamd_client_tcp::on_resolve(tcp::resolver::results_type results) {
    auto self = shared_from_this();
    exchange_.stream().async_connect(
        results, [self](const beast::error_code& ec, const tcp::endpoint& /*reached*/) {
            if (!self->exchange_.proceed("connect", ec)) return;
            self->on_connect();
        });
}

void rspamd_client_tcp::on_connect() {
    // The request goes out in one write; without Nagle's delay the tail of a large one does not
    // wait for the scanner's delayed acknowledgement. A failure only costs speed.
    beast::error_code ignored;
    exchange_.stream().socket().set_option(tcp::no_delay(true), ignored);
    scan_request request;
    try {
        request = build_scan_request(config_.rspamd_host, sender_, recipients_, client_ip_, helo_,
                                     mail_data_, queue_id_);
    } catch (const std::length_error& e) {
        return exchange_.fail("request", e.what());
    }
    exchange_.write_request(std::move(request), [self = shared_from_this()] { self->on_write(); });
}

void rspamd_client_tcp::on_write() {
    exchange_.read_header([self = shared_from_this()] { self->on_read_header(); });
}

void rspamd_client_tcp::on_read_header() {
    exchange_.read_body([self = shared_from_this()] { self->on_read(); });
}

void rspamd_client_tcp::on_read() {
    exchange_.complete();
}
