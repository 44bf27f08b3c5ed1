// The verdict decision from a parsed scanner reply and the reject action, without sockets.
#include <ostream>
#include <random>
#include <string>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/json_parser/error.hpp>
#include <gtest/gtest.h>

#include "lmtp_server/fast_reply_reader.hpp"
#include "lmtp_server/reply_reader.hpp"
#include "lmtp_server/verdict.hpp"
#include "support/scan_reply_oracle.hpp"

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
    const char* subject = "";
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
    {"RewriteSubjectForwardedWithEdits", R"({"action":"rewrite subject","milter":{}})", "reject",
     verdict_kind::forward, scanned_reply, false, true},
    {"RewriteSubjectTakesSubject", R"({"action":"rewrite subject","subject":"*** SPAM *** Hi"})",
     "reject", verdict_kind::forward, scanned_reply, false, true, "*** SPAM *** Hi"},
    {"RewriteSubjectEmptySubjectLeavesIt", R"({"action":"rewrite subject","subject":""})", "reject",
     verdict_kind::forward, scanned_reply, false, true, ""},
    {"RewriteSubjectObjectSubjectIgnored", R"({"action":"rewrite subject","subject":{"text":"x"}})",
     "reject", verdict_kind::forward, scanned_reply, false, true, ""},
    {"SubjectIgnoredForAddHeader", R"({"action":"add header","subject":"x"})", "reject",
     verdict_kind::forward, scanned_reply, false, true, ""},
    {"RewriteSubjectInOtherCaseIsUnknown", R"({"action":"Rewrite Subject","subject":"x"})",
     "reject", verdict_kind::forward, scanned_reply, false, false, ""},
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
    EXPECT_EQ(decision.subject, c.subject);
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

// A reader of the reply: each of the paths that parse_scan_reply may take.
struct reader_case {
    const char* name;
    scan_reply_oracle::reader read;
};

// Names the case in test listings.
void PrintTo(const reader_case& c, std::ostream* out) {
    *out << c.name;
}

const reader_case reader_cases[] = {
    {"ReadJsonPath", read_reply_with_read_json},
#ifdef QUILLGATE_FAST_REPLY_READER
    {"FastPath", read_reply_fast},
#endif
};

// Every reader accepts exactly what read_json accepts, fails with the same text, keeps of the
// tree exactly what the verdict reads, and refuses a reply nested deeper than the bound.
class ReadScanReply : public testing::TestWithParam<reader_case> {
  protected:
    void expect_same_reading(const std::string& text) {
        EXPECT_EQ(scan_reply_oracle::difference(text, GetParam().read), "") << text;
    }
};

INSTANTIATE_TEST_SUITE_P(Readers, ReadScanReply, testing::ValuesIn(reader_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every path reads `text` as the reference does; the reference is worked out once for all.
void expect_every_path_reads_alike(const std::string& text) {
    const auto want = scan_reply_oracle::read_with_read_json(text);
    for (const auto& reader : reader_cases) {
        EXPECT_EQ(scan_reply_oracle::compare(scan_reply_oracle::read_with(reader.read, text), want),
                  "")
            << reader.name << ": " << text;
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
    R"("remove_headers":{"X-Spam":0,"X-Old":-1}},"subject":"*** SPAM *** Hi","action":"reject"})";

TEST_P(ReadScanReply, KeepsWhatTheVerdictReadsAsReadJsonHasIt) {
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
        R"({"subject":{"a":[1]},"subject":"s","action":"rewrite subject"})",
        R"({"milter":{"add_headers":{"D":[{"value":"1","order":1},"x"],"S":"v"}}})",
    };
    for (const char* text : texts)
        expect_same_reading(text);
    expect_same_reading(rspamd_reply);
}

TEST(ReadScanReplyPaths, FailLikeReadJsonOnEveryCutOfAReply) {
    for (std::size_t length = 0; length <= rspamd_reply.size(); ++length) {
        expect_every_path_reads_alike(rspamd_reply.substr(0, length));
    }
    for (const char* text :
         {"", " ", "{", "}", R"({"action"})", R"({"a":1,})", "[1,]", R"({"a":"\x"})", R"("\ud800")",
          "{} {}", "01", "\"a\nb\"", "tru", R"({"a":nul})"}) {
        expect_every_path_reads_alike(text);
    }
}

TEST(ReadScanReplyPaths, AgreeWithReadJsonOnMutatedReplies) {
    std::mt19937 random(20261210);
    const std::string alphabet = R"({}[]":,\ 0123456789.eE-+ntrufalsQUARANTINEDmilterciobj)"
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
        expect_every_path_reads_alike(text);
    }
}

// parse_scan_reply takes the fast path where it is built, and read_json's elsewhere.
TEST(ParseScanReply, TakesThePathOfThisBuild) {
#ifdef QUILLGATE_FAST_REPLY_READER
    const scan_reply_oracle::reader path = read_reply_fast;
#else
    const scan_reply_oracle::reader path = read_reply_with_read_json;
#endif
    for (const std::string& text : {rspamd_reply, rspamd_reply.substr(0, 100),
                                    R"({"action":"x","y":)" + std::string(70, '[')}) {
        const auto got = scan_reply_oracle::read_with(parse_scan_reply, text);
        const auto want = scan_reply_oracle::read_with(path, text);
        EXPECT_EQ(got.tree, want.tree);
        EXPECT_EQ(got.error, want.error);
    }
    EXPECT_EQ(scan_reply_oracle::difference(rspamd_reply), "");
}

// `depth` arrays opened and closed around a value, as the member "x" of a reply.
std::string nested(std::size_t depth, const std::string& inside = "1") {
    return R"({"action":"no action","x":)" + std::string(depth - 1, '[') + inside +
           std::string(depth - 1, ']') + "}";
}

TEST_P(ReadScanReply, RefusesNestingDeeperThanTheBound) {
    const std::string too_deep = "<unspecified file>(1): reply nested deeper than 64 levels";
    struct {
        std::string text;
        std::string error; // empty: read
    } const cases[] = {
        {nested(64), ""},
        {nested(65), too_deep},
        {nested(60000), too_deep},
        {nested(64, "{}"), too_deep},
        {nested(63, R"({"a":"[[[[{{{{"})"), ""},
        {R"({"s":"\"[[)" + std::string(100, '[') + R"(","action":"x"})", ""},
        {"{\n\n" + std::string(70, '{'),
         "<unspecified file>(3): reply nested deeper than 64 levels"},
        {R"({"action" 1,"x":)" + std::string(100, '['), too_deep},
        {R"({"action" 1,"x":)" + std::string(10, '['), "<unspecified file>(1): expected ':'"},
        {std::string(100, ']') + std::string(100, '['), "<unspecified file>(1): expected value"},
    };
    for (const auto& c : cases) {
        const auto got = scan_reply_oracle::read_with(GetParam().read, c.text);
        EXPECT_EQ(got.error, c.error) << c.text.substr(0, 80);
        EXPECT_EQ(got.tree.has_value(), c.error.empty()) << c.text.substr(0, 80);
        expect_same_reading(c.text);
    }
}

} // namespace
