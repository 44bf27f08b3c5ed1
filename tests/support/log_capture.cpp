// A stand-in default logger for the tests, recording every line that the code under test logs.
#include "support/log_capture.hpp"

#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace test_support {

// A sink that keeps every message it is given, under its own lock.
class capture_sink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    // A copy of the lines so far.
    std::vector<log_line> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Forgets the lines so far.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        lines_.push_back(
            {message.level, std::string(message.payload.data(), message.payload.size())});
    }
    void flush_() override {}

  private:
    std::vector<log_line> lines_;
};

namespace {

// Polls `condition` every 5 ms until it holds or `limit` has passed; true when it held.
bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace

log_capture::log_capture(spdlog::level::level_enum level)
    : sink_(std::make_shared<capture_sink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(level);
    spdlog::set_default_logger(logger);
}

log_capture::~log_capture() {
    spdlog::set_default_logger(previous_);
}

std::vector<log_line> log_capture::entries() const {
    return sink_->lines();
}

std::vector<std::string> log_capture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string log_capture::text() const {
    std::string result;
    for (const log_line& line : sink_->lines()) {
        const auto name = spdlog::level::to_string_view(line.level);
        result.append("[").append(name.data(), name.size()).append("] ");
        result.append(line.text).append("\n");
    }
    return result;
}

void log_capture::clear() {
    sink_->clear();
}

std::size_t log_capture::count(spdlog::level::level_enum level, const std::string& text) const {
    std::size_t found = 0;
    for (const log_line& line : sink_->lines())
        if (line.level == level && line.text == text) ++found;
    return found;
}

bool log_capture::has(spdlog::level::level_enum level, const std::string& text) const {
    return count(level, text) > 0;
}

bool log_capture::contains(const std::string& part) const {
    for (const log_line& line : sink_->lines())
        if (line.text.find(part) != std::string::npos) return true;
    return false;
}

bool log_capture::wait_for(spdlog::level::level_enum level, const std::string& text,
                           std::chrono::milliseconds limit) const {
    return poll_until([&] { return has(level, text); }, limit);
}

bool log_capture::wait_for_part(const std::string& part, std::chrono::milliseconds limit) const {
    return poll_until([&] { return contains(part); }, limit);
}

} // namespace test_support
