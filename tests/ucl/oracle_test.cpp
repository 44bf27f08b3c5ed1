// Compares the reader with the reference UCL parser (shared/tools/ucl-reference, which runs the
// parser inside Debian's rspamd) on every text of tests/ucl/corpus (the macros and their options
// among them) and on the shipped configuration.
#include "support/test_env.hpp"
#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// What the reference made of one file: its exit status and its JSON.
struct reference_result {
    int status = -1; // 0 parsed, 1 refused, anything else: the tool did not run
    std::string json;
};

// Runs the reference on `file` with `directory` as working directory, bounded in time.
reference_result run_reference(const fs::path& directory, const fs::path& file) {
    const std::string tool =
        (fs::path(test_support::shared_dir()) / "tools/ucl-reference").string();
    const std::string command = "cd '" + directory.string() + "' && timeout 30 '" + tool + "' '" +
                                file.string() + "' 2>/dev/null";
    reference_result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.json.append(buffer, count);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The reference's text with the file variables that it leaves in place expanded as the reader
// expands them in a top-level text.
std::string expand_like_reader(const std::string& text, const std::string& curdir) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::string_view rest = std::string_view(text).substr(i);
        if (rest.starts_with("$$")) {
            out += '$';
            i += 2;
        } else if (rest.starts_with("${CURDIR}")) {
            out += curdir;
            i += 9;
        } else if (rest.starts_with("$CURDIR")) {
            out += curdir;
            i += 7;
        } else if (rest.starts_with("${FILENAME}")) {
            out += "undef";
            i += 11;
        } else if (rest.starts_with("$FILENAME")) {
            out += "undef";
            i += 9;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The reader's tree in the reference's printed shape: the values of a key written more than once
// become one array, except that the reference prints only the first value when that is an array.
ucl::Ucl reference_shape(const ucl::Ucl& value) {
    if (value.type() == ucl::Type::array) {
        std::vector<ucl::Ucl> items;
        for (const auto& item : value.items())
            items.push_back(reference_shape(item));
        return ucl::Ucl::array(std::move(items));
    }
    if (value.type() != ucl::Type::object) return value;
    std::vector<ucl::Ucl::Member> grouped;
    for (const auto& [key, member] : value.members()) {
        auto same = std::find_if(grouped.begin(), grouped.end(),
                                 [&](const auto& entry) { return entry.first == key; });
        if (same != grouped.end()) continue;
        std::vector<ucl::Ucl> values;
        for (const auto& [other_key, other] : value.members()) {
            if (other_key == key) values.push_back(reference_shape(other));
        }
        const bool single = values.size() == 1 || values.front().type() == ucl::Type::array;
        grouped.emplace_back(key, single ? values.front() : ucl::Ucl::array(std::move(values)));
    }
    return ucl::Ucl::object(std::move(grouped));
}

// True for integers, floats and time values.
bool is_number(const ucl::Ucl& value) {
    const auto type = value.type();
    return type == ucl::Type::integer || type == ucl::Type::floating || type == ucl::Type::time;
}

// The first difference between the two trees, named by its path; empty when they agree.
std::string difference(const ucl::Ucl& mine, const ucl::Ucl& reference, const std::string& path,
                       const std::string& curdir) {
    if (is_number(mine) && is_number(reference)) {
        const double a = mine.number_value();
        const double b = reference.number_value();
        if (mine.type() == ucl::Type::integer && reference.type() == ucl::Type::integer) {
            return mine.toint_safe() == reference.toint_safe() ? "" : path + ": integers differ";
        }
        return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)) ? ""
                                                                      : path + ": numbers differ";
    }
    if (mine.type() != reference.type()) return path + ": types differ";
    switch (mine.type()) {
    case ucl::Type::string: {
        const std::string expected = expand_like_reader(reference.string_value(), curdir);
        if (mine.string_value() == expected) return "";
        return path + ": \"" + mine.string_value() + "\" against \"" + expected + "\"";
    }
    case ucl::Type::boolean:
        return mine.bool_value() == reference.bool_value() ? "" : path + ": booleans differ";
    case ucl::Type::array: {
        if (mine.items().size() != reference.items().size()) return path + ": lengths differ";
        for (std::size_t i = 0; i < mine.items().size(); ++i) {
            auto found = difference(mine.items()[i], reference.items()[i],
                                    path + "[" + std::to_string(i) + "]", curdir);
            if (!found.empty()) return found;
        }
        return "";
    }
    case ucl::Type::object: {
        if (mine.members().size() != reference.members().size())
            return path + ": key counts differ";
        for (std::size_t i = 0; i < mine.members().size(); ++i) {
            const auto& [key, value] = mine.members()[i];
            const auto& [reference_key, reference_value] = reference.members()[i];
            if (key != reference_key) return path + ": key " + key + " against " + reference_key;
            auto found = difference(value, reference_value, path + "." + key, curdir);
            if (!found.empty()) return found;
        }
        return "";
    }
    default:
        return "";
    }
}

// The corpus files, then the shipped configuration.
std::vector<fs::path> oracle_texts() {
    std::vector<fs::path> files;
    const fs::path corpus = fs::path(test_support::source_dir()) / "tests/ucl/corpus";
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    const fs::path shipped = fs::path(test_support::source_dir()) / "quillgate.conf";
    if (fs::exists(shipped)) files.push_back(shipped);
    return files;
}

// The corpus directory as working directory, for the relative include paths of its texts.
class Oracle : public testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(fs::path(test_support::shared_dir()) / "tools/ucl-reference")) {
            GTEST_SKIP() << "the reference script tools/ucl-reference is not in "
                         << test_support::shared_dir();
        }
        if (std::system("command -v rspamadm >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "rspamadm not found: install the rspamd package to compare the "
                            "reader with the reference UCL parser";
        }
        previous_ = fs::current_path();
        fs::current_path(corpus_);
    }
    void TearDown() override {
        if (!previous_.empty()) fs::current_path(previous_);
    }

    const fs::path corpus_ = fs::path(test_support::source_dir()) / "tests/ucl/corpus";
    fs::path previous_;
};

TEST_F(Oracle, ReferenceRunsHere) {
    test_support::temp_dir dir;
    test_support::write_file(dir.file("probe.conf"), "a = 1\n");
    const auto result = run_reference(corpus_, dir.file("probe.conf"));
    ASSERT_EQ(result.status, 0) << "ucl-reference did not run (it needs rspamadm and unshare -n)";
    EXPECT_EQ(result.json, "{\"a\":1}\n");
}

TEST_F(Oracle, ReaderAgreesWithTheReferenceOnTheCorpus) {
    const auto started = std::chrono::steady_clock::now();
    const std::string curdir = fs::current_path().string();
    const auto files = oracle_texts();
    ASSERT_GE(files.size(), 20u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto reference = run_reference(corpus_, file);
        ASSERT_TRUE(reference.status == 0 || reference.status == 1)
            << "ucl-reference failed to run, status " << reference.status;

        std::string error;
        const ucl::Ucl mine = ucl::Ucl::parse(test_support::read_file(file.string()), error);
        if (reference.status == 1) {
            EXPECT_NE(error, "") << "the reference refuses this text, the reader accepts it";
            continue;
        }
        ASSERT_EQ(error, "") << "the reference accepts this text";

        std::string json_error;
        const ucl::Ucl expected = ucl::Ucl::parse(reference.json, json_error);
        ASSERT_EQ(json_error, "") << reference.json;
        EXPECT_EQ(difference(reference_shape(mine), expected, "$", curdir), "") << reference.json;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

// The one known difference: at a .try_include of a missing file the reference stops reading
// without an error text, which would leave the keys after it unread; the reader skips the file,
// as .try_include promises, and reads on.
TEST_F(Oracle, TryIncludeOfAMissingFileIsSkippedWhereTheReferenceStops) {
    test_support::temp_dir dir;
    test_support::write_file(dir.file("try.conf"),
                             ".try_include \"include/absent.inc\"\nlmtp { listen_port = 1 }\n");
    const auto reference = run_reference(corpus_, dir.file("try.conf"));
    EXPECT_EQ(reference.status, 1);
    EXPECT_EQ(reference.json, "");

    std::string error;
    const ucl::Ucl mine = ucl::Ucl::parse(test_support::read_file(dir.file("try.conf")), error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(mine.lookup("lmtp").lookup("listen_port").toint_safe(), 1);
}

} // namespace
