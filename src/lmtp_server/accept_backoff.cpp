// The pause and the log throttle of accepts that fail for lack of resources.
#include "lmtp_server/accept_backoff.hpp"

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::chrono::milliseconds first_pause{100};
constexpr std::chrono::milliseconds longest_pause{1000};
constexpr std::chrono::seconds log_interval{1}; // at most one line per interval

} // namespace

bool is_resource_shortage(const boost::system::error_code& ec) {
    // The accept reports the system's error number; compared as such, without the category's
    // virtual lookup of an equivalent condition.
    if (ec.category() != boost::system::system_category()) return false;
    const int number = ec.value();
    return number == EMFILE || number == ENFILE || number == ENOBUFS || number == ENOMEM;
}

accept_backoff::step accept_backoff::on_shortage(clock::time_point now) {
    pause_ = pause_.count() == 0 ? first_pause : std::min(pause_ * 2, longest_pause);
    step next{pause_};
    if (logged_ && now - last_logged_ < log_interval) {
        ++unlogged_;
        return next;
    }
    next.log = true;
    next.unlogged = unlogged_;
    logged_ = true;
    last_logged_ = now;
    unlogged_ = 0;
    return next;
}

void accept_backoff::on_other_outcome() {
    pause_ = std::chrono::milliseconds(0);
}
