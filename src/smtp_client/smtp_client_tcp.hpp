// The re-injection client over TCP: resolves the configured host and port and connects to them.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "smtp_client/smtp_client_base.hpp"

// Delivers one message to the mail server at `forward_host` and `forward_port`.
class smtp_client_tcp final : public smtp_client_base<boost::asio::ip::tcp::socket> {
  public:
    smtp_client_tcp(boost::asio::io_context& io_context, const Config& config,
                    const std::string& sender, const std::vector<std::string>& recipients,
                    const MailData& message, const XForwardData& xforward,
                    DeliveryCallback completion);

    void on_resolve(boost::asio::ip::tcp::resolver::results_type results) override;
    void connect_to_server() override;
    boost::asio::ip::tcp::socket& get_socket() override { return socket_; }
    std::string get_client_type() const override { return "TCP"; }

  private:
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::ip::tcp::socket socket_;
};
