// Tests of the reader's macros over files held in memory: the reader reaches files only through
// its file interface, so includes, loads, globs and signatures are read without a file system.
#include "tree_text.hpp"
#include "ucl/file_access.hpp"
#include "ucl/parser.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using ucl_test::tree_text;

// Files by absolute path under "/mem"; every other path is missing.
class memory_files final : public ucl::file_access {
  public:
    explicit memory_files(std::map<std::string, std::string> files) : files_(std::move(files)) {}

    kind status(const std::string& path) const override {
        if (absolute(path) == "/mem/dir") return kind::other;
        return files_.count(absolute(path)) ? kind::regular : kind::missing;
    }
    bool read(const std::string& path, std::string& content) const override {
        const auto found = files_.find(absolute(path));
        if (found == files_.end()) return false;
        content = found->second;
        return true;
    }
    std::string real_path(const std::string& path) const override { return absolute(path); }
    std::optional<std::vector<std::string>> glob(const std::string& pattern) const override {
        const auto star = pattern.find('*');
        if (star == std::string::npos) return std::nullopt;
        std::vector<std::string> matches;
        const std::string head = absolute(pattern.substr(0, star));
        const std::string tail = pattern.substr(star + 1);
        for (const auto& [path, content] : files_) {
            if (path.starts_with(head) && path.ends_with(tail)) matches.push_back(path);
        }
        return matches;
    }
    std::string working_directory() const override { return "/mem"; }

  private:
    static std::string absolute(const std::string& path) {
        return path.starts_with('/') ? path : "/mem/" + path;
    }
    std::map<std::string, std::string> files_;
};

std::string read_with(const memory_files& files, const std::string& text, std::string& error) {
    ucl::parser reader(text, files);
    return tree_text(reader.parse_document(error));
}

TEST(MemoryFiles, IncludesLoadsAndGlobsReadTheInterface) {
    const memory_files files({
        {"/mem/a.conf", "lmtp { listen_port = 1 }\nname = \"$FILENAME\"\n"},
        {"/mem/b.inc", "x = 1\n"},
        {"/mem/c.inc", "x = 2\n"},
        {"/mem/host", "127.0.0.1"},
    });
    std::string error;
    EXPECT_EQ(read_with(files,
                        ".include \"a.conf\"\n.include(priority=1) \"a.conf\"\n"
                        ".load(key=\"host\") \"host\"\ns { .include(glob=true) \"*.inc\" }\n"
                        "d = \"$CURDIR\"",
                        error),
              R"({"lmtp":{"listen_port":1},"name":"/mem/a.conf","host":"127.0.0.1",)"
              R"("s":{"x":1,"x":2},"d":"/mem"})");
    EXPECT_EQ(error, "");
}

// An object read again by a merging include keeps the priority of each member written before.
TEST(MemoryFiles, MergedObjectsKeepTheirMembersPriorities) {
    const memory_files files(
        std::map<std::string, std::string>{{"/mem/m.conf", "s { x = 2; y = 3; t { u = 5 } }\n"}});
    std::string error;
    EXPECT_EQ(read_with(files,
                        ".priority 5\ns { x = 1; t { u = 4 } }\n.priority 0\n"
                        ".include(duplicate=\"merge\", priority=1) \"m.conf\"\n"
                        "c { .inherit \"s\"\n x = 9 }",
                        error),
              R"({"s":{"x":1,"t":{"u":4},"y":3},"c":{"x":9,"t":{"u":4},"y":3}})");
    EXPECT_EQ(error, "");
}

TEST(MemoryFiles, MacroErrorsNameTheFiles) {
    const memory_files files({{"/mem/a.conf", "a = 1\n"}, {"/mem/bad.conf", "a = {\n"}});
    const std::pair<const char*, const char*> cases[] = {
        {".include \"absent.conf\"",
         "line 1, column 1: .include: cannot open included file 'absent.conf': no such file"},
        {".load(key=\"k\") \"dir\"",
         "line 1, column 1: .load: cannot read the file 'dir': expected a readable regular file"},
        {".include \"bad.conf\"", "/mem/bad.conf: line 2, column 1: expected '}' to close the "
                                  "object opened at line 1, column 5, found the end of the text"},
        {".includes \"a.conf\"", "line 1, column 1: .includes: cannot open the signature file "
                                 "'/mem/a.conf.sig': no such file"},
        {".include(glob=true) \"none*.conf\"",
         "line 1, column 1: .include: no file matches the pattern 'none*.conf'"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        read_with(files, text, error);
        EXPECT_EQ(error, expected) << text;
    }
}

} // namespace
