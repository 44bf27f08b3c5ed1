// The re-injection client: delivers one message to the mail server over SMTP with XFORWARD.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "config/config.hpp"
#include "utils/mail_data.hpp"

// Receives true when the mail server took the message, false on every failure.
using DeliveryCallback = std::function<void(bool)>;

// A delivery under way, as its caller reaches it.
class delivery {
  public:
    virtual ~delivery() = default;
    // Gives the delivery up unless its final "." is written: the connection closes without it,
    // so the mail server discards the message, and the completion is called with false.
    virtual void abandon() = 0;
    // Whether the delivery was given up by `abandon`.
    virtual bool abandoned() const = 0;
};

// Starts one delivery; `completion` is called later from the event loop, at most once. The
// delivery is reachable through the result until its completion has returned.
std::weak_ptr<delivery> send_email(boost::asio::io_context& io_context, const Config& config,
                                   const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const MailData& message, const XForwardData& xforward,
                                   DeliveryCallback completion);
