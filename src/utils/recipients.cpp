// Rewriting of envelope recipients to their "+spam" form, with ASCII-only trimming.
#include "utils/recipients.hpp"

#include "utils/ascii_text.hpp"

namespace {

// `text` without leading and trailing ASCII whitespace.
std::string trim_ascii(const std::string& text) {
    return std::string(trim_ascii_space(text));
}

// True for a local part written as a quoted string: it ends with the closing quote of one.
bool is_quoted(const std::string& local) {
    return local.size() >= 2 && local.back() == '"' && local.find('"') < local.size() - 1;
}

// Puts "+spam" in front of the "@" that opens the domain, the last one, unless the local part
// before it already holds the tag. With further "@" in front (a quoted local part such as
// "john@home", a source route such as @relay:u) a quoted local part gets the tag inside its
// closing quote, so that the mailbox stays the same one; an address with a single "@" gets it
// right before that "@", as ever.
std::string add_spam_tag(const std::string& address) {
    const auto at = address.rfind('@');
    const auto local = address.substr(0, at);
    if (local.find("+spam") != std::string::npos) return address;
    const bool several = address.find('@') != at;
    const auto tag_at = several && is_quoted(local) ? at - 1 : at;
    return address.substr(0, tag_at) + "+spam" + address.substr(tag_at);
}

// One recipient in its "+spam" form.
std::string rewrite_recipient(const std::string& recipient) {
    const auto trimmed = trim_ascii(recipient);
    if (trimmed.size() >= 2 && trimmed.front() == '<' && trimmed.back() == '>') {
        auto inner = trimmed.substr(1, trimmed.size() - 2);
        if (inner.find('@') != std::string::npos) inner = add_spam_tag(inner);
        return "<" + trim_ascii(inner) + ">";
    }
    if (trimmed.find('@') != std::string::npos) return add_spam_tag(trimmed);
    return trimmed;
}

} // namespace

void rewrite_recipients(std::vector<std::string>& recipients) {
    for (auto& recipient : recipients)
        recipient = rewrite_recipient(recipient);
}
