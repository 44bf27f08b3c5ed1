// Connection set-up of the TCP re-injection client: resolve, then try each address in turn.
#include "smtp_client/smtp_client_tcp.hpp"

#include <memory>
#include <string>
#include <utility>

#include <boost/asio/connect.hpp>
#include <spdlog/spdlog.h>

#include "utils/host_lookup.hpp"

smtp_client_tcp::smtp_client_tcp(boost::asio::io_context& io_context, const Config& config,
                                 const std::string& sender,
                                 const std::vector<std::string>& recipients,
                                 const MailData& message, const XForwardData& xforward,
                                 DeliveryCallback completion)
    : smtp_client_base(io_context, config, sender, recipients, message, xforward,
                       std::move(completion)),
      resolver_(io_context), socket_(io_context) {}

void smtp_client_tcp::connect_to_server() {
    auto self = std::static_pointer_cast<smtp_client_tcp>(shared_from_this());
    resolve_host(io_context_, resolver_, config_.forward_host, config_.forward_port,
                 [self](const boost::system::error_code& ec,
                        boost::asio::ip::tcp::resolver::results_type results) {
                     if (!self->proceed("resolve", ec)) return;
                     self->on_resolve(std::move(results));
                 });
}

void smtp_client_tcp::on_resolve(boost::asio::ip::tcp::resolver::results_type results) {
    auto self = std::static_pointer_cast<smtp_client_tcp>(shared_from_this());
    boost::asio::async_connect(
        socket_, results,
        [self](const boost::system::error_code& ec, const boost::asio::ip::tcp::endpoint&) {
            if (!self->proceed("connect", ec)) return;
            // Each command goes out in one write; without Nagle's delay the tail of a large
            // message does not wait for the server's delayed acknowledgement. A failure only
            // costs speed.
            boost::system::error_code ignored;
            self->socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
            self->read_response();
        });
}
