// The decision taken on a message from the scanner's JSON reply, and the reply lines of the
// verdict dispatch.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

// Reply lines that end a transaction after its data.
inline constexpr const char* scan_failed_reply =
    "451 Temporary local problem - could not connect to Rspamd";
inline constexpr const char* unparsable_reply =
    "451 Temporary local problem - could not parse Rspamd response";
inline constexpr const char* quarantined_reply = "250 OK: Message quarantined";
inline constexpr const char* rejected_reply = "554 5.7.1 Message rejected due to content policies";
inline constexpr const char* accepted_reply = "250 OK: Message accepted";
inline constexpr const char* rewritten_reply = "250 OK: Message accepted (recipients rewritten)";
inline constexpr const char* scanned_reply = "250 OK: Message accepted for scanning";
inline constexpr const char* forward_failed_reply =
    "451 Temporary local problem, could not forward email";

// What happens to the message.
enum class verdict_kind {
    quarantine, // discarded: "reject" with the symbol QUARANTINED
    reject,     // refused with a 554
    forward,    // re-injected into the mail server
};

// The decision for one message.
struct verdict {
    verdict_kind kind = verdict_kind::forward;
    std::string reply;         // the line to answer, or for a forward the line on success
    bool rewrite = false;      // forward to the recipients' "+spam" forms
    bool edit_headers = false; // apply the reply's milter block, when there is one
    std::string subject{};     // the new Subject of "rewrite subject"; empty: left as it is
};

// Reads the scanner's reply text as JSON, keeping what the verdict reads; throws the property
// tree's parser error, also for a reply nested deeper than reply_depth_limit.
boost::property_tree::ptree parse_scan_reply(const std::string& text);

// Decides by the reply's "action" and, for a reject, its symbols and `reject_action`, and for
// "rewrite subject" takes its "subject"; throws the property tree's bad-path error when "action"
// is missing.
verdict decide_verdict(const boost::property_tree::ptree& reply, const std::string& reject_action);
