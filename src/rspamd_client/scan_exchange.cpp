// The end of a scan, shared by both transports: the reply handed on, a failure logged, a scan
// given up when its session has ended.
#include "rspamd_client/scan_exchange.hpp"

#include <spdlog/spdlog.h>

template <class Protocol>
scan_exchange<Protocol>::scan_exchange(boost::asio::io_context& io_context,
                                       std::string_view transport, ScanCallback completion)
    : transport_(transport), stream_(io_context), callback_(std::move(completion)) {}

template <class Protocol> void scan_exchange<Protocol>::complete() {
    report(finish_reply(transport_, stream_.socket(), res_.body()));
}

template <class Protocol>
void scan_exchange<Protocol>::fail(std::string_view step, std::string_view what) {
    log_client_failure(transport_, step, what);
    report({});
}

template <class Protocol>
bool scan_exchange<Protocol>::proceed(std::string_view step, const boost::beast::error_code& ec) {
    if (state_ == scan_state::giving_up) {
        spdlog::warn("Rspamd client ({}) scan abandoned: the LMTP session has closed", transport_);
        report({});
        return false;
    }
    if (!ec) return true;
    fail(step, ec.message());
    return false;
}

template <class Protocol> void scan_exchange<Protocol>::abandon() {
    if (state_ != scan_state::running) return;
    state_ = scan_state::giving_up;
    boost::beast::error_code ignored;
    stream_.socket().close(ignored);
}

template <class Protocol> void scan_exchange<Protocol>::report(std::string reply) {
    state_ = scan_state::ended;
    auto callback = std::move(callback_);
    callback_ = nullptr;
    if (callback) callback(std::move(reply));
}

template class scan_exchange<boost::asio::ip::tcp>;
template class scan_exchange<boost::asio::local::stream_protocol>;
