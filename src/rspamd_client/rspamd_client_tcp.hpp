// The scanner client over TCP: resolves the configured Rspamd host, connects, sends the
// "/checkV2" request and hands the reply body to its completion.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "config/config.hpp"
#include "rspamd_client/rspamd_client.hpp"
#include "rspamd_client/scan_exchange.hpp"
#include "utils/mail_data.hpp"

// One scan of one message over TCP; created by send_to_rspamd and kept alive by its pending step.
class rspamd_client_tcp : public std::enable_shared_from_this<rspamd_client_tcp>, public scan {
  public:
    rspamd_client_tcp(boost::asio::io_context& io_context, const Config& config,
                      const std::string& sender, const std::vector<std::string>& recipients,
                      const std::string& client_ip, std::string& helo, const MailData& message,
                      const std::string& queue_id, ScanCallback completion);

    // Starts the resolve of `rspamd_host` and `rspamd_port`.
    void run();
    // Gives the scan up, at whichever step it is.
    void abandon() override;

  private:
    static constexpr std::string_view transport = "TCP";

    // Connects to the resolved addresses, one after the other.
    void on_resolve(boost::asio::ip::tcp::resolver::results_type results);
    // Builds the request and writes it.
    void on_connect();
    // Reads the header part of the one response.
    void on_write();
    // Reads the rest of the response once its header part has passed the limits.
    void on_read_header();
    // Ends a read: shuts down and hands on the body or the empty text.
    void on_read();

    boost::asio::io_context& io_context_;
    boost::asio::ip::tcp::resolver resolver_;
    scan_exchange<boost::asio::ip::tcp> exchange_; // the stream, the request and the reply
    const Config& config_;
    std::string sender_;
    std::vector<std::string> recipients_;
    std::string client_ip_;
    std::string helo_;
    MailData mail_data_;
    std::string queue_id_;
};
