// Folding of a header value into physical lines at commas, semicolons and whitespace.
#pragma once

#include <glib.h>

// Line-ending kinds of a message; each chooses the fold sequence of the folding routine.
enum rspamd_newlines_type {
    RSPAMD_TASK_NEWLINES_CRLF, // folds with "\r\n\t"
    RSPAMD_TASK_NEWLINES_LF,   // folds with "\n\t"
};

// Folds `value` for a header named `name` (only its length counts) at the hard limit `fold_max`,
// with the fold sequence of `how`; `fold_on_chars`, when not null, replaces "," and ";" as the
// separators to fold after. The caller frees the result with g_string_free(result, TRUE).
GString* rspamd_header_value_fold(const gchar* name, gsize name_len, const gchar* value,
                                  gsize value_len, guint fold_max, rspamd_newlines_type how,
                                  const gchar* fold_on_chars);
