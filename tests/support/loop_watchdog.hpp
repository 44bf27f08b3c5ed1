// The watchdog of the tests that run the real code on an event loop of their own.
#pragma once

#include <chrono>

#include <boost/asio/io_context.hpp>

namespace test_support {

// Runs `io_context` until it is stopped or has no work left, failing the test when it still runs
// after `limit`; true when it ended in time.
bool run_with_watchdog(boost::asio::io_context& io_context, std::chrono::milliseconds limit);

} // namespace test_support
