// The scanner client: submits one message to Rspamd ("POST /checkV2") and hands back the reply
// body.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "config/config.hpp"
#include "utils/mail_data.hpp"

// Receives the scanner's reply body, or the empty text when no verdict could be had.
using ScanCallback = std::function<void(std::string)>;

// A scan under way, as its caller reaches it.
class scan {
  public:
    virtual ~scan() = default;
    // Gives the scan up: its connection closes at once, one line is logged, and its completion
    // gets the empty text from the event loop.
    virtual void abandon() = 0;
};

// Starts one scan of `message` over the Unix-domain socket when one is configured, else over TCP.
// `completion` runs once from the event loop when the scan ends, never inside this call; it gets
// the empty text on every failure, and is dropped uncalled if the loop stops first. The scan is
// reachable through the result until its completion has returned.
std::weak_ptr<scan> send_to_rspamd(boost::asio::io_context& io_context, const Config& config,
                                   const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const std::string& client_ip, std::string& helo,
                                   const MailData& message, const std::string& queue_id,
                                   ScanCallback completion);
