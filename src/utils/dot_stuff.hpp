// Dot-stuffing of a message text into the bytes that follow the SMTP DATA command.
#pragma once

#include <string>

// Replaces `output` with `input` split into lines at every CRLF and every bare LF, each line
// ended by CRLF, a line that begins with "." given one more ".", and a final "." without a line
// break after it. A bare CR inside a line stays as it is.
void smtp_dot_stuff(const std::string& input, std::string& output);
