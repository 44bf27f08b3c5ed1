// The daemon's signal handling: SIGHUP reloads the configuration, SIGINT and SIGTERM stop the
// event loop.
#pragma once

#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

// The completion of every wait on the signal set.
using signal_callback = std::function<void(const boost::system::error_code&, int)>;

// Handles one wait's outcome: reloads on SIGHUP and waits again, stops `io_context` on any other
// signal; `handler` is the std::function holding this call, copied into each new wait.
void signal_handler(boost::asio::io_context& io_context, boost::asio::signal_set& signals,
                    const signal_callback& handler, const boost::system::error_code& error,
                    int signal_number);

// The signal set for SIGINT, SIGTERM and SIGHUP and the handler waiting on it.
class signal_watch {
  public:
    // Adds the three signals in that order (throwing when one cannot be added) and starts the
    // first wait.
    explicit signal_watch(boost::asio::io_context& io_context);
    signal_watch(const signal_watch&) = delete;
    signal_watch& operator=(const signal_watch&) = delete;

  private:
    boost::asio::signal_set signals_;
    signal_callback handler_; // refers to the loop, to `signals_` and to itself
};
