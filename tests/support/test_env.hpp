// Helpers every test program shares: temporary directories, files, bounded waits, free ports and
// paths of the build.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace test_support {

using namespace std::chrono_literals;

// A fresh directory under the system's temporary directory, removed with its contents on
// destruction.
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

// Polls `condition` every 10 ms until it holds or `limit` has passed; true when it held.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

// A TCP port on 0.0.0.0 that was free a moment ago.
unsigned short free_tcp_port();

// The built daemon, the source tree and the read-only shared tree of the project.
inline const char* quillgate_binary() {
    return QUILLGATE_BINARY;
}
inline const char* source_dir() {
    return QUILLGATE_SOURCE_DIR;
}
inline const char* shared_dir() {
    return QUILLGATE_SHARED_DIR;
}

} // namespace test_support
