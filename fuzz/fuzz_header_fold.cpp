// Fuzz target for the header folding routine: it reads only inside its input, and folding adds
// nothing but whitespace, and its result matches a plain reading of the folding rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <glib.h>

#include "fuzz_text.hpp"
#include "utils/header_fold.hpp"

namespace {

// Ends the run with a message when an expectation about the folded value does not hold.
void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "header_fold fuzz: %s\n", what);
    std::abort();
}

// Whether `c` is one of the six ASCII whitespace bytes.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == '\v';
}

// The text without the six ASCII whitespace bytes (space, tab, LF, VT, FF, CR).
std::string without_whitespace(std::string_view text) {
    std::string kept;
    for (const char c : text) {
        const bool space =
            c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
        if (!space) kept.push_back(c);
    }
    return kept;
}

// Folds `value` behind a name of `name_length` bytes; both live in buffers of exactly their size,
// so that AddressSanitizer reports any read past them.
std::string fold(std::size_t name_length, std::string_view value, rspamd_newlines_type kind) {
    auto name = std::make_unique<char[]>(name_length == 0 ? 1 : name_length);
    std::memset(name.get(), 'N', name_length == 0 ? 1 : name_length);
    auto bytes = std::make_unique<char[]>(value.size() == 0 ? 1 : value.size());
    std::memcpy(bytes.get(), value.data(), value.size());
    GString* folded = rspamd_header_value_fold(name.get(), name_length, bytes.get(), value.size(),
                                               75, kind, nullptr);
    expect(folded != nullptr, "the routine returned no string");
    std::string result(folded->str, folded->len);
    g_string_free(folded, TRUE);
    return result;
}

// A second, plain reading of the folding rules (fold limit 75, no fold characters), to compare
// the routine with byte for byte.
class reference_fold {
  public:
    reference_fold(std::size_t name_length, std::string_view value, bool crlf)
        : value_(value), fold_(crlf ? "\r\n\t" : "\n\t"),
          line_(static_cast<std::uint32_t>(name_length + 2)) {}

    // Runs the pass and returns the folded value.
    std::string run() {
        while (p_ < value_.size())
            step();
        finish();
        return result_;
    }

  private:
    enum class state { reading, quoted, after_quote, folding };

    // The line length lies between the soft and the hard limit.
    bool between() const { return line_ > 60 && line_ < 75; }
    // The line length is past the hard limit.
    bool past() const { return line_ > 75; }
    // Appends the value's bytes from `from` up to, not including, `to`.
    void append(std::size_t from, std::size_t to) {
        if (to > from) result_.append(value_.substr(from, to - from));
    }
    // Removes trailing whitespace from the result and returns how many bytes went.
    std::uint32_t strip() {
        std::uint32_t n = 0;
        while (!result_.empty() && is_space(result_.back())) {
            result_.pop_back();
            ++n;
        }
        return n;
    }
    // Decides a fold, made at the next turn of the loop.
    void decide(bool after) {
        after_ = after;
        state_ = state::folding;
    }

    // One turn of the loop, by the state.
    void step() {
        if (state_ == state::reading) return read();
        if (state_ == state::quoted) {
            if (p_ != c_ && value_[p_] == '"') state_ = state::after_quote;
            ++p_;
            ++line_;
            return;
        }
        if (state_ == state::after_quote) {
            state_ = state::reading;
            ++p_;
            ++line_;
            append(c_, p_);
            c_ = p_;
            first_ = true;
            return;
        }
        after_ ? fold_after() : fold_before();
        first_ = true;
        c_ = p_;
        state_ = state::reading;
    }

    // The reading state's table.
    void read() {
        const char b = value_[p_];
        if (b == ',' || b == ';') {
            if (between()) return ++p_, decide(true);
            if (past() && !first_) return ++p_, decide(false);
            append(c_, p_ + 1);
            c_ = p_ + 1;
            first_ = false;
            ++p_;
        } else if (b == '"') {
            append(c_, p_);
            c_ = p_;
            state_ = state::quoted;
        } else if (b == '\r' || b == '\n') {
            if (past() && !first_) return decide(false);
            line_break();
        } else if (is_space(b)) {
            if (between()) return decide(true);
            if (past() && !first_) return decide(false);
            append(c_, p_);
            c_ = p_;
            first_ = false;
            ++p_;
            ++line_;
        } else {
            ++p_;
            ++line_;
        }
    }

    // A carriage return or line feed at p in the reading state.
    void line_break() {
        std::size_t t = p_ + 1;
        if (value_[p_] == '\r' && t < value_.size() && value_[t] == '\n') ++t;
        if (t < value_.size() && (value_[t] == ' ' || value_[t] == '\t')) {
            while (p_ < value_.size() && is_space(value_[p_]))
                ++p_;
            append(c_, p_);
            c_ = p_;
            line_ = 0;
            first_ = true;
            return;
        }
        append(c_, p_);
        result_ += fold_;
        p_ = c_ = t;
        first_ = true;
    }

    // The fold after the pending token.
    void fold_after() {
        std::uint32_t n = 0;
        if (p_ > c_) {
            append(c_, p_);
            n = strip();
        }
        result_ += fold_;
        if (is_space(value_[p_])) ++p_;
        result_.append(n, ' ');
        line_ = 0;
    }

    // The fold in front of the pending token.
    void fold_before() {
        std::uint32_t n = 0;
        if (p_ > c_ && is_space(value_[c_])) ++c_;
        const std::size_t size = result_.size();
        if (size < 2 || (result_[size - 2] != '\r' && result_[size - 2] != '\n')) {
            n = strip();
            result_ += fold_;
        }
        line_ = n;
        result_.append(n, ' ');
        if (p_ > c_) {
            append(c_, p_);
            line_ += static_cast<std::uint32_t>(p_ - c_);
        } else {
            line_ = 0;
        }
    }

    // The end of the pass, by the state.
    void finish() {
        const std::size_t end = value_.size();
        if (state_ == state::reading) {
            if (past() && !first_) {
                if (c_ < end && is_space(value_[c_])) ++c_;
                result_ += fold_;
            }
            return append(c_, end);
        }
        if (state_ == state::folding) {
            const bool last_space = !result_.empty() && is_space(result_.back());
            const bool token_breaks = c_ < end && (value_[c_] == '\r' || value_[c_] == '\n');
            if (!last_space && !token_breaks) result_ += fold_;
        }
        append(c_, end);
    }

    std::string_view value_;
    std::string fold_;
    std::string result_;
    std::size_t c_ = 0;
    std::size_t p_ = 0;
    std::uint32_t line_;
    bool first_ = true;
    bool after_ = false;
    state state_ = state::reading;
};

// Ends the run, showing both texts, when the routine's result is not the reference result.
void compare(const std::string& folded, const std::string& expected, const char* kind) {
    if (folded == expected) return;
    print_escaped("folded  ", folded);
    print_escaped("expected", expected);
    std::fprintf(stderr, "header_fold fuzz: %s folding differs from the folding rules\n", kind);
    std::abort();
}

} // namespace

// The first byte gives the header name's length, the rest is the value.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t name_length = data[0];
    const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string crlf = fold(name_length, value, RSPAMD_TASK_NEWLINES_CRLF);
    const std::string lf = fold(name_length, value, RSPAMD_TASK_NEWLINES_LF);
    const std::string bare = without_whitespace(value);
    expect(without_whitespace(crlf) == bare, "CRLF folding changed more than whitespace");
    expect(without_whitespace(lf) == bare, "LF folding changed more than whitespace");
    compare(crlf, reference_fold(name_length, value, true).run(), "CRLF");
    compare(lf, reference_fold(name_length, value, false).run(), "LF");
    return 0;
}
