// The scanner client over TCP: resolves the configured Rspamd host, connects, sends the
// "/checkV2" request and hands the reply body to its completion.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "config/config.hpp"
#include "rspamd_client/rspamd_client.hpp"
#include "rspamd_client/rspamd_exchange.hpp"
#include "utils/mail_data.hpp"

// One scan of one message over TCP; created by send_to_rspamd and kept alive by its pending step.
class rspamd_client_tcp : public std::enable_shared_from_this<rspamd_client_tcp> {
  public:
    rspamd_client_tcp(boost::asio::io_context& io_context, const Config& config,
                      const std::string& sender, const std::vector<std::string>& recipients,
                      const std::string& client_ip, std::string& helo, const MailData& message,
                      const std::string& queue_id, ScanCallback completion);

    // Starts the resolve of `rspamd_host` and `rspamd_port`.
    void run();

  private:
    using stream_type =
        boost::beast::basic_stream<boost::asio::ip::tcp, boost::asio::any_io_executor,
                                   boost::beast::unlimited_rate_policy>;

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
    // Logs the failed step and hands on the empty text.
    void fail(std::string_view step, const std::string& what);
    // Calls the completion once; nothing is started after it.
    void complete(std::string reply);

    boost::asio::io_context& io_context_;
    boost::asio::ip::tcp::resolver resolver_;
    stream_type stream_; // no expiry is ever set: no step has a time-out
    const Config& config_;
    std::string sender_;
    std::vector<std::string> recipients_;
    std::string client_ip_;
    std::string helo_;
    MailData mail_data_;
    std::string queue_id_;
    ScanCallback callback_;
    scan_request req_;
    boost::beast::flat_buffer buffer_;
    scan_response res_;
    scan_response_parser parser_; // reads res_: the header part first, then the body
};
