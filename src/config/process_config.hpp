// The process-wide configuration: the file it is read from, the record in force with its lock,
// the provider that hands out copies of it, and its reload.
#pragma once

#include <mutex>
#include <string>

#include "config/config.hpp"

// Path of the configuration file; the first command-line argument replaces the default.
extern std::string config_path;
// The configuration in force for connections accepted from now on.
extern Config current_config;
// Guards `current_config` once the event loop runs.
extern std::mutex config_mutex;

// Returns a copy of `current_config` taken under `config_mutex`.
Config get_config();

// Re-reads `config_path` into `current_config`; a failed read keeps the old configuration.
void reload_config_file();
