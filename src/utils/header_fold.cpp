// Header value folding: one left-to-right pass that cuts the value into tokens, keeps quoted
// strings and folds already present, and folds once the line passes a soft or a hard limit.
#include "utils/header_fold.hpp"

#include <cstring>

#include "utils/ascii_text.hpp"

namespace {

constexpr const char* fold_signature = "GString* rspamd_header_value_fold(const gchar*, gsize, "
                                       "const gchar*, gsize, guint, rspamd_newlines_type, "
                                       "const gchar*)";

// The state of the pass over one value.
class fold_pass {
  public:
    fold_pass(gsize name_len, const gchar* value, gsize value_len, guint fold_max,
              rspamd_newlines_type how, const gchar* fold_on_chars)
        : value_(value), end_(value_len), hard_(fold_max),
          soft_(static_cast<guint>(static_cast<guint64>(fold_max) * 4 / 5)),
          fold_(how == RSPAMD_TASK_NEWLINES_CRLF ? "\r\n\t" : "\n\t"),
          separators_(fold_on_chars != nullptr ? fold_on_chars : ",;"),
          line_(static_cast<guint>(name_len + 2)), result_(g_string_sized_new(value_len)) {}

    // Runs the pass and hands the result over to the caller.
    GString* run() {
        while (p_ < end_)
            step();
        finish();
        return result_;
    }

  private:
    enum class state { reading, quoted, after_quote, folding };
    enum class fold_kind { before, after };

    // One turn of the loop, by the state.
    void step() {
        switch (state_) {
        case state::reading:
            return on_reading();
        case state::quoted:
            return on_quoted();
        case state::after_quote:
            return on_after_quote();
        case state::folding:
            return on_folding();
        }
    }

    bool between_limits() const { return line_ > soft_ && line_ < hard_; }
    bool past_hard_limit() const { return line_ > hard_; }
    bool can_fold_before() const { return past_hard_limit() && !first_token_; }

    // Appends the value's bytes from `from` up to, not including, `to`.
    void append(gsize from, gsize to) {
        if (to > from) g_string_append_len(result_, value_ + from, static_cast<gssize>(to - from));
    }

    // Removes whitespace from the end of the result and returns how many bytes went.
    gsize strip_trailing_whitespace() {
        gsize removed = 0;
        while (result_->len > 0 && is_ascii_space(result_->str[result_->len - 1])) {
            g_string_truncate(result_, result_->len - 1);
            ++removed;
        }
        return removed;
    }

    // Appends `count` spaces, standing for whitespace moved behind a fold.
    void append_spaces(gsize count) {
        for (gsize i = 0; i < count; ++i)
            g_string_append_c(result_, ' ');
    }

    // Decides a fold, made at the next turn of the loop.
    void decide_fold(fold_kind kind) {
        kind_ = kind;
        state_ = state::folding;
    }

    // Copies the pending token up to `through`, where the next token starts.
    void take_token(gsize through) {
        append(c_, through);
        c_ = through;
        first_token_ = false;
    }

    // Reading state: dispatches on the byte at p.
    void on_reading() {
        const char byte = value_[p_];
        if (byte != '\0' && std::strchr(separators_, byte) != nullptr) return on_separator();
        if (byte == '"') {
            append(c_, p_);
            c_ = p_;
            state_ = state::quoted;
            return;
        }
        if (byte == '\r' || byte == '\n') {
            if (can_fold_before()) return decide_fold(fold_kind::before);
            return on_line_break();
        }
        if (is_ascii_space(byte)) return on_whitespace();
        ++p_;
        ++line_;
    }

    // A comma or semicolon: a fold after or before it, or the token taken through it.
    void on_separator() {
        if (between_limits()) {
            ++p_;
            return decide_fold(fold_kind::after);
        }
        if (can_fold_before()) {
            ++p_;
            return decide_fold(fold_kind::before);
        }
        take_token(p_ + 1);
        ++p_;
    }

    // A space, tab, vertical tab or form feed: a fold, or the token that ends here taken.
    void on_whitespace() {
        if (between_limits()) return decide_fold(fold_kind::after);
        if (can_fold_before()) return decide_fold(fold_kind::before);
        take_token(p_);
        ++p_;
        ++line_;
    }

    // A line break: kept when a blank follows it (a fold already present), else replaced.
    void on_line_break() {
        gsize next = p_ + 1;
        if (value_[p_] == '\r' && next < end_ && value_[next] == '\n') ++next;
        if (next < end_ && (value_[next] == ' ' || value_[next] == '\t')) {
            while (p_ < end_ && is_ascii_space(value_[p_]))
                ++p_;
            append(c_, p_);
            c_ = p_;
            line_ = 0;
        } else {
            append(c_, p_);
            g_string_append(result_, fold_);
            p_ = c_ = next;
        }
        first_token_ = true;
    }

    // Quoted state: runs to the next double quote, nothing inside folded.
    void on_quoted() {
        if (p_ != c_ && value_[p_] == '"') state_ = state::after_quote;
        ++p_;
        ++line_;
    }

    // After-quote state: the byte after the closing quote goes with the quoted string.
    void on_after_quote() {
        state_ = state::reading;
        ++p_;
        ++line_;
        append(c_, p_);
        c_ = p_;
        first_token_ = true;
    }

    // Folding state: makes the decided fold and returns to reading.
    void on_folding() {
        if (kind_ == fold_kind::after) {
            fold_after();
        } else {
            fold_before();
        }
        first_token_ = true;
        c_ = p_;
        state_ = state::reading;
    }

    // Fold after the pending token; its trailing whitespace moves behind the fold as spaces.
    void fold_after() {
        gsize moved = 0;
        if (p_ > c_) {
            append(c_, p_);
            moved = strip_trailing_whitespace();
        }
        g_string_append(result_, fold_);
        if (is_ascii_space(value_[p_])) ++p_;
        append_spaces(moved);
        line_ = 0;
    }

    // Fold in front of the pending token, which is carried to the new line.
    void fold_before() {
        gsize moved = 0;
        if (p_ > c_ && is_ascii_space(value_[c_])) ++c_;
        if (!result_ends_with_fold()) {
            moved = strip_trailing_whitespace();
            g_string_append(result_, fold_);
        }
        line_ = static_cast<guint>(moved);
        append_spaces(moved);
        if (p_ > c_) {
            append(c_, p_);
            line_ += static_cast<guint>(p_ - c_);
        } else {
            line_ = 0;
        }
    }

    // The result's second-to-last byte is a line break, as right after a fold.
    bool result_ends_with_fold() const {
        if (result_->len < 2) return false;
        const char byte = result_->str[result_->len - 2];
        return byte == '\r' || byte == '\n';
    }

    // Copies what is left at the end of the value, with a last fold where the state asks it.
    void finish() {
        if (state_ == state::reading && can_fold_before()) {
            if (c_ < end_ && is_ascii_space(value_[c_])) ++c_;
            g_string_append(result_, fold_);
        } else if (state_ == state::folding && !result_ends_with_whitespace() &&
                   !(c_ < end_ && (value_[c_] == '\r' || value_[c_] == '\n'))) {
            g_string_append(result_, fold_);
        }
        append(c_, end_);
    }

    // The result's last byte is whitespace; an empty result has none.
    bool result_ends_with_whitespace() const {
        return result_->len > 0 && is_ascii_space(result_->str[result_->len - 1]);
    }

    const gchar* value_;
    gsize end_;              // length of the value
    guint hard_;             // hard limit: fold before a token once the line is longer
    guint soft_;             // soft limit: fold after a token once the line is longer
    const char* fold_;       // the fold sequence of the newline kind
    const char* separators_; // bytes to take a token through and fold after
    guint line_;             // estimated length of the current output line
    GString* result_;
    gsize c_ = 0;             // first byte of the value not yet copied
    gsize p_ = 0;             // byte under examination
    bool first_token_ = true; // no token taken on the current line yet
    state state_ = state::reading;
    fold_kind kind_ = fold_kind::after;
};

} // namespace

GString* rspamd_header_value_fold(const gchar* name, gsize name_len, const gchar* value,
                                  gsize value_len, guint fold_max, rspamd_newlines_type how,
                                  const gchar* fold_on_chars) {
    if (name == nullptr) {
        g_assertion_message_expr(nullptr, "src/utils/header_fold.cpp", __LINE__, fold_signature,
                                 "name != NULL");
    }
    if (value == nullptr) {
        g_assertion_message_expr(nullptr, "src/utils/header_fold.cpp", __LINE__, fold_signature,
                                 "value != NULL");
    }
    return fold_pass(name_len, value, value_len, fold_max, how, fold_on_chars).run();
}
