// The session counter and the formatting of session ids.
#include "lmtp_server/session_counter.hpp"

#include <fmt/format.h>

std::atomic<std::uint64_t> session_counter{0};

std::string next_session_id() {
    return fmt::format("{:016x}", session_counter.fetch_add(1, std::memory_order_seq_cst));
}
