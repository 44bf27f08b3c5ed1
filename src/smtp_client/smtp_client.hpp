// The re-injection client: delivers one message to the mail server over SMTP with XFORWARD.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "config/config.hpp"
#include "utils/mail_data.hpp"

// Receives true when the mail server took the message, false on every failure.
using DeliveryCallback = std::function<void(bool)>;

// Starts one delivery; `completion` is called later from the event loop, at most once.
void send_email(boost::asio::io_context& io_context, const Config& config,
                const std::string& sender, const std::vector<std::string>& recipients,
                const MailData& message, const XForwardData& xforward, DeliveryCallback completion);
