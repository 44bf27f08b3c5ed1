// The verdict decision from a parsed scanner reply and the reject action, without sockets.
#include <ostream>
#include <string>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/json_parser/error.hpp>
#include <gtest/gtest.h>

#include "lmtp_server/verdict.hpp"

namespace {

// One scanner reply, the configured reject action, and the decision expected.
struct verdict_case {
    const char* name;
    const char* reply;
    const char* reject_action;
    verdict_kind kind;
    const char* line;
    bool rewrite;
    bool edit_headers;
};

// Names the case in test listings.
void PrintTo(const verdict_case& c, std::ostream* out) {
    *out << c.name;
}

const verdict_case verdict_cases[] = {
    {"QuarantinedRejectDiscarded", R"({"action":"reject","symbols":{"QUARANTINED":{"score":1}}})",
     "accept", verdict_kind::quarantine, quarantined_reply, false, false},
    {"QuarantinedWhateverItsValue", R"({"action":"reject","symbols":{"QUARANTINED":null}})",
     "reject", verdict_kind::quarantine, quarantined_reply, false, false},
    {"RejectRefused", R"({"action":"reject","symbols":{"BAYES_SPAM":{}}})", "reject",
     verdict_kind::reject, rejected_reply, false, false},
    {"RejectWithoutSymbols", R"({"action":"reject"})", "reject", verdict_kind::reject,
     rejected_reply, false, false},
    {"RejectWithUnknownRejectAction", R"({"action":"reject"})", "bounce", verdict_kind::reject,
     rejected_reply, false, false},
    {"RejectAccepted", R"({"action":"reject"})", "accept", verdict_kind::forward, accepted_reply,
     false, true},
    {"RejectRewritten", R"({"action":"reject"})", "rewrite_recipients", verdict_kind::forward,
     rewritten_reply, true, true},
    {"NoAction", R"({"action":"no action"})", "reject", verdict_kind::forward, scanned_reply, false,
     true},
    {"AddHeader", R"({"action":"add header"})", "reject", verdict_kind::forward, scanned_reply,
     false, true},
    {"Greylist", R"({"action":"greylist"})", "reject", verdict_kind::forward, scanned_reply, false,
     true},
    {"SoftReject", R"({"action":"soft reject"})", "reject", verdict_kind::forward, scanned_reply,
     false, true},
    {"QuarantinedIgnoredWithoutReject", R"({"action":"add header","symbols":{"QUARANTINED":{}}})",
     "reject", verdict_kind::forward, scanned_reply, false, true},
    {"OtherCaseIsUnknownAction", R"({"action":"No Action"})", "reject", verdict_kind::forward,
     scanned_reply, false, false},
    {"RejectInOtherCaseForwardsUnchanged", R"({"action":"Reject"})", "reject",
     verdict_kind::forward, scanned_reply, false, false},
    {"RewriteSubjectUnchanged", R"({"action":"rewrite subject","milter":{}})", "reject",
     verdict_kind::forward, scanned_reply, false, false},
    {"EmptyAction", R"({"action":""})", "reject", verdict_kind::forward, scanned_reply, false,
     false},
    {"ObjectActionCountsAsEmpty", R"({"action":{"x":1}})", "reject", verdict_kind::forward,
     scanned_reply, false, false},
};

class DecideVerdict : public testing::TestWithParam<verdict_case> {};

TEST_P(DecideVerdict, FollowsTheDispatchTable) {
    const auto& c = GetParam();
    const verdict decision = decide_verdict(parse_scan_reply(c.reply), c.reject_action);
    EXPECT_EQ(decision.kind, c.kind);
    EXPECT_EQ(decision.reply, c.line);
    EXPECT_EQ(decision.rewrite, c.rewrite);
    EXPECT_EQ(decision.edit_headers, c.edit_headers);
}

INSTANTIATE_TEST_SUITE_P(Replies, DecideVerdict, testing::ValuesIn(verdict_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseScanReply, ThrowsForTextThatIsNotJson) {
    EXPECT_THROW(parse_scan_reply("<html><body>502 Bad Gateway</body></html>"),
                 boost::property_tree::json_parser::json_parser_error);
    EXPECT_THROW(parse_scan_reply(R"({"action":"no action")"),
                 boost::property_tree::json_parser::json_parser_error);
}

TEST(DecideVerdict, ThrowsNamingTheMissingAction) {
    const auto reply = parse_scan_reply(R"({"error":"invalid request"})");
    try {
        decide_verdict(reply, "reject");
        FAIL() << "no exception";
    } catch (const boost::property_tree::ptree_bad_path& e) {
        EXPECT_NE(std::string(e.what()).find("action"), std::string::npos) << e.what();
    }
}

} // namespace
