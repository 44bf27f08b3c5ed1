// Files at a fixed path for the configuration fuzz targets to include, so that the readers'
// include paths (a file read, one that fails to parse, one that includes itself) are reached, and
// the check that keeps the other files of the system out of the targets' reach.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

// The directory that holds the files; fixed so that seed inputs can name it.
inline const char* include_directory = "/tmp/quillgate-fuzz-include";

// Writes the files (again) into the directory.
inline void make_include_files() {
    std::error_code ignored;
    std::filesystem::create_directories(include_directory, ignored);
    const std::string directory = include_directory;
    const std::pair<const char*, const char*> files[] = {
        {"/a.conf", "rspamd { host = \"included\"; port = 11333 }\nx = [1, 2.5, \"$FILENAME\"]\n"},
        {"/bad.conf", "lmtp { listen_port = \n"},
        {"/self.conf", ".include \"/tmp/quillgate-fuzz-include/self.conf\"\n"},
        {"/list.conf", "[1, 2]\n"},
    };
    for (const auto& [name, content] : files) {
        std::ofstream file(directory + name, std::ios::binary | std::ios::trunc);
        file << content;
    }
}

// True for an input that could make the reader open device or kernel files, or walk directory
// trees with a glob pattern of wildcard directories; such inputs are not run.
inline bool reaches_too_far(std::string_view text) {
    for (const char* special : {"dev/", "proc/", "sys/", "run/"})
        if (text.find(special) != std::string_view::npos) return true;
    return text.find("glob") != std::string_view::npos &&
           (text.find("*/") != std::string_view::npos || text.find("?/") != std::string_view::npos);
}
