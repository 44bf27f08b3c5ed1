// The verdict decision from a parsed scanner reply and the reject action, without sockets.
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/json_parser.hpp>
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

// What parse_scan_reply must give, from the full tree read_json builds: "action" and "milter"
// whole, the names of "symbols" with empty values, the root's own text; nothing else.
boost::property_tree::ptree verdict_part(const boost::property_tree::ptree& full) {
    boost::property_tree::ptree part;
    part.data() = full.data();
    for (const auto& [name, value] : full) {
        if (name == "action" || name == "milter") part.push_back({name, value});
        if (name != "symbols") continue;
        boost::property_tree::ptree names;
        names.data() = value.data();
        for (const auto& member : value)
            names.push_back({member.first, {}});
        part.push_back({name, names});
    }
    return part;
}

// The outcome of reading a text: the tree, or the parser's error text.
struct read_outcome {
    std::optional<boost::property_tree::ptree> tree;
    std::string error;
};

read_outcome read_with_parse_scan_reply(const std::string& text) {
    try {
        return {parse_scan_reply(text), {}};
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
}

read_outcome read_with_read_json(const std::string& text) {
    std::istringstream in(text);
    boost::property_tree::ptree full;
    try {
        boost::property_tree::read_json(in, full);
    } catch (const boost::property_tree::json_parser_error& e) {
        return {std::nullopt, e.what()};
    }
    return {verdict_part(full), {}};
}

// parse_scan_reply accepts exactly what read_json accepts, fails with the same text, and keeps
// of the tree exactly what the verdict reads.
void expect_same_reading(const std::string& text) {
    SCOPED_TRACE(text);
    const read_outcome got = read_with_parse_scan_reply(text);
    const read_outcome want = read_with_read_json(text);
    ASSERT_EQ(got.tree.has_value(), want.tree.has_value()) << got.error << " | " << want.error;
    if (want.tree) {
        EXPECT_TRUE(*got.tree == *want.tree);
    } else {
        EXPECT_EQ(got.error, want.error);
    }
}

// A reply as Rspamd sends it: symbols with options, thresholds, urls, and a milter block.
const std::string rspamd_reply =
    R"({"is_skipped":false,"score":7.5,"required_score":15.0,"action":"add header",)"
    R"("thresholds":{"reject":15.0,"add header":6.0,"greylist":4.0},)"
    R"("symbols":{"MIME_GOOD":{"name":"MIME_GOOD","score":-0.1,"metric_score":-0.1,)"
    R"("options":["text/plain"]},"QUARANTINED":{"name":"QUARANTINED","score":0,)"
    R"("options":["a","b\u00e9\n"]},"R_SPF_NA":{"name":"R_SPF_NA","score":0.0}},)"
    R"("messages":{"smtp_message":"x"},"urls":["example.org"],"emails":[],)"
    R"("message-id":"<id@example.org>","time_real":1.2e-3,"milter":{"add_headers":)"
    R"({"X-Spam":{"value":"Yes","order":0},"X-Spamd-Result":[{"value":"a\tb","order":1}]},)"
    R"("remove_headers":{"X-Spam":0,"X-Old":-1}},"action":"reject"})";

TEST(ParseScanReply, KeepsWhatTheVerdictReadsAsReadJsonHasIt) {
    const char* const texts[] = {
        R"({})",
        R"([])",
        R"("text")",
        R"(12.5e3)",
        R"(null)",
        R"(true)",
        R"([{"action":"x"}])",
        R"({"action":"no action"})",
        R"({"action":{"a":[1,{"b":null}]},"milter":[1,"2",false]})",
        R"({"action":null})",
        R"({"action":-0.5E+2})",
        R"({"action":[]})",
        R"({"symbols":[{"QUARANTINED":1},"QUARANTINED"],"action":"reject"})",
        R"({"symbols":"QUARANTINED","action":"reject"})",
        R"({"symbols":{"QUARANTINED":{"deep":{"deeper":[1,2]}},"A":1,"QUARANTINED":2}})",
        R"({"score":{"action":"reject","milter":{}},"action":"no action"})",
        R"({"":"x","action":"","milter":{"":{"":""}}})",
        R"({"act\u0069on":"re\u006aect","milter":{"add_headers":{"\u00e9":{"value":"\ud83d\ude00"}}}})",
        R"(  {"action" : "greylist" , "milter" : { "remove_headers" : { "X" : 1 } } }  )",
    };
    for (const char* text : texts)
        expect_same_reading(text);
    expect_same_reading(rspamd_reply);
}

TEST(ParseScanReply, FailsLikeReadJsonOnEveryCutOfAReply) {
    for (std::size_t length = 0; length <= rspamd_reply.size(); ++length) {
        expect_same_reading(rspamd_reply.substr(0, length));
    }
    for (const char* text :
         {"", " ", "{", "}", R"({"action"})", R"({"a":1,})", "[1,]", R"({"a":"\x"})", R"("\ud800")",
          "{} {}", "01", "\"a\nb\"", "tru", R"({"a":nul})"}) {
        expect_same_reading(text);
    }
}

TEST(ParseScanReply, AgreesWithReadJsonOnMutatedReplies) {
    std::mt19937 random(20261210);
    const std::string alphabet = R"({}[]":,\ 0123456789.eE-+ntrufalsQUARANTINEDmiltercio)"
                                 "\x80\xff";
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        std::string text = rspamd_reply;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < edits && !text.empty(); ++i) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0:
                text[at] = alphabet[random() % alphabet.size()];
                break;
            case 1:
                text.erase(at, 1 + random() % 8);
                break;
            default:
                text.insert(at, 1, alphabet[random() % alphabet.size()]);
                break;
            }
        }
        expect_same_reading(text);
    }
}

} // namespace
