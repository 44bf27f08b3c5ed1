// The files that the reader's macros name, behind one small interface: the reader reads, finds
// and matches files only through it, so that the grammar and the macros are tested with files
// held in memory.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ucl {

class file_access {
  public:
    enum class kind { missing, regular, other };

    virtual ~file_access() = default;

    virtual kind status(const std::string& path) const = 0;
    // The whole file into `content`; false when it cannot be read.
    virtual bool read(const std::string& path, std::string& content) const = 0;
    // The file's canonical path, or its absolute path when it has none.
    virtual std::string real_path(const std::string& path) const = 0;
    // The files a pattern names, sorted; nothing when `pattern` holds no '*' or '?'.
    virtual std::optional<std::vector<std::string>> glob(const std::string& pattern) const = 0;
    // The working directory, the value of $CURDIR in a top-level text; empty when unknown.
    virtual std::string working_directory() const = 0;
};

// The file system itself.
const file_access& local_files();

} // namespace ucl
