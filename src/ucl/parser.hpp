// The recursive-descent reader of UCL texts (JSON included) that builds `ucl::Ucl` trees: the
// grammar, from text to values. Where it finds a macro it hands over to the macros (macros.hpp),
// which read on through the cursor below. It never reads outside the text it is given and reports
// the first error with its position.
#pragma once

#include "ucl/file_access.hpp"
#include "ucl/macro_options.hpp"
#include "ucl/members.hpp"
#include "ucl/ucl.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ucl {

// What one text is read with: set by the text that includes it, the priority changed by
// .priority as the text goes on.
struct text_settings {
    const file_access* files = &local_files();
    std::string file_name;          // in error messages; empty for the top-level text
    std::string curdir;             // value of $CURDIR
    std::string filename = "undef"; // value of $FILENAME
    int include_depth = 0;          // number of includes around this text
    int priority = 0;               // the mark of every member the text writes (0 to 15)
    duplicate_strategy strategy = duplicate_strategy::append;
    member_list* root = nullptr; // the top-level object's members, for .inherit
};

// Reads one text; each included file is read by a parser of its own, with the priority and the
// duplicate strategy that its include gives it.
class parser {
  public:
    // A top-level text without a file name: $CURDIR is the working directory, $FILENAME "undef";
    // the macros reach files through `files`.
    explicit parser(std::string_view text, const file_access& files = local_files());
    // A text that a macro reads (an included file, the options of a macro) inside `depth` open
    // objects and arrays.
    parser(std::string_view text, text_settings settings, int depth);

    // Reads the whole text; on failure returns an empty wrapper and sets `error`.
    Ucl parse_document(std::string& error);
    // Reads an included file into `members`.
    void parse_included(member_list& members);

    // The cursor through which the macros read on.
    text_settings& settings() { return settings_; }
    int depth() const { return depth_; }
    std::string_view text() const { return text_; }
    std::size_t position() const { return pos_; }
    void seek(std::size_t pos) { pos_ = pos; }
    bool at_end() const { return pos_ >= text_.size(); }
    char peek(std::size_t ahead = 0) const; // NUL past the end
    void skip_space();                      // blanks, line breaks and comments
    void skip_inline();                     // the same up to the next line break
    std::string read_double_quoted() { return parse_double_quoted(true); }
    std::string_view read_word() { return scan_atom(); } // a value without quotes, unread
    std::string expand_variables(std::string_view raw) const;
    std::string where(std::size_t pos) const; // "line L, column C"
    [[noreturn]] void fail_at(std::size_t pos, const std::string& message) const;
    [[noreturn]] void fail_expected(const std::string& expected) const;

  private:
    Ucl parse_root();                      // the whole top-level text
    void parse_body(member_list& members); // braced or brace-less members of a text
    void parse_members(member_list& members, bool braced, std::size_t open);
    void parse_member(member_list& members); // one key with its value
    void read_member_value(member_list& members, std::string key, std::size_t start,
                           const std::string& context);
    void read_member_end(member_list& members, std::string key, marked_value value,
                         std::size_t start);
    bool null_at_end(); // after '=': nothing but a line break up to the end of the text
    // Adds a value marked with its priority, by the member rules and the strategy; a conflict is
    // an error at `start`.
    void insert_member(member_list& members, std::string key, marked_value value,
                       std::size_t start);
    std::string parse_key();
    bool starts_labels() const;    // `name label ... {` follows the key
    marked_value parse_labelled(); // the labels and their object
    marked_value parse_value(const std::string& context);
    marked_value parse_object(member_list members = {}); // `members`: those it starts with
    bool merge_in_place(member_list& members, const std::string& key);
    Ucl parse_array();
    std::string parse_double_quoted(bool expand);
    void parse_escape(std::string& out); // one backslash sequence
    unsigned parse_hex4();               // the digits of a \u escape
    std::string parse_single_quoted();
    bool starts_heredoc() const;
    std::string parse_heredoc();
    Ucl parse_atom();             // a value without quotes
    std::string_view scan_atom(); // the trimmed text of a value without quotes
    Ucl interpret_atom(std::string_view raw, std::size_t start);
    bool digits_follow(std::size_t end) const; // after a "0x" without digits
    void expect_value_end(Type type);          // a separator must follow a value of `type`
    void ignore_text_end();                    // what follows the top level is not read

    std::size_t expand_variable(std::string_view rest, std::string& out, bool& named) const;

    bool skip_comment();
    void enter(std::size_t open);             // steps into an object or array
    std::string found(std::size_t pos) const; // the byte at `pos` as a message names it

    std::string_view text_;
    text_settings settings_;
    std::size_t pos_ = 0; // offset of the next byte to read
    int depth_ = 0;       // number of open objects and arrays
};

} // namespace ucl
