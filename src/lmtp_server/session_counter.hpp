// The process-wide counter that numbers LMTP sessions, and the session ids made from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Number of connections accepted so far, over both listener types; 0 at process start.
extern std::atomic<std::uint64_t> session_counter;

// Takes the next number from `session_counter` and formats it as 16 lowercase hex digits.
std::string next_session_id();
