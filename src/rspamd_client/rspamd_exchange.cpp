// The scan request's fields in their fixed order, and the checks that end a scanner reply.
#include "rspamd_client/rspamd_exchange.hpp"

#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>
#include <spdlog/spdlog.h>

namespace http = boost::beast::http;

namespace {

// Throws when `value` is too long for a header field of the request.
void check_field_size(const std::string& value) {
    if (value.size() > max_field_value_size) throw std::length_error("field value too large");
}

// Sets `name` to `value` unless the value is empty.
void set_if_present(scan_request& request, const char* name, const std::string& value) {
    if (!value.empty()) request.set(name, value);
}

// Logs the body, shuts `socket` down both ways (ENOTCONN only says the peer has gone already)
// and returns the body, or the empty text after a shutdown failure or for an empty body.
template <class Socket>
std::string end_reply(std::string_view transport, Socket& socket, const std::string& body) {
    spdlog::debug("Rspamd response: {}", body);
    boost::system::error_code ec;
    socket.shutdown(Socket::shutdown_both, ec);
    if (ec && ec != boost::asio::error::not_connected) {
        log_client_failure(transport, "shutdown", ec.message());
        return {};
    }
    if (body.empty()) {
        spdlog::error("Empty response from Rspamd");
        return {};
    }
    return body;
}

} // namespace

scan_request build_scan_request(const std::string& host, const std::string& sender,
                                const std::vector<std::string>& recipients,
                                const std::string& client_ip, const std::string& helo,
                                const MailData& message, const std::string& queue_id) {
    // Checked before anything is built: the field store's own limit is not part of its interface.
    check_field_size(host);
    check_field_size(sender);
    for (const auto& recipient : recipients)
        check_field_size(recipient);
    check_field_size(client_ip);
    check_field_size(helo);
    check_field_size(queue_id);
    scan_request request{http::verb::post, "/checkV2", 11};
    request.set(http::field::host, host);
    request.set(http::field::user_agent, "Boost.Beast/357");
    request.set(http::field::content_type, "text/plain");
    std::string body = message.to_string();
    set_if_present(request, "From", sender);
    for (const auto& recipient : recipients)
        request.insert("Rcpt", recipient);
    set_if_present(request, "IP", client_ip);
    set_if_present(request, "Helo", helo);
    set_if_present(request, "Queue-Id", queue_id);
    request.body() = std::move(body);
    request.prepare_payload();
    return request;
}

void log_client_failure(std::string_view transport, std::string_view step, std::string_view what) {
    spdlog::error("Rspamd client ({}) {} failed: {}", transport, step, what);
}

std::string finish_reply(std::string_view transport, boost::asio::ip::tcp::socket& socket,
                         const std::string& body) {
    return end_reply(transport, socket, body);
}

std::string finish_reply(std::string_view transport,
                         boost::asio::local::stream_protocol::socket& socket,
                         const std::string& body) {
    return end_reply(transport, socket, body);
}
