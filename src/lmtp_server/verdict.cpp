// Parsing of the scanner's reply and the decision table of the verdict dispatch.
#include "lmtp_server/verdict.hpp"

#include <string>

#include "lmtp_server/fast_reply_reader.hpp"
#include "lmtp_server/reply_reader.hpp"

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
           action == "soft reject" || action == "rewrite subject";
}

// The reply's new subject: the text of a top-level "subject" without members; empty otherwise.
std::string new_subject(const boost::property_tree::ptree& reply) {
    const auto subject = reply.get_child_optional("subject");
    return subject && subject->empty() ? subject->data() : std::string();
}

} // namespace

boost::property_tree::ptree parse_scan_reply(const std::string& text) {
#ifdef QUILLGATE_FAST_REPLY_READER
    return read_reply_fast(text);
#else
    return read_reply_with_read_json(text);
#endif
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
    verdict decision{verdict_kind::forward, scanned_reply, false, forwards_with_edits(action)};
    if (action == "rewrite subject") decision.subject = new_subject(reply);
    return decision;
}
