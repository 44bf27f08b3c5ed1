// The scanner reply: which bodies reach the completion, and every way a reply can fail, over TCP
// and over a Unix-domain socket.
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "scan_fixture.hpp"
#include "support/fake_rspamd.hpp"
#include "support/test_env.hpp"

namespace scan_testing {
namespace {

using test_support::fake_rspamd;
using test_support::rspamd_listen;
using test_support::rspamd_reply;

constexpr std::size_t body_limit = 8388608;
const std::string verdict = R"({"action":"no action","score":1.5,"symbols":{}})";

// A response head with "Content-Length" for a body of `size` bytes.
std::string head_for(std::size_t size) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
}

// A scripted reply, the text the completion must get, and the log lines the client must write
// ("%T" stands for the transport word).
struct reply_case {
    const char* name;
    rspamd_reply reply;
    std::string expected;
    std::vector<std::string> log;
};

// Names a case in test output.
void PrintTo(const reply_case& c, std::ostream* out) {
    *out << c.name;
}

// A reply that is `bytes` followed by a reset of the connection.
rspamd_reply then_reset(std::string bytes) {
    rspamd_reply reply;
    reply.bytes = std::move(bytes);
    reply.after = rspamd_reply::then::reset;
    return reply;
}

// A reply of `bytes` on a connection that stays open.
rspamd_reply kept_open(std::string bytes) {
    rspamd_reply reply;
    reply.bytes = std::move(bytes);
    return reply;
}

const std::string crlf_verdict = "{\"action\": \"reject\"}\r\n";

std::vector<reply_case> reply_cases() {
    return {
        {"Status200JsonIsHandedOnByteForByte",
         rspamd_reply::json(crlf_verdict),
         crlf_verdict,
         {"[debug] Rspamd response: " + crlf_verdict}},
        {"Status500BodyIsHandedOnToo",
         rspamd_reply::http(500, R"({"error":"bad"})"),
         R"({"error":"bad"})",
         {R"([debug] Rspamd response: {"error":"bad"})"}},
        {"ContentLengthZeroIsAnEmptyResponse",
         rspamd_reply::http(200, ""),
         "",
         {"[debug] Rspamd response: ", "[error] Empty response from Rspamd"}},
        {"Status204IsAnEmptyResponse",
         kept_open("HTTP/1.1 204 No Content\r\n\r\n"),
         "",
         {"[debug] Rspamd response: ", "[error] Empty response from Rspamd"}},
        {"CloseBeforeAnyByteIsEndOfStream",
         rspamd_reply::raw_then_close(""),
         "",
         {"[error] Rspamd client (%T) read failed: end of stream"}},
        {"CloseInsideTheBodyIsPartialMessage",
         rspamd_reply::raw_then_close(head_for(100) + "only forty bytes of the hundred promised"),
         "",
         {"[error] Rspamd client (%T) read failed: partial message"}},
        {"HeaderOver8192BytesExceedsTheLimit",
         kept_open("HTTP/1.1 200 OK\r\nX-Filler: " + std::string(9000, 'f') +
                   "\r\nContent-Length: 2\r\n\r\n{}"),
         "",
         {"[error] Rspamd client (%T) read failed: header limit exceeded"}},
        {"HugeContentLengthExceedsTheLimitBeforeAnyBodyIsKept",
         kept_open("HTTP/1.1 200 OK\r\nContent-Length: 100000000000000\r\n\r\n{}"),
         "",
         {"[error] Rspamd client (%T) read failed: body limit exceeded"}},
        {"ChunkedBodyIsJoined",
         kept_open("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "9\r\n{\"action\"\r\n10\r\n:\"add header\"}\r\n\r\n0\r\n\r\n"),
         "{\"action\":\"add header\"}\r\n",
         {"[debug] Rspamd response: {\"action\":\"add header\"}\r\n"}},
        {"BodyEndedByCloseIsWhatCameBeforeTheClose",
         rspamd_reply::raw_then_close("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + verdict),
         verdict,
         {"[debug] Rspamd response: " + verdict}},
        {"ResetAfterACompleteReplyKeepsTheBody",
         then_reset(head_for(verdict.size()) + verdict),
         verdict,
         {"[debug] Rspamd response: " + verdict}},
        {"BytesAfterTheResponseAreDropped",
         kept_open(head_for(5) + "hello" + "HTTP/1.1 200 OK\r\n"),
         "hello",
         {"[debug] Rspamd response: hello"}},
    };
}

// The case's log text, with the transport word in place of "%T".
std::string expected_log(const reply_case& c, const std::string& transport) {
    std::string text;
    for (auto line : c.log) {
        if (auto at = line.find("%T"); at != std::string::npos) line.replace(at, 2, transport);
        text += line + "\n";
    }
    return text;
}

// Runs one scan over one transport against a fresh fake that plays `reply`.
class reply_runner : public scan_test {
  protected:
    // The outcome of the scan; the fake must have read exactly one request.
    scan_outcome scan_with(bool over_unix, const rspamd_reply& reply) {
        test_support::temp_dir dir;
        auto rspamd =
            over_unix ? std::make_unique<fake_rspamd>(rspamd_listen{"", dir.file("rspamd.sock")})
                      : std::make_unique<fake_rspamd>();
        rspamd->push(reply);
        const Config config =
            over_unix ? unix_config(rspamd->unix_path()) : tcp_config("127.0.0.1", rspamd->port());
        const auto outcome = scan(config);
        EXPECT_EQ(rspamd->requests().size(), 1u);
        return outcome;
    }

    // Expects the log to be exactly `expected`, showing only its start on a mismatch.
    void expect_log(const std::string& expected) {
        const std::string log = log_text();
        EXPECT_TRUE(log == expected) << "log: " << log.substr(0, 2000);
    }
};

// Each reply case runs over each transport.
class scan_reply : public reply_runner,
                   public ::testing::WithParamInterface<std::tuple<bool, reply_case>> {};

TEST_P(scan_reply, CompletionGetsTheBodyOrTheEmptyText) {
    const auto& [over_unix, c] = GetParam();
    const auto outcome = scan_with(over_unix, c.reply);
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply, c.expected);
    expect_log(expected_log(c, over_unix ? "Unix" : "TCP"));
}

INSTANTIATE_TEST_SUITE_P(Replies, scan_reply,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(reply_cases())),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Unix_" : "Tcp_") +
                                    std::get<1>(info.param).name;
                         });

// The 8 MiB body limit, over each transport (the large bodies are made only when a test runs).
class scan_body_limit : public reply_runner, public ::testing::WithParamInterface<bool> {
  protected:
    // The read-failed line of this transport.
    std::string limit_line() const {
        return std::string("[error] Rspamd client (") + (GetParam() ? "Unix" : "TCP") +
               ") read failed: body limit exceeded\n";
    }
};

TEST_P(scan_body_limit, BodyOfExactly8MiBIsHandedOn) {
    const std::string body(body_limit, 'x');
    const auto outcome = scan_with(GetParam(), kept_open(head_for(body.size()) + body));
    expect_one_late_call(outcome);
    EXPECT_TRUE(outcome.reply == body) << "reply of " << outcome.reply.size() << " bytes";
    expect_log("[debug] Rspamd response: " + body + "\n");
}

TEST_P(scan_body_limit, ContentLengthOneByteOverFails) {
    const std::string body(body_limit + 1, 'x');
    const auto outcome = scan_with(GetParam(), kept_open(head_for(body.size()) + body));
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply.size(), 0u);
    expect_log(limit_line());
}

TEST_P(scan_body_limit, ChunkedBodyOneByteOverFails) {
    const std::string chunk(body_limit + 1, 'x');
    const auto outcome = scan_with(
        GetParam(), rspamd_reply::raw_then_close(
                        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n800001\r\n" + chunk +
                        "\r\n0\r\n\r\n"));
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply.size(), 0u);
    expect_log(limit_line());
}

TEST_P(scan_body_limit, CloseDelimitedBodyOneByteOverFails) {
    const std::string body(body_limit + 1, 'x');
    const auto outcome =
        scan_with(GetParam(), rspamd_reply::raw_then_close("HTTP/1.1 200 OK\r\n\r\n" + body));
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply.size(), 0u);
    expect_log(limit_line());
}

INSTANTIATE_TEST_SUITE_P(Transports, scan_body_limit, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unix" : "Tcp"; });

} // namespace
} // namespace scan_testing
