// A stand-in default logger for unit tests, recording every line the code under test logs.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

namespace test_support {

// Installs a logger that records "[level] message" lines as the default logger for its lifetime.
class log_capture {
  public:
    log_capture()
        : previous_(spdlog::default_logger()),
          logger_(std::make_shared<spdlog::logger>(
              "capture", std::make_shared<spdlog::sinks::ostream_sink_st>(stream_))) {
        logger_->set_pattern("[%l] %v");
        logger_->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger_);
    }
    ~log_capture() { spdlog::set_default_logger(previous_); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // The lines logged so far, without their line ends.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(stream_.str());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

  private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> previous_; // restored on destruction
    std::shared_ptr<spdlog::logger> logger_;
};

} // namespace test_support
