// The re-injection client over a Unix-domain stream socket.
#pragma once

#include <boost/asio/local/stream_protocol.hpp>

#include "smtp_client/smtp_client_base.hpp"

// Delivers one message to the mail server listening at `forward_socket_path`.
class smtp_client_unix final
    : public smtp_client_base<boost::asio::local::stream_protocol::socket> {
  public:
    smtp_client_unix(boost::asio::io_context& io_context, const Config& config,
                     const std::string& sender, const std::vector<std::string>& recipients,
                     const MailData& message, const XForwardData& xforward,
                     DeliveryCallback completion);

    // Never reached on this transport; reports failure.
    void on_resolve(boost::asio::ip::tcp::resolver::results_type results) override;
    // Connects to the socket file; a path too long for an address fails like a connect.
    void connect_to_server() override;
    boost::asio::local::stream_protocol::socket& get_socket() override { return socket_; }
    std::string get_client_type() const override { return "Unix"; }

  private:
    boost::asio::local::stream_protocol::socket socket_;
};
