// The watchdog of the tests that run the real code on an event loop of their own.
#include "support/loop_watchdog.hpp"

#include <gtest/gtest.h>

namespace test_support {

bool run_with_watchdog(boost::asio::io_context& io_context, std::chrono::milliseconds limit) {
    io_context.restart();
    io_context.run_for(limit);
    if (io_context.stopped()) return true;
    ADD_FAILURE() << "timed out after " << limit.count() << " ms";
    return false;
}

} // namespace test_support
