// The process-wide configuration record, its provider and its reload on SIGHUP.
#include "config/process_config.hpp"

#include <exception>

#include <spdlog/spdlog.h>

std::string config_path = "quillgate.conf";
Config current_config;
std::mutex config_mutex;

Config get_config() {
    std::lock_guard<std::mutex> lock(config_mutex);
    return current_config;
}

void reload_config_file() {
    spdlog::info("SIGHUP received, reloading configuration...");
    try {
        Config reloaded = load_config(config_path);
        {
            std::lock_guard<std::mutex> lock(config_mutex);
            current_config = reloaded;
        }
        spdlog::info("Configuration reloaded successfully.");
    } catch (const std::exception& e) {
        spdlog::error("Error reloading configuration: {}", e.what());
    }
}
