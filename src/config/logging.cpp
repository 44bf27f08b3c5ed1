// The daily log: a file per local date, rotated at midnight, flushed at once from info level on
// and every 10 seconds otherwise.
#include "config/logging.hpp"

#include <chrono>
#include <cstdint>

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>

std::shared_ptr<spdlog::logger> set_up_daily_log(const Config& config) {
    auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>(
        config.log_file, 0, 0, false, static_cast<std::uint16_t>(config.retention_days));
    auto logger = std::make_shared<spdlog::logger>("daily_logger", sink);
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(std::chrono::seconds(10));
    spdlog::set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v", spdlog::pattern_time_type::local);
    logger->set_level(static_cast<spdlog::level::level_enum>(config.log_level));
    return logger;
}
