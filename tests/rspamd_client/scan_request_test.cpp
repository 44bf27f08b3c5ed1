// The "/checkV2" request: its exact bytes on the wire, its optional fields, and the envelope texts
// too long for a header field.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "rspamd_client/rspamd_exchange.hpp"
#include "scan_fixture.hpp"
#include "support/fake_rspamd.hpp"
#include "support/test_env.hpp"

namespace scan_testing {
namespace {

using test_support::fake_rspamd;
using test_support::rspamd_listen;

// The fields a request carries before "Content-Length", for a host.
std::string fixed_head(const std::string& host) {
    return "POST /checkV2 HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: Boost.Beast/357\r\nContent-Type: text/plain\r\n";
}

// One envelope and the bytes its request must have after the fixed fields.
struct request_case {
    const char* name;
    envelope data;
    std::string expected_tail;
};

// Names a case in test output.
void PrintTo(const request_case& c, std::ostream* out) {
    *out << c.name;
}

const std::string dotted_message = "Subject: dots\r\nX-A: 1\r\n\r\n.leading dot\r\n..two\r\n";

const request_case request_cases[] = {
    {"ThreeRecipientsAndEveryField",
     {"<alice@example.org>",
      {"<bob@example.net>", "<carol@example.net> NOTIFY=NEVER", "<dave@example.com>"},
      "192.0.2.7",
      "mx.example.org",
      dotted_message,
      "4QxYz1"},
     "From: <alice@example.org>\r\nRcpt: <bob@example.net>\r\n"
     "Rcpt: <carol@example.net> NOTIFY=NEVER\r\nRcpt: <dave@example.com>\r\n"
     "IP: 192.0.2.7\r\nHelo: mx.example.org\r\nQueue-Id: 4QxYz1\r\n"
     "Content-Length: " +
         std::to_string(dotted_message.size()) + "\r\n\r\n" + dotted_message},
    {"EveryOptionalFieldEmpty", {"", {}, "", "", "", ""}, "Content-Length: 0\r\n\r\n"},
    {"NullSenderEmptyRecipientAndBlankValues",
     {"<>", {"", " <x@example.org>\t"}, " \t", "  mx  example\t", "a\n\nb\n", " "},
     "From: <>\r\nRcpt: \r\nRcpt: <x@example.org>\r\nIP: \r\nHelo: mx  example\r\n"
     "Queue-Id: \r\nContent-Length: 5\r\n\r\na\n\nb\n"},
    {"MessageWithoutBlankLine",
     {"<a@b>", {"<c@d>"}, "", "", "Subject: only headers\r\n", ""},
     "From: <a@b>\r\nRcpt: <c@d>\r\nContent-Length: 23\r\n\r\nSubject: only headers\r\n"},
};

// Requests are written byte for byte as the request layout demands, over both transports.
class scan_request_bytes : public scan_test, public ::testing::WithParamInterface<request_case> {};

TEST_P(scan_request_bytes, OverTcpHostIsTheConfiguredHost) {
    fake_rspamd rspamd;
    const Config config = tcp_config("127.0.0.1", rspamd.port());
    expect_one_late_call(scan(config, GetParam().data));
    const auto requests = rspamd.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, fixed_head("127.0.0.1") + GetParam().expected_tail);
}

TEST_P(scan_request_bytes, OverUnixHostIsLocalhost) {
    test_support::temp_dir dir;
    fake_rspamd rspamd(rspamd_listen{"", dir.file("rspamd.sock")});
    const Config config = unix_config(rspamd.unix_path());
    expect_one_late_call(scan(config, GetParam().data));
    const auto requests = rspamd.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, fixed_head("localhost") + GetParam().expected_tail);
}

INSTANTIATE_TEST_SUITE_P(Envelopes, scan_request_bytes, ::testing::ValuesIn(request_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Which envelope text is made too long.
enum class long_text { sender, recipient, client_ip, helo, queue_id };

// The default envelope with one text replaced by `size` bytes.
envelope with_long_text(long_text which, std::size_t size) {
    envelope data;
    const std::string text(size, 'a');
    switch (which) {
    case long_text::sender:
        data.sender = text;
        break;
    case long_text::recipient:
        data.recipients.push_back(text);
        break;
    case long_text::client_ip:
        data.client_ip = text;
        break;
    case long_text::helo:
        data.helo = text;
        break;
    case long_text::queue_id:
        data.queue_id = text;
        break;
    }
    return data;
}

// Builds the request straight from an envelope.
scan_request build(const envelope& data) {
    return build_scan_request("h", data.sender, data.recipients, data.client_ip, data.helo,
                              MailData::from_raw(std::string(data.message)), data.queue_id);
}

TEST(ScanRequestLimit, EveryEnvelopeTextFitsAt65533BytesAndFailsAt65534) {
    for (auto which : {long_text::sender, long_text::recipient, long_text::client_ip,
                       long_text::helo, long_text::queue_id}) {
        SCOPED_TRACE(static_cast<int>(which));
        EXPECT_NO_THROW(build(with_long_text(which, 65533)));
        EXPECT_THROW(build(with_long_text(which, 65534)), std::length_error);
    }
}

TEST(ScanRequestLimit, BlanksCountTowardsTheLimitBeforeTheyAreRemoved) {
    envelope data;
    data.helo = std::string(65533, 'a') + " ";
    EXPECT_THROW(build(data), std::length_error);
}

using scan_request_limit = scan_test;

TEST_F(scan_request_limit, ValueOf65533BytesIsSentInFull) {
    fake_rspamd rspamd;
    const Config config = tcp_config("127.0.0.1", rspamd.port());
    expect_one_late_call(scan(config, with_long_text(long_text::helo, 65533)));
    const auto requests = rspamd.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].values("Helo"), std::vector<std::string>{std::string(65533, 'a')});
}

TEST_F(scan_request_limit, TooLongTextOverTcpFailsTheScanWithoutSendingIt) {
    fake_rspamd rspamd;
    const Config config = tcp_config("127.0.0.1", rspamd.port());
    const auto outcome = scan(config, with_long_text(long_text::recipient, 65534));
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply, "");
    EXPECT_EQ(error_lines(),
              std::vector<std::string>{
                  "[error] Rspamd client (TCP) request failed: field value too large"});
    EXPECT_TRUE(rspamd.requests().empty());
}

TEST_F(scan_request_limit, TooLongTextOverUnixFailsTheScanWithoutSendingIt) {
    test_support::temp_dir dir;
    fake_rspamd rspamd(rspamd_listen{"", dir.file("rspamd.sock")});
    const Config config = unix_config(rspamd.unix_path());
    const auto outcome = scan(config, with_long_text(long_text::sender, 70000));
    expect_one_late_call(outcome);
    EXPECT_EQ(outcome.reply, "");
    EXPECT_EQ(error_lines(),
              std::vector<std::string>{
                  "[error] Rspamd client (Unix) request failed: field value too large"});
    EXPECT_TRUE(rspamd.requests().empty());
}

} // namespace
} // namespace scan_testing
