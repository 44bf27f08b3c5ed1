// The pacing of failed accepts: which errors count as a lack of resources, the growing pause and
// the thinned-out log lines.
#include <cerrno>

#include <chrono>
#include <vector>

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include "lmtp_server/accept_backoff.hpp"

namespace {

using namespace std::chrono_literals;

// An error number as the accept reports it.
boost::system::error_code system_error(int number) {
    return {number, boost::system::system_category()};
}

TEST(ResourceShortage, OnlyDescriptorsBufferSpaceAndMemoryCount) {
    EXPECT_TRUE(is_resource_shortage(boost::asio::error::no_descriptors));
    EXPECT_TRUE(is_resource_shortage(system_error(ENFILE)));
    EXPECT_TRUE(is_resource_shortage(system_error(ENOBUFS)));
    EXPECT_TRUE(is_resource_shortage(system_error(ENOMEM)));
    EXPECT_FALSE(is_resource_shortage(boost::asio::error::connection_aborted));
    EXPECT_FALSE(is_resource_shortage(boost::asio::error::not_connected));
    EXPECT_FALSE(is_resource_shortage(boost::asio::error::operation_aborted));
    EXPECT_FALSE(is_resource_shortage(boost::system::error_code()));
    // The same number in another category is another error.
    EXPECT_FALSE(is_resource_shortage({EMFILE, boost::system::generic_category()}));
}

// One failed accept, the time since the first, and what the backoff must answer.
struct shortage {
    std::chrono::milliseconds at;
    std::chrono::milliseconds pause;
    bool log;
    long unlogged;
};

TEST(AcceptBackoff, PauseDoublesToASecondAndLinesComeAtMostOnceASecond) {
    // Failures at the pace the pauses set: 100, 200, 400, 800 ms, then a second each.
    const std::vector<shortage> failures = {
        {0ms, 100ms, true, 0},      {100ms, 200ms, false, 0},  {300ms, 400ms, false, 0},
        {700ms, 800ms, false, 0},   {1500ms, 1000ms, true, 3}, {2500ms, 1000ms, true, 0},
        {3000ms, 1000ms, false, 0}, {3600ms, 1000ms, true, 1},
    };
    accept_backoff backoff;
    const auto start = accept_backoff::clock::now();
    for (const auto& f : failures) {
        SCOPED_TRACE(f.at.count());
        const auto step = backoff.on_shortage(start + f.at);
        EXPECT_EQ(step.pause, f.pause);
        EXPECT_EQ(step.log, f.log);
        EXPECT_EQ(step.unlogged, f.unlogged);
    }
}

TEST(AcceptBackoff, AnotherOutcomeShortensThePauseButNotTheLogInterval) {
    accept_backoff backoff;
    const auto start = accept_backoff::clock::now();
    backoff.on_shortage(start);
    backoff.on_shortage(start + 100ms);
    backoff.on_other_outcome(); // an accept went through
    // A server at its limit alternates: the pause starts short again, the lines stay sparse.
    const auto again = backoff.on_shortage(start + 400ms);
    EXPECT_EQ(again.pause, 100ms);
    EXPECT_FALSE(again.log);
    const auto later = backoff.on_shortage(start + 1000ms);
    EXPECT_EQ(later.pause, 200ms);
    EXPECT_TRUE(later.log);
    EXPECT_EQ(later.unlogged, 2);
}

} // namespace
