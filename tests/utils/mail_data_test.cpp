// Tests of the message record: the split of a received text, its reassembly, and copies and
// moves that keep the body inside their own storage.
#include "utils/mail_data.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <string>
#include <utility>
#include <vector>

namespace {

// One received text and the split it must give.
struct split_case {
    const char* name;
    std::string text;
    std::string headers;
    std::string body;
    bool raw_kept; // raw holds the whole text (a blank line was found)
    int newline_type;
};

const std::vector<split_case> split_cases = {
    {"empty", "", "", "", false, 1},
    {"crlf_message", "A: 1\r\n\r\nbody\r\n", "A: 1\r\n\r\n", "body\r\n", true, 1},
    {"lf_message", "A: 1\n\nbody\n", "A: 1\n\n", "body\n", true, 0},
    {"crlf_ends_after_blank_line", "A: 1\r\n\r\n", "A: 1\r\n\r\n", "", true, 1},
    {"lf_ends_after_blank_line", "A: 1\n\n", "A: 1\n\n", "", true, 0},
    {"lf_no_blank_line", "A: 1\nB: 2\n", "A: 1\nB: 2\n", "", false, 0},
    {"crlf_no_blank_line", "A: 1\r\nB: 2\r\n", "A: 1\r\nB: 2\r\n", "", false, 1},
    {"no_line_break", "A: 1", "A: 1", "", false, 1},
    {"lf_break_before_crlf", "A: 1\nB: 2\r\n", "A: 1\nB: 2\r\n", "", false, 0},
    {"crlf_blank_line_wins_over_earlier_lf", "A\n\nB\r\n\r\nC\r\n", "A\n\nB\r\n\r\n", "C\r\n", true,
     1},
    {"blank_line_first", "\r\n\r\nbody", "\r\n\r\n", "body", true, 1},
    {"second_blank_line_in_body", "A\n\nb\n\nc\n", "A\n\n", "b\n\nc\n", true, 0},
};

class mail_data_split : public testing::TestWithParam<split_case> {};

TEST_P(mail_data_split, splits_at_first_blank_line) {
    const auto& c = GetParam();
    std::string text = c.text;
    const MailData mail = MailData::from_raw(std::move(text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(mail.headers, c.headers);
    EXPECT_EQ(mail.body, c.body);
    EXPECT_EQ(mail.raw, c.raw_kept ? c.text : std::string());
    EXPECT_EQ(mail.newline_type, c.newline_type);
    EXPECT_EQ(mail.to_string(), c.text);
    if (!mail.body.empty()) {
        EXPECT_EQ(mail.body.data() + mail.body.size(), mail.raw.data() + mail.raw.size());
    }
}

INSTANTIATE_TEST_SUITE_P(cases, mail_data_split, testing::ValuesIn(split_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Builds every text of up to `length` pieces drawn from line breaks and letters.
void generate_texts(std::vector<std::string>& out, std::string prefix, int length) {
    out.push_back(prefix);
    if (length == 0) return;
    for (const char* piece : {"\r\n", "\n", "\r", "a", "."})
        generate_texts(out, prefix + piece, length - 1);
}

TEST(mail_data, from_raw_then_to_string_gives_the_text_back) {
    std::vector<std::string> texts;
    generate_texts(texts, "", 6);
    texts.push_back(std::string(5000, 'h') + "\r\n\r\n" + std::string(70000, 'b'));
    for (const auto& t : texts) {
        std::string copy = t;
        EXPECT_EQ(MailData::from_raw(std::move(copy)).to_string(), t) << testing::PrintToString(t);
    }
}

TEST(mail_data, default_is_empty_crlf) {
    const MailData mail;
    EXPECT_TRUE(mail.headers.empty());
    EXPECT_TRUE(mail.raw.empty());
    EXPECT_TRUE(mail.body.empty());
    EXPECT_EQ(mail.newline_type, 1);
    EXPECT_EQ(mail.to_string(), "");
}

// A short text that fits in small-string storage and a long one on the heap.
const std::vector<std::string> ownership_texts = {
    "A\n\nbody\n",
    "Subject: x\r\n\r\n" + std::string(300, 'b') + "\r\n",
};

// Checks that `mail` holds `text` with its body inside its own storage.
void expect_owns(const MailData& mail, const std::string& text) {
    EXPECT_EQ(mail.to_string(), text);
    ASSERT_FALSE(mail.body.empty());
    EXPECT_GE(mail.body.data(), mail.raw.data());
    EXPECT_EQ(mail.body.data() + mail.body.size(), mail.raw.data() + mail.raw.size());
}

// Overwrites and destroys the source so a body still pointing into it would show.
void ruin(std::unique_ptr<MailData>& source) {
    std::fill(source->raw.begin(), source->raw.end(), 'X');
    source.reset();
}

TEST(mail_data, copy_construction_owns_its_body) {
    for (const auto& text : ownership_texts) {
        auto source = std::make_unique<MailData>(MailData::from_raw(std::string(text)));
        const MailData copy(*source);
        ruin(source);
        expect_owns(copy, text);
    }
}

TEST(mail_data, copy_assignment_owns_its_body) {
    for (const auto& text : ownership_texts) {
        auto source = std::make_unique<MailData>(MailData::from_raw(std::string(text)));
        MailData copy = MailData::from_raw(std::string("old\n\nold body\n"));
        copy = *source;
        ruin(source);
        expect_owns(copy, text);
        EXPECT_EQ(copy.newline_type, text.find("\r\n") == std::string::npos ? 0 : 1);
    }
}

TEST(mail_data, move_construction_owns_its_body) {
    for (const auto& text : ownership_texts) {
        auto source = std::make_unique<MailData>(MailData::from_raw(std::string(text)));
        const MailData moved(std::move(*source));
        ruin(source);
        expect_owns(moved, text);
    }
}

TEST(mail_data, move_assignment_owns_its_body) {
    for (const auto& text : ownership_texts) {
        auto source = std::make_unique<MailData>(MailData::from_raw(std::string(text)));
        MailData moved = MailData::from_raw(std::string("old\n\nold body\n"));
        moved = std::move(*source);
        ruin(source);
        expect_owns(moved, text);
    }
}

TEST(mail_data, self_assignment_keeps_the_message) {
    const std::string text = "A\n\nbody\n";
    MailData mail = MailData::from_raw(std::string(text));
    MailData& same = mail;
    mail = same;
    expect_owns(mail, text);
    mail = std::move(same);
    expect_owns(mail, text);
}

TEST(mail_data, copy_keeps_edited_headers) {
    MailData mail = MailData::from_raw(std::string("A: 1\n\nbody\n"));
    mail.headers = "B: 2\nA: 1\n\n";
    const MailData copy(mail);
    EXPECT_EQ(copy.to_string(), "B: 2\nA: 1\n\nbody\n");
}

TEST(xforward_data, copy_keeps_every_value) {
    XForwardData x{"n", "a", "p", "SMTP", "h", "i", "REMOTE", true};
    const XForwardData copy = x;
    x = XForwardData{};
    EXPECT_EQ(copy.name, "n");
    EXPECT_EQ(copy.addr, "a");
    EXPECT_EQ(copy.port, "p");
    EXPECT_EQ(copy.proto, "SMTP");
    EXPECT_EQ(copy.helo, "h");
    EXPECT_EQ(copy.ident, "i");
    EXPECT_EQ(copy.source, "REMOTE");
    EXPECT_TRUE(copy.has_data);
    EXPECT_FALSE(x.has_data);
}

} // namespace
