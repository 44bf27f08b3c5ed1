// Entry point of the quillgate daemon: loads the configuration, sets up the daily log, the
// signals and the LMTP listener, and runs the event loop until SIGINT or SIGTERM.
#include <exception>
#include <functional>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include "config/listener.hpp"
#include "config/logging.hpp"
#include "config/process_config.hpp"
#include "config/signals.hpp"
#include "lmtp_server/server.hpp"

namespace {

// Hands `acceptor` to the accept loop and runs the event loop until it is stopped.
template <class Acceptor, class Socket>
void serve(boost::asio::io_context& io_context, Acceptor acceptor) {
    server<Acceptor, Socket> lmtp_server(io_context, std::move(acceptor),
                                         std::function<Config()>(get_config));
    io_context.run();
}

// Opens the configured listener and serves on it.
void listen_and_serve(boost::asio::io_context& io_context, const Config& config) {
    using boost::asio::ip::tcp;
    using boost::asio::local::stream_protocol;
    if (!config.listen_socket.empty())
        return serve<stream_protocol::acceptor, stream_protocol::socket>(
            io_context, open_unix_listener(io_context, config));
    serve<tcp::acceptor, tcp::socket>(io_context, open_tcp_listener(io_context, config));
}

} // namespace

// Runs the daemon; 0 after an orderly stop, 1 after a fatal error.
int main(int argc, char* argv[]) {
    try {
        if (argc > 1) config_path = argv[1];
        current_config = load_config(config_path);
        auto daily_logger = set_up_daily_log(current_config);
        boost::asio::io_context io_context;
        signal_watch signals(io_context);
        listen_and_serve(io_context, current_config);
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("Exception: {}", e.what());
        return 1;
    }
}
