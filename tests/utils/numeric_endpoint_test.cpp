// Tests of the numeric-host shortcut: the same single address the resolver gives, or nothing.
#include "utils/numeric_endpoint.hpp"

#include <gtest/gtest.h>

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
        const auto results = numeric_endpoint(host, 10025);
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
    for (const std::uint16_t port : {0, 1, 65535}) {
        const auto results = numeric_endpoint("127.0.0.1", port);
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
        EXPECT_FALSE(numeric_endpoint(host, 25).has_value());
    }
}

} // namespace
