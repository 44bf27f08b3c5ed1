// The file system behind the reader's file interface.
#include "ucl/file_access.hpp"

#include "ucl/macro_options.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace ucl {

namespace {

class local_file_access final : public file_access {
  public:
    kind status(const std::string& path) const override {
        std::error_code ec;
        const auto type = std::filesystem::status(path, ec).type();
        if (type == std::filesystem::file_type::not_found) return kind::missing;
        return type == std::filesystem::file_type::regular ? kind::regular : kind::other;
    }

    bool read(const std::string& path, std::string& content) const override {
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        try {
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            return false;
        }
        return !in.bad();
    }

    std::string real_path(const std::string& path) const override {
        std::error_code ec;
        std::filesystem::path real = std::filesystem::canonical(path, ec);
        if (ec) real = std::filesystem::absolute(path, ec);
        return real.string();
    }

    std::optional<std::vector<std::string>> glob(const std::string& pattern) const override {
        return glob_matches(pattern);
    }

    std::string working_directory() const override {
        std::error_code ec;
        auto path = std::filesystem::current_path(ec);
        return ec ? std::string() : path.string();
    }
};

} // namespace

const file_access& local_files() {
    static const local_file_access files;
    return files;
}

} // namespace ucl
