// The options of the configuration reader's macros, read from their `(name=value, ...)` list,
// and the conversions the macros apply to their arguments and to the files they read.
#pragma once

#include "ucl/ucl.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ucl {

// What a second value of a key that an object already holds does.
enum class duplicate_strategy { append, merge, rewrite, error };

// The options of .include, .try_include and .includes.
struct include_options {
    bool try_missing = false; // a missing file is skipped
    bool sign = false;        // the file must come with a signature that verifies
    bool glob = false;        // a path with '*' or '?' is a pattern
    bool nest = false;        // the file's members go into the object (or array) at a key
    std::string key;          // that key; empty for the file's name without its extension
    bool as_array = false;    // the file's object is appended to an array at the key
    int priority = 0;         // of the file's text, 0 to 15
    duplicate_strategy duplicate = duplicate_strategy::append;
};

// What .load turns the file's bytes into.
enum class load_target { string, integer, nothing };

// The options of .load.
struct load_options {
    bool try_missing = false;       // a missing file is skipped
    std::optional<std::string> key; // where the value goes; required, never empty
    load_target target = load_target::string;
    bool escape = false; // the text is stored with JSON escapes
    int priority = 0;    // of the loaded value, 0 to 15
};

// The include options in `options` over the macro's own defaults; unknown options are ignored,
// and so are values of another type than the option takes.
include_options read_include_options(const Ucl& options, bool try_default, bool sign_default);

// The .load options in `options`; unknown options and values of another type are ignored, and an
// empty key counts as none.
load_options read_load_options(const Ucl& options);

// The priority that a .priority argument writes: a decimal integer, optionally signed and led
// by blanks, kept to its low four bits; nothing when the text is not such a number.
std::optional<int> priority_of_text(std::string_view text);

// The decimal integer at the start of `text` after any blanks (0 when there is none), held at
// the 64-bit limits when it is longer.
std::int64_t integer_prefix(std::string_view text);

// The text with quotes, backslashes and control bytes written as JSON escapes.
std::string json_escaped(std::string_view text);

// The files a pattern names, in sorted order; nothing when `path` holds no '*' or '?' and is
// therefore a file name as it stands.
std::optional<std::vector<std::string>> glob_matches(const std::string& path);

// The key that a nesting include without a `key` uses: the file name without a final ".conf"
// or ".ucl" (other extensions stay).
std::string file_key(const std::string& path);

} // namespace ucl
