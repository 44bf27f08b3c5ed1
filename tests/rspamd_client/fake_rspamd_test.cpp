// The fake Rspamd itself: what it records, how it plays its script, and its waiting deadline, seen
// from a plain blocking client.
#include <chrono>
#include <string>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "support/fake_rspamd.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using test_support::fake_rspamd;
using test_support::rspamd_reply;

// A blocking connection to the fake's TCP port.
struct blocking_client {
    explicit blocking_client(std::uint16_t port) : socket(ioc) {
        socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    }
    // Writes `bytes` whole.
    void send(const std::string& bytes) { boost::asio::write(socket, boost::asio::buffer(bytes)); }
    // Reads exactly `size` bytes.
    std::string receive(std::size_t size) {
        std::string bytes(size, '\0');
        boost::asio::read(socket, boost::asio::buffer(bytes));
        return bytes;
    }
    // Reads until the fake closes the connection.
    std::string receive_all() {
        std::string bytes;
        boost::system::error_code ec;
        boost::asio::read(socket, boost::asio::dynamic_buffer(bytes), ec);
        return bytes;
    }

    boost::asio::io_context ioc;
    tcp::socket socket;
};

const std::string two_requests = "POST /checkV2 HTTP/1.1\r\nHost: x\r\nRcpt: <a@b>\r\n"
                                 "rcpt:  <c@d> \r\nContent-Length: 4\r\n\r\nbody"
                                 "GET /ping HTTP/1.1\r\nHost: y\r\n\r\n";

TEST(FakeRspamd, RecordsPipelinedRequestsAndAnswersEachFromTheScript) {
    fake_rspamd rspamd;
    rspamd.push(rspamd_reply::json("{1}"));
    rspamd.respond_with([](const test_support::rspamd_request& request) {
        return rspamd_reply::json("{" + request.target + "}");
    });
    blocking_client client(rspamd.port());
    client.send(two_requests);
    const std::string first = rspamd_reply::json("{1}").bytes;
    const std::string second = rspamd_reply::json("{/ping}").bytes;
    EXPECT_EQ(client.receive(first.size() + second.size()), first + second);

    ASSERT_TRUE(rspamd.wait_for_requests(2, 5s));
    const auto requests = rspamd.requests();
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/checkV2");
    EXPECT_EQ(requests[0].values("RCPT"), (std::vector<std::string>{"<a@b>", "<c@d>"}));
    EXPECT_EQ(requests[0].fields.size(), 4u);
    EXPECT_EQ(requests[0].body, "body");
    EXPECT_EQ(requests[0].raw + requests[1].raw, two_requests);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(rspamd.connections(), 1u);
}

TEST(FakeRspamd, BeforeRequestReplyActsOnAcceptAndReadsNothing) {
    fake_rspamd rspamd;
    rspamd_reply greeting = rspamd_reply::raw_then_close("early");
    greeting.before_request = true;
    rspamd.push(greeting);
    blocking_client client(rspamd.port());
    EXPECT_EQ(client.receive_all(), "early");
    EXPECT_TRUE(rspamd.requests().empty());
}

TEST(FakeRspamd, DelayedReplyWaitsAndWaitingHasADeadline) {
    fake_rspamd rspamd;
    EXPECT_FALSE(rspamd.wait_for_requests(1, 50ms));
    rspamd_reply slow = rspamd_reply::raw_then_close("late");
    slow.delay = 200ms;
    rspamd.push(slow);
    blocking_client client(rspamd.port());
    const auto start = std::chrono::steady_clock::now();
    client.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.receive_all(), "late");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(FakeRspamd, UnscriptedRequestGetsTheDefaultVerdict) {
    fake_rspamd rspamd;
    blocking_client client(rspamd.port());
    client.send("POST /checkV2 HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    const std::string expected = rspamd_reply::default_verdict().bytes;
    EXPECT_EQ(client.receive(expected.size()), expected);
    EXPECT_NE(expected.find(R"("action":"no action")"), std::string::npos);
}

} // namespace
