// Tests of host resolution: the numeric-host shortcut gives the same single address the
// resolver gives, or leaves the host to the resolver; either way the handler runs from the loop.
#include "utils/host_lookup.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

namespace {

using boost::asio::ip::tcp;

// The resolver's answer for a numeric host, asked so that no name service is contacted.
std::vector<tcp::endpoint> resolved(const std::string& host, std::uint16_t port) {
    boost::asio::io_context io_context;
    tcp::resolver resolver(io_context);
    const auto results = resolver.resolve(
        host, std::to_string(port), tcp::resolver::numeric_host | tcp::resolver::numeric_service);
    std::vector<tcp::endpoint> endpoints;
    for (const auto& entry : results)
        endpoints.push_back(entry.endpoint());
    return endpoints;
}

TEST(NumericEndpoint, NumericHostsGiveWhatTheResolverGives) {
    for (const std::string host : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "::1",
                                   "::", "2001:db8::10", "::ffff:192.0.2.1", "fe80::1%1"}) {
        SCOPED_TRACE(host);
        boost::asio::io_context io_context;
        tcp::resolver resolver(io_context);
        const auto results = numeric_endpoint(resolver, host, 10025);
        ASSERT_TRUE(results.has_value());
        std::vector<tcp::endpoint> endpoints;
        for (const auto& entry : *results) {
            endpoints.push_back(entry.endpoint());
            EXPECT_EQ(entry.host_name(), host);
            EXPECT_EQ(entry.service_name(), "10025");
        }
        EXPECT_EQ(endpoints, resolved(host, 10025));
    }
}

TEST(NumericEndpoint, PortsAtTheEdges) {
    boost::asio::io_context io_context;
    tcp::resolver resolver(io_context);
    for (const std::uint16_t port : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{65535}}) {
        const auto results = numeric_endpoint(resolver, "127.0.0.1", port);
        ASSERT_TRUE(results.has_value());
        EXPECT_EQ(results->begin()->endpoint().port(), port);
    }
}

// Names and the short IPv4 forms only getaddrinfo knows ("127.1") stay with the resolver, so
// they resolve exactly as before.
TEST(NumericEndpoint, EverythingElseIsLeftToTheResolver) {
    for (const std::string host : {"localhost", "", "127.1", "0x7f.0.0.1", "1.2.3.4.5", "[::1]",
                                   " 127.0.0.1", "127.0.0.1 ", "mail.example.org", "::1::"}) {
        SCOPED_TRACE(host);
        boost::asio::io_context io_context;
        tcp::resolver resolver(io_context);
        EXPECT_FALSE(numeric_endpoint(resolver, host, 25).has_value());
    }
}

// The handler's calls: how many, with which error and which addresses.
struct lookup_outcome {
    int calls = 0;
    boost::system::error_code ec;
    std::vector<tcp::endpoint> endpoints;
};

lookup_outcome resolve_and_run(const std::string& host, std::uint16_t port) {
    boost::asio::io_context io_context;
    tcp::resolver resolver(io_context);
    lookup_outcome outcome;
    resolve_host(io_context, resolver, host, port,
                 [&](const boost::system::error_code& ec, tcp::resolver::results_type results) {
                     ++outcome.calls;
                     outcome.ec = ec;
                     for (const auto& entry : results)
                         outcome.endpoints.push_back(entry.endpoint());
                 });
    EXPECT_EQ(outcome.calls, 0) << "the handler ran before resolve_host returned";
    io_context.run();
    return outcome;
}

TEST(ResolveHost, NumericHostCompletesFromTheLoopWithItsAddress) {
    const lookup_outcome outcome = resolve_and_run("::1", 11333);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.ec);
    EXPECT_EQ(outcome.endpoints, resolved("::1", 11333));
}

// The threads of this process.
std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A numeric host needs neither the resolver's thread nor a name service.
TEST(ResolveHost, NumericHostStartsNoThread) {
    const std::size_t before = thread_count();
    const lookup_outcome outcome = resolve_and_run("127.0.0.1", 11333);
    EXPECT_FALSE(outcome.ec);
    EXPECT_EQ(thread_count(), before);
    boost::asio::io_context io_context;
    tcp::resolver resolver(io_context);
    bool called = false;
    resolver.async_resolve("127.1", "25", [&](const auto&, const auto&) { called = true; });
    io_context.run();
    EXPECT_TRUE(called);
    EXPECT_EQ(thread_count(), before + 1) << "the check does not see the resolver's thread";
}

// "127.1" is no address text for the shortcut, but getaddrinfo reads it without asking any
// name server: the resolver's path, with nothing leaving the machine.
TEST(ResolveHost, OtherHostGoesThroughTheResolver) {
    const lookup_outcome outcome = resolve_and_run("127.1", 10025);
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_FALSE(outcome.ec) << outcome.ec.message();
    EXPECT_EQ(outcome.endpoints, std::vector<tcp::endpoint>{tcp::endpoint(
                                     boost::asio::ip::make_address("127.0.0.1"), 10025)});
}

} // namespace
