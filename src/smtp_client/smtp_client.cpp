// The entry point of the re-injection client: picks the transport and starts the delivery.
#include "smtp_client/smtp_client.hpp"

#include <memory>
#include <utility>

#include "smtp_client/smtp_client_tcp.hpp"
#include "smtp_client/smtp_client_unix.hpp"

std::weak_ptr<delivery> send_email(boost::asio::io_context& io_context, const Config& config,
                                   const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const MailData& message, const XForwardData& xforward,
                                   DeliveryCallback completion) {
    if (!config.forward_socket_path.empty()) {
        auto client = std::make_shared<smtp_client_unix>(io_context, config, sender, recipients,
                                                         message, xforward, std::move(completion));
        client->connect_to_server();
        return client;
    }
    auto client = std::make_shared<smtp_client_tcp>(io_context, config, sender, recipients, message,
                                                    xforward, std::move(completion));
    client->connect_to_server();
    return client;
}
