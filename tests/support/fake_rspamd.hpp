// A scripted stand-in for Rspamd, for the tests: it listens on loopback TCP and/or a Unix-domain
// socket, records every HTTP request it reads and answers each one from a script.
//
// Usage:
//   test_support::fake_rspamd rspamd;                        // 127.0.0.1, a free port
//   rspamd.push(test_support::rspamd_reply::json(R"({"action":"reject"})"));
//   ... point the client at 127.0.0.1:rspamd.port() and run it ...
//   ASSERT_TRUE(rspamd.wait_for_requests(1, 5s));
//   EXPECT_EQ(rspamd.requests()[0].target, "/checkV2");
//
// The fake runs its own event loop on its own thread, so a test may drive its own io_context or
// an external process against it. Every method may be called from any thread. Replies are taken
// from the queue filled by push(), in order and across all connections; when the queue is empty
// the responder set by respond_with() chooses (it runs on the fake's thread and must not throw);
// without one the fake answers 200 with a JSON "no action" verdict (`default_verdict`).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test_support {

namespace detail {
struct fake_rspamd_state; // the listeners, the script and the record, shared with the fake's thread
} // namespace detail

// One HTTP request as the fake received it.
struct rspamd_request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields; // name and value, in wire order
    std::string body;
    std::string raw; // every byte of the request: request line, fields, blank line and body

    // The values of every field called `name` (ASCII case ignored), in wire order.
    std::vector<std::string> values(std::string_view name) const;
};

// What the fake does with one request: the bytes it writes, then what becomes of the connection.
struct rspamd_reply {
    // What follows the bytes: wait for a further request, close (FIN), or reset (RST).
    enum class then { keep_open, close, reset };

    std::string bytes;                  // written verbatim; empty writes nothing
    then after = then::keep_open;       // keep_open with no bytes is silence
    std::chrono::milliseconds delay{0}; // pause before the bytes are written
    bool before_request = false; // act as soon as the connection is accepted, reading nothing

    // A complete response of `status` with "Content-Length"; the connection stays open.
    static rspamd_reply http(int status, std::string body,
                             std::string content_type = "application/json");
    // A 200 response carrying `body` as JSON.
    static rspamd_reply json(std::string body);
    // The verbatim `bytes`, then a close of the connection.
    static rspamd_reply raw_then_close(std::string bytes);
    // Reads the request and never answers.
    static rspamd_reply silence();
    // The reply used when nothing else is scripted: 200 with a "no action" verdict.
    static rspamd_reply default_verdict();
};

// Where the fake listens; the TCP port is always a free one chosen by the system.
struct rspamd_listen {
    std::string tcp_address = "127.0.0.1"; // empty: no TCP listener
    std::string unix_path;                 // non-empty: a Unix-domain listener at this path
};

// The fake Rspamd server; it stops and closes every connection in its destructor.
class fake_rspamd {
  public:
    // Chooses the reply to a request when the queue is empty.
    using responder = std::function<rspamd_reply(const rspamd_request&)>;

    explicit fake_rspamd(rspamd_listen where = {});
    ~fake_rspamd();
    fake_rspamd(const fake_rspamd&) = delete;
    fake_rspamd& operator=(const fake_rspamd&) = delete;

    // The TCP port listened on (0 without a TCP listener).
    std::uint16_t port() const;
    // The Unix-domain socket path listened on (empty without one).
    const std::string& unix_path() const;

    // Appends a reply to the script.
    void push(rspamd_reply reply);
    // Sets the function that answers once the script is used up.
    void respond_with(responder choose);

    // A copy of every request read so far, in the order they were completed.
    std::vector<rspamd_request> requests() const;
    // The number of connections accepted so far.
    std::size_t connections() const;
    // The number of connections whose client has gone away (closed or reset them) so far.
    std::size_t closed_connections() const;
    // Waits until `count` requests were read; false when `limit` passes first.
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const;

  private:
    std::unique_ptr<detail::fake_rspamd_state> state_;
};

} // namespace test_support
