// A stand-in default logger for the tests, recording every line that the code under test logs,
// from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/logger.h>

namespace test_support {

using namespace std::chrono_literals;

// One captured line: its level and its message text.
struct log_line {
    spdlog::level::level_enum level;
    std::string text;
};

class capture_sink;

// Makes a logger that records every line of `level` and above the default logger for the life of
// the object, and gives back what it recorded.
class log_capture {
  public:
    explicit log_capture(spdlog::level::level_enum level = spdlog::level::trace);
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // The lines so far, with their levels.
    std::vector<log_line> entries() const;
    // The lines so far as "[level] message", split at line feeds.
    std::vector<std::string> lines() const;
    // The lines so far as "[level] message\n" each, in one text.
    std::string text() const;
    // Forgets the lines so far.
    void clear();

    // The number of lines of `level` whose text is exactly `text`.
    std::size_t count(spdlog::level::level_enum level, const std::string& text) const;
    // Whether a line of `level` with exactly `text` was logged.
    bool has(spdlog::level::level_enum level, const std::string& text) const;
    // Whether any line contains `part`.
    bool contains(const std::string& part) const;
    // Waits until a line of `level` with exactly `text` was logged; false after `limit`.
    bool wait_for(spdlog::level::level_enum level, const std::string& text,
                  std::chrono::milliseconds limit = 5s) const;
    // Waits until a line containing `part` was logged; false after `limit`.
    bool wait_for_part(const std::string& part, std::chrono::milliseconds limit = 5s) const;

  private:
    std::shared_ptr<capture_sink> sink_;
    std::shared_ptr<spdlog::logger> previous_; // restored on destruction
};

} // namespace test_support
