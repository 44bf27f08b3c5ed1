// The recursive-descent reader of UCL texts (JSON included) that builds `ucl::Ucl` trees.
// It never reads outside the text it is given and reports the first error with its position.
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

// Reads one text; each included file is read by a parser of its own, with the priority and the
// duplicate strategy that its include gives it.
class parser {
  public:
    // A top-level text without a file name: $CURDIR is the working directory, $FILENAME "undef";
    // the macros reach files through `files`.
    explicit parser(std::string_view text, const file_access& files = local_files());

    // Reads the whole text; on failure returns an empty wrapper and sets `error`.
    Ucl parse_document(std::string& error);

  private:
    parser(std::string_view text, const file_access& files, std::string file_name,
           std::string directory, int include_depth, int depth);

    Ucl parse_root();                          // the whole top-level text
    void parse_included(member_list& members); // an included file, into `members`
    void parse_body(member_list& members);     // braced or brace-less members of a text
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
    void parse_macro(member_list& members);    // a macro with its options and its argument
    Ucl parse_macro_options(const std::string& name);
    std::string parse_macro_argument(const std::string& name, const std::string& what);
    void include_macro(const std::string& name, const include_options& options,
                       const std::string& path, std::size_t start, member_list& members);
    void include_file(const std::string& name, const include_options& options,
                      const std::string& path, std::size_t start, member_list& members);
    void include_nested(parser& included, const std::string& name, const include_options& options,
                        const std::string& path, std::size_t start, member_list& members);
    bool read_macro_file(const std::string& name, const std::string& what, const std::string& path,
                         bool try_missing, std::size_t start, std::string& content) const;
    void check_signature(const std::string& name, const std::string& real_path,
                         std::size_t start) const;
    void load_macro(const load_options& options, const std::string& path, std::size_t start,
                    member_list& members);
    void inherit_macro(const std::string& section, std::size_t start, member_list& members);
    void expect_value_end(Type type); // a separator must follow a value of `type`
    void ignore_text_end();           // what follows the top level is not read

    std::size_t expand_variable(std::string_view rest, std::string& out, bool& named) const;
    std::string expand_variables(std::string_view raw) const;

    void skip_space();  // blanks, line breaks and comments
    void skip_inline(); // the same up to the next line break
    bool skip_comment();
    bool at_end() const { return pos_ >= text_.size(); }
    char peek(std::size_t ahead = 0) const; // NUL past the end
    void enter(std::size_t open);           // steps into an object or array

    std::string where(std::size_t pos) const; // "line L, column C"
    std::string found(std::size_t pos) const; // the byte at `pos` as a message names it
    [[noreturn]] void fail_at(std::size_t pos, const std::string& message) const;
    [[noreturn]] void fail_expected(const std::string& expected) const;

    std::string_view text_;
    const file_access* files_;
    std::size_t pos_ = 0;   // offset of the next byte to read
    std::string file_name_; // empty for the top-level text
    std::string curdir_;    // value of $CURDIR
    std::string filename_;  // value of $FILENAME
    int include_depth_ = 0; // number of includes around this text
    int depth_ = 0;         // number of open objects and arrays
    int priority_ = 0;      // of this text, the mark of every member it writes (0 to 15)
    duplicate_strategy strategy_ = duplicate_strategy::append;
    member_list* root_ = nullptr; // the top-level object's members, for .inherit
};

} // namespace ucl
