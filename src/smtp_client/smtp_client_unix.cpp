// Connection set-up of the Unix-domain re-injection client.
#include "smtp_client/smtp_client_unix.hpp"

#include <memory>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <spdlog/spdlog.h>

smtp_client_unix::smtp_client_unix(boost::asio::io_context& io_context, const Config& config,
                                   const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const MailData& message, const XForwardData& xforward,
                                   DeliveryCallback completion)
    : smtp_client_base(io_context, config, sender, recipients, message, xforward,
                       std::move(completion)),
      socket_(io_context) {}

void smtp_client_unix::on_resolve(boost::asio::ip::tcp::resolver::results_type) {
    fail_dialogue("SMTP Client (Unix): on_resolve called - this should not happen");
}

void smtp_client_unix::connect_to_server() {
    auto self = std::static_pointer_cast<smtp_client_unix>(shared_from_this());
    boost::asio::local::stream_protocol::endpoint endpoint;
    try {
        endpoint = boost::asio::local::stream_protocol::endpoint(config_.forward_socket_path);
    } catch (const boost::system::system_error& e) {
        // A path too long for a socket address fails like a connect, later, from the loop.
        boost::asio::post(io_context_, [self, ec = e.code()] {
            self->proceed("connect", ec); // an error: logged and reported there
        });
        return;
    }
    socket_.async_connect(endpoint, [self](const boost::system::error_code& ec) {
        if (!self->proceed("connect", ec)) return;
        self->read_response();
    });
}
