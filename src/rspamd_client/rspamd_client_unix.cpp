// The Unix-domain scanner client's steps: connect, then the shared request write and reply read.
#include "rspamd_client/rspamd_client_unix.hpp"

#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
using asio::local::stream_protocol;

rspamd_client_unix::rspamd_client_unix(asio::io_context& io_context, const Config& config,
                                       const std::string& sender,
                                       const std::vector<std::string>& recipients,
                                       const std::string& client_ip, std::string& helo,
                                       const MailData& message, const std::string& queue_id,
                                       ScanCallback completion)
    : io_context_(io_context), exchange_(io_context, transport, std::move(completion)),
      config_(config), sender_(sender), recipients_(recipients), client_ip_(client_ip), helo_(helo),
      mail_data_(message), queue_id_(queue_id) {}

void rspamd_client_unix::run() {
    auto self = shared_from_this();
    stream_protocol::endpoint endpoint;
    try {
        endpoint = stream_protocol::endpoint(config_.rspamd_socket_path);
    } catch (const boost::system::system_error& e) {
        // A path too long for a socket address fails like a connect, later, from the loop.
        asio::post(io_context_, [self, ec = e.code()] { self->exchange_.proceed("connect", ec); });
        return;
    }
    exchange_.stream().socket().async_connect(endpoint, [self](const beast::error_code& ec) {
        if (!self->exchange_.proceed("connect", ec)) return;
        self->on_connect();
    });
}

void rspamd_client_unix::abandon() {
    exchange_.abandon();
}

void rspamd_client_unix::on_connect() {
    scan_request request;
    try {
        request = build_scan_request("localhost", sender_, recipients_, client_ip_, helo_,
                                     mail_data_, queue_id_);
    } catch (const std::length_error& e) {
        return exchange_.fail("request", e.what());
    }
    exchange_.write_request(std::move(request), [self = shared_from_this()] { self->on_write(); });
}

void rspamd_client_unix::on_write() {
    exchange_.read_header([self = shared_from_this()] { self->on_read_header(); });
}

void rspamd_client_unix::on_read_header() {
    exchange_.read_body([self = shared_from_this()] { self->on_read(); });
}

void rspamd_client_unix::on_read() {
    exchange_.complete();
}
