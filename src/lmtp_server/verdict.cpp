// Parsing of the scanner's reply and the decision table of the verdict dispatch.
#include "lmtp_server/verdict.hpp"

#include <string>

#include <boost/property_tree/json_parser.hpp>

namespace {

// The decision for a rejected message that carries no QUARANTINED symbol.
verdict decide_reject(const std::string& reject_action) {
    if (reject_action == "accept") return {verdict_kind::forward, accepted_reply, false, true};
    if (reject_action == "rewrite_recipients") {
        return {verdict_kind::forward, rewritten_reply, true, true};
    }
    return {verdict_kind::reject, rejected_reply, false, false};
}

// True for the actions that forward the message with the reply's header edits.
bool forwards_with_edits(const std::string& action) {
    return action == "no action" || action == "add header" || action == "greylist" ||
           action == "soft reject";
}

} // namespace

boost::property_tree::ptree parse_scan_reply(const std::string& text) {
    // The reader behind read_json, run over the text in place: through a string stream the same
    // parser fetches every character by a stream-buffer call, which costs several times the
    // parse itself. Same grammar, same tree, same errors (no file name).
    namespace json = boost::property_tree::json_parser::detail;
    json::standard_callbacks<boost::property_tree::ptree> callbacks;
    json::encoding<char> encoding;
    json::read_json_internal(text.data(), text.data() + text.size(), encoding, callbacks,
                             std::string());
    boost::property_tree::ptree reply;
    reply.swap(callbacks.output());
    return reply;
}

verdict decide_verdict(const boost::property_tree::ptree& reply, const std::string& reject_action) {
    const std::string action = reply.get_child("action").data();
    if (action == "reject") {
        const auto symbols = reply.get_child_optional("symbols");
        if (symbols && symbols->count("QUARANTINED") > 0) {
            return {verdict_kind::quarantine, quarantined_reply, false, false};
        }
        return decide_reject(reject_action);
    }
    return {verdict_kind::forward, scanned_reply, false, forwards_with_edits(action)};
}
