// The comparison of the reader's reading of a text with the reference's, and the rules that
// recognise each knowing difference of the reader: a text where the reference's reading is
// plainly not what the text says, or one the reader accepts although the reference refuses it.
#pragma once

#include "reference_reading.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace ucl_test {

enum class verdict { agree, knowing, disagree, not_run };

struct comparison {
    verdict outcome = verdict::agree;
    std::string rule;        // the knowing difference, for outcome::knowing
    std::string description; // what differs, for outcome::disagree
};

// One knowing difference: its name and why the reader keeps its own reading.
struct knowing_rule {
    std::string_view name;
    std::string_view reason;
};

const std::vector<knowing_rule>& knowing_rules();

// Reads `text` with the reader (in the working directory) and compares it with `reference`.
comparison compare(const std::string& text, const reference_result& reference);

} // namespace ucl_test
