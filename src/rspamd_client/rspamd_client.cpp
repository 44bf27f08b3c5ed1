// The scanner client's entry point: picks the transport from the configuration and starts a scan.
#include "rspamd_client/rspamd_client.hpp"

#include <memory>
#include <utility>

#include "rspamd_client/rspamd_client_tcp.hpp"
#include "rspamd_client/rspamd_client_unix.hpp"

std::weak_ptr<scan> send_to_rspamd(boost::asio::io_context& io_context, const Config& config,
                                   const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const std::string& client_ip, std::string& helo,
                                   const MailData& message, const std::string& queue_id,
                                   ScanCallback completion) {
    if (!config.rspamd_socket_path.empty()) {
        auto client =
            std::make_shared<rspamd_client_unix>(io_context, config, sender, recipients, client_ip,
                                                 helo, message, queue_id, std::move(completion));
        client->run();
        return client;
    }
    auto client =
        std::make_shared<rspamd_client_tcp>(io_context, config, sender, recipients, client_ip, helo,
                                            message, queue_id, std::move(completion));
    client->run();
    return client;
}
