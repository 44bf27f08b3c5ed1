// Set-up of the daemon's daily-rotating log file as the default logger.
#pragma once

#include <memory>

#include <spdlog/logger.h>

#include "config/config.hpp"

// Opens today's log file for `config.log_file` and makes the logger "daily_logger" on it the
// default logger, with its flush policy, pattern and `config.log_level`; throws when the file
// cannot be opened.
std::shared_ptr<spdlog::logger> set_up_daily_log(const Config& config);
