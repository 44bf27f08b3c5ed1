// Rewriting of envelope recipients to their "+spam" form, with ASCII-only trimming.
#include "utils/recipients.hpp"

#include "utils/ascii_text.hpp"

namespace {

// `text` without leading and trailing ASCII whitespace.
std::string trim_ascii(const std::string& text) {
    return std::string(trim_ascii_space(text));
}

// Appends "+spam" to the local part before the first "@" unless that part already holds it.
std::string add_spam_tag(const std::string& address) {
    const auto at = address.find('@');
    const auto local = address.substr(0, at);
    if (local.find("+spam") != std::string::npos) return address;
    return local + "+spam" + address.substr(at);
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
