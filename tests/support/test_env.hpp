// Helpers every test program shares: temporary directories, files and paths of the build.
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

// A fresh directory under the system's temporary directory, removed with its contents on destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Path of `name` inside the directory.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Writes `content` to `path`, byte for byte, replacing what was there.
void write_file(const std::string& path, const std::string& content);

// Reads the whole file at `path`; the empty text when it cannot be opened.
std::string read_file(const std::string& path);

// The built daemon, the source tree and the read-only shared tree of the project.
inline const char* quillgate_binary() { return QUILLGATE_BINARY; }
inline const char* source_dir() { return QUILLGATE_SOURCE_DIR; }
inline const char* shared_dir() { return QUILLGATE_SHARED_DIR; }

} // namespace test_support
