// Waits for SIGINT, SIGTERM and SIGHUP on the event loop and acts on each.
#include "config/signals.hpp"

#include <csignal>

#include <spdlog/spdlog.h>

#include "config/process_config.hpp"

void signal_handler(boost::asio::io_context& io_context, boost::asio::signal_set& signals,
                    const signal_callback& handler, const boost::system::error_code& error,
                    int signal_number) {
    if (error) return signals.async_wait(handler);
    if (signal_number == SIGHUP) {
        reload_config_file();
        return signals.async_wait(handler);
    }
    spdlog::info("Received signal {}, shutting down...", signal_number);
    io_context.stop();
}

signal_watch::signal_watch(boost::asio::io_context& io_context)
    : signals_(io_context, SIGINT, SIGTERM, SIGHUP) {
    handler_ = [&io_context, this](const boost::system::error_code& error, int signal_number) {
        signal_handler(io_context, signals_, handler_, error, signal_number);
    };
    signals_.async_wait(handler_);
}
