// Tests of the milter block's header edits: removals, additions at their orders, folding,
// malformed entries that leave the message unchanged, and a body that never changes.
#include "utils/milter_headers.hpp"

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using boost::property_tree::ptree;

// The milter block parsed from its JSON text, as the verdict dispatch hands it over.
ptree milter_block(const std::string& json) {
    std::istringstream in(json);
    ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

// One message, a milter block, and the header block it must give.
struct edit_case {
    const char* name;
    std::string message;
    std::string milter;
    std::string headers;
};

const std::string crlf_mail = "A: 1\r\nB: 2\r\n  more of B\r\nC: 3\r\n\r\nbody\r\n";
const std::string lf_mail = "A: 1\nB: 2\n\tmore of B\nC: 3\n\nbody\n";
const std::string long_value = "one two three four five six seven eight nine ten eleven twelve "
                               "thirteen";

// The first header of a message that Postfix hands over: its own Received header, folded.
const std::string received_header =
    "Received: from client.example (client.example [192.0.2.1])\r\n"
    "\tby mx.example.test (Postfix) with ESMTP id 0CA64A860AE\r\n"
    "\tfor <b@example.net>; Thu, 10 Dec 2026 16:20:25 +0000 (UTC)\r\n";
const std::string postfix_mail = received_header + "From: a@example.org\r\n\r\nbody\r\n";
const std::string authentication_results =
    R"({"add_headers": {"Authentication-Results": {"value": "mx.example.test; none", )"
    R"("order": 1}}})";

const std::vector<edit_case> edit_cases = {
    {"empty_block_unchanged", crlf_mail, "{}", "A: 1\r\nB: 2\r\n  more of B\r\nC: 3\r\n\r\n"},
    {"other_keys_unchanged", lf_mail, R"({"x": 1})", "A: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"unchanged_without_final_line_feed", "A: 1\nB: 2", R"({"x": 1})", "A: 1\nB: 2"},
    {"empty_remove_object", lf_mail, R"({"remove_headers": {}})",
     "A: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"remove_with_continuation_crlf", crlf_mail, R"({"remove_headers": {"b": 0}})",
     "A: 1\r\nC: 3\r\n\r\n"},
    {"remove_with_continuation_lf", lf_mail, R"({"remove_headers": {"B": null}})",
     "A: 1\nC: 3\n\n"},
    {"remove_every_occurrence", "X: 1\nx: 2\nA: 3\nX: 4\n\nb\n", R"({"remove_headers": {"X": 1}})",
     "A: 3\n\n"},
    {"remove_last_keeps_blank_line_crlf", crlf_mail, R"({"remove_headers": {"C": 1}})",
     "A: 1\r\nB: 2\r\n  more of B\r\n\r\n"},
    {"remove_last_keeps_blank_line_lf", lf_mail, R"({"remove_headers": {"C": 1}})",
     "A: 1\nB: 2\n\tmore of B\n\n"},
    {"remove_all_keeps_blank_line", "A: 1\r\n\r\n", R"({"remove_headers": {"A": 1}})", "\r\n"},
    {"name_with_blank_before_colon_kept", "A : 1\nB: 2\n\n", R"({"remove_headers": {"A": 1}})",
     "A : 1\nB: 2\n\n"},
    {"name_compared_over_whole_length", "AB: 1\nA: 2\n\n", R"({"remove_headers": {"A": 1}})",
     "AB: 1\n\n"},
    {"line_without_colon_stays", "A: 1\nno colon\n\n", R"({"remove_headers": {"no colon": 1}})",
     "A: 1\nno colon\n\n"},
    {"add_order_zero_first", lf_mail, R"({"add_headers": {"N": {"value": "v", "order": 0}}})",
     "N: v\nA: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"add_negative_order_first", lf_mail, R"({"add_headers": {"N": {"value": "v", "order": -5}}})",
     "N: v\nA: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"add_order_counts_physical_lines", lf_mail,
     R"({"add_headers": {"N": {"value": "v", "order": 3}}})",
     "A: 1\nB: 2\n\tmore of B\nN: v\nC: 3\n\n"},
    {"add_order_at_line_count_before_blank", crlf_mail,
     R"({"add_headers": {"N": {"value": "v", "order": 4}}})",
     "A: 1\r\nB: 2\r\n  more of B\r\nC: 3\r\nN: v\r\n\r\n"},
    {"add_large_order_before_blank", lf_mail,
     R"({"add_headers": {"N": {"value": "v", "order": 99}, "M": {"value": "w", "order": 98}}})",
     "A: 1\nB: 2\n\tmore of B\nC: 3\nM: w\nN: v\n\n"},
    {"same_small_order_reverse_document_order", lf_mail,
     R"({"add_headers": {"N": {"value": "1", "order": 1}, "M": {"value": "2", "order": 1}}})",
     "A: 1\nM: 2\nN: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"orders_ascending_each_in_current_list", "A: 1\nB: 2\n\n",
     R"({"add_headers": {"N": {"value": "n", "order": 2}, "M": {"value": "m", "order": 0}}})",
     "M: m\nA: 1\nN: n\nB: 2\n\n"},
    {"order_counts_after_removal", lf_mail,
     R"({"remove_headers": {"A": 1}, "add_headers": {"N": {"value": "v", "order": 0}}})",
     "N: v\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"order_with_blanks_and_as_string", "A: 1\n\n",
     R"({"add_headers": {"N": {"value": "v", "order": " 1 "}, "M": {"value": "w", "order": "0"}}})",
     "M: w\nN: v\nA: 1\n\n"},
    {"empty_value", "A: 1\r\n\r\n", R"({"add_headers": {"N": {"value": "", "order": 9}}})",
     "A: 1\r\nN: \r\n\r\n"},
    {"folded_crlf", "A: 1\r\n\r\n",
     R"({"add_headers": {"X-Long": {"value": ")" + long_value + R"(", "order": 1}}})",
     "A: 1\r\nX-Long: one two three four five six seven eight nine ten eleven\r\n\ttwelve "
     "thirteen\r\n\r\n"},
    {"folded_lf", "A: 1\n\n",
     R"({"add_headers": {"X-Long": {"value": ")" + long_value + R"(", "order": 1}}})",
     "A: 1\nX-Long: one two three four five six seven eight nine ten eleven\n\ttwelve "
     "thirteen\n\n"},
    {"prefolded_value_kept_lf", "A: 1\n\n",
     R"({"add_headers": {"N": {"value": "a;\n\tb", "order": 1}}})", "A: 1\nN: a;\n\tb\n\n"},
    {"prefolded_value_kept_crlf", "A: 1\r\n\r\n",
     R"({"add_headers": {"N": {"value": "a;\r\n b", "order": 1}}})", "A: 1\r\nN: a;\r\n b\r\n\r\n"},
    {"no_blank_line_lf_order_past_end", "A: 1\nB: 2\n",
     R"({"add_headers": {"N": {"value": "v", "order": 7}}})", "A: 1\nB: 2\nN: v\n"},
    {"no_blank_line_without_final_line_feed", "A: 1\r\nB: 2",
     R"({"add_headers": {"N": {"value": "v", "order": 2}, "M": {"value": "w", "order": 2}}})",
     "A: 1\r\nB: 2\r\nM: w\r\nN: v\r\n"},
    {"no_blank_line_inside", "A: 1\nB: 2", R"({"add_headers": {"N": {"value": "v", "order": 1}}})",
     "A: 1\nN: v\nB: 2"},
    {"empty_header_block", "", R"({"add_headers": {"N": {"value": "v", "order": 3}}})", "N: v\r\n"},
    {"order_on_folded_received_goes_after_it", postfix_mail, authentication_results,
     received_header + "Authentication-Results: mx.example.test; none\r\nFrom: a@example.org\r\n"
                       "\r\n"},
    {"order_on_last_continuation_line", postfix_mail,
     R"({"add_headers": {"N": {"value": "v", "order": 2}}})",
     received_header + "N: v\r\nFrom: a@example.org\r\n\r\n"},
    {"order_on_continuation_lf", lf_mail, R"({"add_headers": {"N": {"value": "v", "order": 2}}})",
     "A: 1\nB: 2\n\tmore of B\nN: v\nC: 3\n\n"},
    {"order_on_continuation_before_blank_line", "A: 1\nB: 2\n more\n\tstill more\n\nbody\n",
     R"({"add_headers": {"N": {"value": "v", "order": 2}}})",
     "A: 1\nB: 2\n more\n\tstill more\nN: v\n\n"},
    {"same_order_on_continuation_reverse_document_order", lf_mail,
     R"({"add_headers": {"N": {"value": "1", "order": 2}, "M": {"value": "2", "order": 2}}})",
     "A: 1\nB: 2\n\tmore of B\nM: 2\nN: 1\nC: 3\n\n"},
    {"order_on_continuation_after_removal", lf_mail,
     R"({"remove_headers": {"A": 1}, "add_headers": {"N": {"value": "v", "order": 1}}})",
     "B: 2\n\tmore of B\nN: v\nC: 3\n\n"},
    {"folded_added_header_is_one_line_for_later_orders", "A: 1\nB: 2\n\n",
     R"({"add_headers": {"X-Long": {"value": ")" + long_value +
         R"(", "order": 0}, "N": {"value": "v", "order": 1}}})",
     "X-Long: one two three four five six seven eight nine ten eleven\n\ttwelve "
     "thirteen\nN: v\nA: 1\nB: 2\n\n"},
    {"array_adds_one_header_per_element", lf_mail,
     R"({"add_headers": {"DKIM-Signature": [{"value": "a", "order": 1}, )"
     R"({"value": "b", "order": 2}]}})",
     "A: 1\nDKIM-Signature: a\nDKIM-Signature: b\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"array_elements_same_order_as_entries_of_one_name", lf_mail,
     R"({"add_headers": {"D": [{"value": "1", "order": 1}, {"value": "2", "order": 1}]}})",
     "A: 1\nD: 2\nD: 1\nB: 2\n\tmore of B\nC: 3\n\n"},
    {"array_sorted_with_other_entries", "A: 1\nB: 2\n\n",
     R"({"add_headers": {"N": {"value": "n", "order": 1}, )"
     R"("D": [{"value": "late", "order": 9}, {"value": "early", "order": 0}]}})",
     "D: early\nN: n\nA: 1\nB: 2\nD: late\n\n"},
    {"array_elements_folded_crlf", "A: 1\r\n\r\n",
     R"({"add_headers": {"X-Long": [{"value": ")" + long_value + R"(", "order": 1}]}})",
     "A: 1\r\nX-Long: one two three four five six seven eight nine ten eleven\r\n\ttwelve "
     "thirteen\r\n\r\n"},
    {"string_entry_at_top", crlf_mail, R"({"add_headers": {"X-Spam": "Yes"}})",
     "X-Spam: Yes\r\nA: 1\r\nB: 2\r\n  more of B\r\nC: 3\r\n\r\n"},
    {"string_entry_sorted_before_order_zero", "A: 1\n\n",
     R"({"add_headers": {"N": {"value": "n", "order": 0}, "S": "s"}})", "N: n\nS: s\nA: 1\n\n"},
    {"string_entry_folded_lf", "A: 1\n\n",
     R"({"add_headers": {"X-Long": ")" + long_value + R"("}})",
     "X-Long: one two three four five six seven eight nine ten eleven\n\ttwelve "
     "thirteen\nA: 1\n\n"},
    {"number_entry_as_its_text", "A: 1\n\n", R"({"add_headers": {"X-Score": 7.5}})",
     "X-Score: 7.5\nA: 1\n\n"},
    {"no_blank_line_continuation_at_end", "A: 1\r\n more",
     R"({"add_headers": {"N": {"value": "v", "order": 1}}})", "A: 1\r\n more\r\nN: v\r\n"},
};

class milter_edit : public testing::TestWithParam<edit_case> {};

TEST_P(milter_edit, gives_exact_header_block) {
    const auto& c = GetParam();
    MailData mail = MailData::from_raw(std::string(c.message));
    const std::string body(mail.body);
    apply_milter_headers(mail, milter_block(c.milter));
    EXPECT_EQ(mail.headers, c.headers);
    EXPECT_EQ(mail.body, body);
    EXPECT_EQ(mail.to_string(), c.headers + body);
}

INSTANTIATE_TEST_SUITE_P(cases, milter_edit, testing::ValuesIn(edit_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// One malformed milter block and the text of the error it must raise.
struct fault_case {
    const char* name;
    std::string milter;
    std::string what;
};

// Valid removals and a valid first entry come before each fault, to show they are discarded.
const std::string valid_start = R"({"remove_headers": {"A": 1}, "add_headers": {"Ok": {"value": )"
                                R"("v", "order": 0}, )";

const std::vector<fault_case> fault_cases = {
    {"missing_value", valid_start + R"("N": {"order": 1}}})", "No such node (value)"},
    {"missing_both_reports_value", valid_start + R"("N": {}}})", "No such node (value)"},
    {"missing_order", valid_start + R"("N": {"value": "v"}}})", "No such node (order)"},
    {"fraction_order", valid_start + R"("N": {"value": "v", "order": 1.5}}})",
     "conversion of data to type \"int\" failed"},
    {"word_order", valid_start + R"("N": {"value": "v", "order": "one"}}})",
     "conversion of data to type \"int\" failed"},
    {"boolean_order", valid_start + R"("N": {"value": "v", "order": true}}})",
     "conversion of data to type \"int\" failed"},
    {"order_past_32_bits", valid_start + R"("N": {"value": "v", "order": 2147483648}}})",
     "conversion of data to type \"int\" failed"},
    {"array_element_without_value",
     valid_start + R"("N": [{"value": "v", "order": 1}, {"order": 2}]}})", "No such node (value)"},
    {"array_element_without_order", valid_start + R"("N": [{"value": "v"}]}})",
     "No such node (order)"},
    {"array_element_string", valid_start + R"("N": ["v"]}})", "No such node (value)"},
    {"array_element_bad_order", valid_start + R"("N": [{"value": "v", "order": "x"}]}})",
     "conversion of data to type \"int\" failed"},
    {"empty_array_like_empty_object", valid_start + R"("N": []}})", "No such node (value)"},
    {"empty_string_like_empty_object", valid_start + R"("N": ""}})", "No such node (value)"},
    {"string_entry_bad_name", valid_start + R"("X Y": "v"}})",
     "Invalid header name in add_headers: \"X Y\""},
    {"array_bad_name", valid_start + R"("X Y": [{"value": "v", "order": 1}]}})",
     "Invalid header name in add_headers: \"X Y\""},
    {"string_entry_breaks_block", valid_start + R"("N": "a\n \nBcc: x"}})",
     "Header value in add_headers breaks the header block: \"N\""},
    {"empty_name", valid_start + R"("": {"value": "v", "order": 1}}})",
     "Invalid header name in add_headers: \"\""},
    {"name_with_line_break", valid_start + R"("X\r\nBcc: a@b": {"value": "v", "order": 1}}})",
     "Invalid header name in add_headers: \"X\\x0d\\x0aBcc: a@b\""},
    {"name_with_colon", valid_start + R"("X:Y": {"value": "v", "order": 1}}})",
     "Invalid header name in add_headers: \"X:Y\""},
    {"name_with_space", valid_start + R"("X Y": {"value": "v", "order": 1}}})",
     "Invalid header name in add_headers: \"X Y\""},
    {"name_with_byte_above_126", valid_start + "\"X\xc3\xa9\": {\"value\": \"v\", \"order\": 1}}}",
     "Invalid header name in add_headers: \"X\\xc3\\xa9\""},
    {"value_with_line_after_kept_fold",
     valid_start + R"("N": {"value": "a\n \nBcc: x", "order": 1}}})",
     "Header value in add_headers breaks the header block: \"N\""},
    {"value_with_line_break_in_quotes",
     valid_start + R"("N": {"value": "\"a\nBcc: x\"", "order": 1}}})",
     "Header value in add_headers breaks the header block: \"N\""},
    {"value_with_blank_line_in_quotes", valid_start + R"("N": {"value": "\"a\n", "order": 1}}})",
     "Header value in add_headers breaks the header block: \"N\""},
};

class milter_fault : public testing::TestWithParam<fault_case> {};

TEST_P(milter_fault, throws_and_leaves_message_unchanged) {
    const auto& c = GetParam();
    const std::string text = "A: 1\r\nB: 2\r\n\r\nbody\r\n";
    MailData mail = MailData::from_raw(std::string(text));
    const auto milter = milter_block(c.milter);
    try {
        apply_milter_headers(mail, milter);
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), c.what);
    }
    EXPECT_EQ(mail.headers, "A: 1\r\nB: 2\r\n\r\n");
    EXPECT_EQ(mail.body, "body\r\n");
    EXPECT_EQ(mail.raw, text);
    EXPECT_EQ(mail.newline_type, 1);
}

INSTANTIATE_TEST_SUITE_P(cases, milter_fault, testing::ValuesIn(fault_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(milter_fault_kinds, property_tree_errors_keep_their_types) {
    MailData mail = MailData::from_raw(std::string("A: 1\n\n"));
    EXPECT_THROW(apply_milter_headers(mail, milter_block(R"({"add_headers": {"N": {}}})")),
                 boost::property_tree::ptree_bad_path);
    EXPECT_THROW(apply_milter_headers(
                     mail, milter_block(R"({"add_headers": {"N": {"value": "", "order": "x"}}})")),
                 boost::property_tree::ptree_bad_data);
    EXPECT_THROW(apply_milter_headers(
                     mail, milter_block(R"({"add_headers": {":": {"value": "", "order": 0}}})")),
                 std::runtime_error);
}

// One message, a new subject, and the header block it must give.
struct subject_case {
    const char* name;
    std::string message;
    std::string subject;
    std::string headers;
};

const std::vector<subject_case> subject_cases = {
    {"replaced_in_place_with_continuation_crlf",
     "A: 1\r\nSubject: old\r\n  more of it\r\nB: 2\r\n\r\nbody\r\n", "*** SPAM *** old",
     "A: 1\r\nSubject: *** SPAM *** old\r\nB: 2\r\n\r\n"},
    {"replaced_in_place_lf", "A: 1\nSubject: old\n\tmore\nB: 2\n\nbody\n", "new",
     "A: 1\nSubject: new\nB: 2\n\n"},
    {"last_before_blank_line_keeps_it_crlf", "Subject: old\r\n more\r\n\r\nbody", "new",
     "Subject: new\r\n\r\n"},
    {"other_subjects_removed_any_case",
     "subject: a\nX: 1\nSUBJECT: b\n\tmore\nY: 2\nSubject: c\n\n", "new",
     "Subject: new\nX: 1\nY: 2\n\n"},
    {"none_gets_one_on_top", "A: 1\r\nB: 2\r\n\r\nbody\r\n", "new",
     "Subject: new\r\nA: 1\r\nB: 2\r\n\r\n"},
    {"name_with_blank_before_colon_is_another", "Subject : x\nA: 1\n\n", "new",
     "Subject: new\nSubject : x\nA: 1\n\n"},
    {"longer_name_is_another", "Subjects: x\nA: 1\n\n", "new",
     "Subject: new\nSubjects: x\nA: 1\n\n"},
    {"subject_in_body_untouched", "A: 1\n\nSubject: body\n", "new", "Subject: new\nA: 1\n\n"},
    {"empty_header_block", "", "new", "Subject: new\r\n"},
    {"folded_crlf", "Subject: old\r\n\r\n", long_value,
     "Subject: one two three four five six seven eight nine ten eleven\r\n\ttwelve "
     "thirteen\r\n\r\n"},
    {"bare_line_break_becomes_fold_lf", "Subject: old\n\n", "a\nBcc: x",
     "Subject: a\n\tBcc: x\n\n"},
};

class subject_edit : public testing::TestWithParam<subject_case> {};

TEST_P(subject_edit, gives_exact_header_block) {
    const auto& c = GetParam();
    MailData mail = MailData::from_raw(std::string(c.message));
    const std::string body(mail.body);
    replace_subject(mail, c.subject);
    EXPECT_EQ(mail.headers, c.headers);
    EXPECT_EQ(mail.body, body);
    EXPECT_EQ(mail.to_string(), c.headers + body);
}

INSTANTIATE_TEST_SUITE_P(cases, subject_edit, testing::ValuesIn(subject_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(subject_edit_fold, is_the_fold_of_an_added_header) {
    for (const int newline_type : {1, 0}) {
        for (const std::string& value : {long_value + ", " + long_value, std::string(90, 'x'),
                                         "a; b;\tc " + long_value + "\r\n d"}) {
            MailData added = MailData::from_raw("A: 1\r\n\r\n");
            added.newline_type = newline_type;
            ptree milter;
            milter.put("add_headers.Subject.value", value);
            milter.put("add_headers.Subject.order", 0);
            apply_milter_headers(added, milter);
            MailData replaced = MailData::from_raw("Subject: x\r\n y\r\nA: 1\r\n\r\n");
            replaced.newline_type = newline_type;
            replace_subject(replaced, value);
            EXPECT_EQ(replaced.headers, added.headers) << value;
        }
    }
}

TEST(subject_edit_fault, line_break_that_ends_the_block_throws_and_changes_nothing) {
    const std::string text = "Subject: old\r\nA: 1\r\n\r\nbody\r\n";
    MailData mail = MailData::from_raw(std::string(text));
    try {
        replace_subject(mail, "\"a\nBcc: x\"");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Header value in subject breaks the header block: \"Subject\"");
    }
    EXPECT_EQ(mail.headers, "Subject: old\r\nA: 1\r\n\r\n");
    EXPECT_EQ(mail.to_string(), text);
}

TEST(milter_body, edits_never_touch_the_body) {
    // A body that looks like headers and holds a second blank line.
    const std::string text = "A: 1\r\nB: 2\r\n\r\nA: not a header\r\n\r\nB: 3\r\n";
    MailData mail = MailData::from_raw(std::string(text));
    apply_milter_headers(mail,
                         milter_block(R"({"remove_headers": {"A": 1, "B": 1},)"
                                      R"( "add_headers": {"A": {"value": "x", "order": 99}}})"));
    EXPECT_EQ(mail.to_string(), "A: x\r\n\r\nA: not a header\r\n\r\nB: 3\r\n");
    EXPECT_EQ(mail.raw, text);
    EXPECT_EQ(mail.body.data(), mail.raw.data() + 14);
}

} // namespace
