// Runs the reference UCL parser (tests/ucl/ucl_reference.sh, the libucl inside Debian's rspamd)
// and compares its reading of a text with the reader's: the reference prints JSON, with the values
// of a key written more than once as one array.
#pragma once

#include "support/test_env.hpp"
#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ucl_test {

// The project's script that runs the reference parser.
inline std::string reference_script() {
    return (std::filesystem::path(test_support::source_dir()) / "tests/ucl/ucl_reference.sh")
        .string();
}

// Why the reference cannot run here, or the empty text when it can.
inline std::string reference_missing() {
    if (std::system("command -v rspamadm >/dev/null 2>&1") != 0)
        return "rspamadm not found: install the rspamd package to compare the reader with the "
               "reference UCL parser";
    if (std::system("command -v unshare >/dev/null 2>&1") != 0)
        return "unshare not found: the reference parser runs in a private network namespace";
    return "";
}

// A test that compares with the reference in the corpus directory, the working directory of both
// readers, so that the texts' relative include paths name the corpus files; skipped with the
// reason when the reference cannot run here.
class in_corpus_directory : public testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = reference_missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(corpus_);
    }
    void TearDown() override {
        if (!previous_.empty()) std::filesystem::current_path(previous_);
    }

    const std::filesystem::path corpus_ =
        std::filesystem::path(test_support::source_dir()) / "tests/ucl/corpus";
    std::filesystem::path previous_;
};

// The output of `command` and its exit status (-1 when it did not end normally).
inline int run_command(const std::string& command, std::string& output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The reader's tree in the reference's printed shape: the values of a key written more than once
// become one array, except that the reference prints only the first value when that is an array.
inline ucl::Ucl reference_shape(const ucl::Ucl& value) {
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
inline bool is_number(const ucl::Ucl& value) {
    const auto type = value.type();
    return type == ucl::Type::integer || type == ucl::Type::floating || type == ucl::Type::time;
}

// The first difference between the two trees, named by its path; empty when they agree.
inline std::string difference(const ucl::Ucl& mine, const ucl::Ucl& reference,
                              const std::string& path) {
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
        const std::string expected = reference.string_value();
        if (mine.string_value() == expected) return "";
        return path + ": \"" + mine.string_value() + "\" against \"" + expected + "\"";
    }
    case ucl::Type::boolean:
        return mine.bool_value() == reference.bool_value() ? "" : path + ": booleans differ";
    case ucl::Type::array: {
        if (mine.items().size() != reference.items().size()) return path + ": lengths differ";
        for (std::size_t i = 0; i < mine.items().size(); ++i) {
            auto found = difference(mine.items()[i], reference.items()[i],
                                    path + "[" + std::to_string(i) + "]");
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
            auto found = difference(value, reference_value, path + "." + key);
            if (!found.empty()) return found;
        }
        return "";
    }
    default:
        return "";
    }
}

// A strict reader of the JSON that the reference prints, kept apart from the reader under test
// so that the reader's own readings ($CURDIR, escapes) do not change the expected tree.
class json_reader {
  public:
    explicit json_reader(std::string_view text) : text_(text) {}

    // The value of the whole text; an empty wrapper with `error` set when it is no JSON.
    ucl::Ucl read(std::string& error) {
        ucl::Ucl value = value_at();
        skip_blanks();
        if (failed_.empty() && pos_ != text_.size()) failed_ = "text after the value";
        error = failed_;
        return failed_.empty() ? value : ucl::Ucl();
    }

  private:
    void skip_blanks() {
        while (pos_ < text_.size() &&
               std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos)
            ++pos_;
    }
    bool take(char c) {
        skip_blanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    ucl::Ucl fail(const std::string& what) {
        if (failed_.empty()) failed_ = what + " at byte " + std::to_string(pos_);
        pos_ = text_.size();
        return ucl::Ucl();
    }
    ucl::Ucl value_at() {
        skip_blanks();
        if (pos_ >= text_.size()) return fail("no value");
        const char c = text_[pos_];
        if (c == '{') return object_at();
        if (c == '[') return array_at();
        if (c == '"') return ucl::Ucl::string(string_at());
        for (const auto& [word, value] :
             {std::pair<std::string_view, ucl::Ucl>{"true", ucl::Ucl::boolean(true)},
              {"false", ucl::Ucl::boolean(false)},
              {"null", ucl::Ucl::null()}}) {
            if (text_.substr(pos_).starts_with(word)) {
                pos_ += word.size();
                return value;
            }
        }
        return number_at();
    }
    ucl::Ucl object_at() {
        ++pos_;
        std::vector<ucl::Ucl::Member> members;
        if (take('}')) return ucl::Ucl::object(std::move(members));
        do {
            skip_blanks();
            if (pos_ >= text_.size() || text_[pos_] != '"') return fail("no key");
            std::string key = string_at();
            if (!take(':')) return fail("no ':'");
            members.emplace_back(std::move(key), value_at());
        } while (take(','));
        if (!take('}')) return fail("no '}'");
        return ucl::Ucl::object(std::move(members));
    }
    ucl::Ucl array_at() {
        ++pos_;
        std::vector<ucl::Ucl> items;
        if (take(']')) return ucl::Ucl::array(std::move(items));
        do {
            items.push_back(value_at());
        } while (take(','));
        if (!take(']')) return fail("no ']'");
        return ucl::Ucl::array(std::move(items));
    }
    // A string's bytes; \\u escapes of control bytes only (the reference prints any other byte
    // as it is), written as one byte or in UTF-8.
    std::string string_at() {
        ++pos_;
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            c = text_[pos_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            if (const auto at = simple.find(c); at != std::string_view::npos) {
                out += meaning[at];
            } else if (c == 'u' && pos_ + 4 <= text_.size()) {
                const unsigned code = static_cast<unsigned>(
                    std::stoul(std::string(text_.substr(pos_, 4)), nullptr, 16));
                pos_ += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
            } else {
                fail("bad escape");
                return out;
            }
        }
        if (pos_ >= text_.size()) {
            fail("unclosed string");
            return out;
        }
        ++pos_;
        return out;
    }
    ucl::Ucl number_at() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos)
            ++pos_;
        const std::string number(text_.substr(start, pos_ - start));
        if (number.empty()) return fail("no value");
        if (number.find_first_of(".eE") == std::string::npos)
            return ucl::Ucl::integer(std::stoll(number));
        return ucl::Ucl::floating(std::stod(number));
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string failed_;
};

// What the reference made of one text: whether it ran, and its JSON or its error.
struct reference_result {
    bool ran = false;
    bool parsed = false;
    std::string output; // the JSON when parsed, the error otherwise
};

// The reference's reading of one file, with `directory` as working directory, bounded in time.
inline reference_result read_with_reference(const std::filesystem::path& directory,
                                            const std::filesystem::path& file) {
    const std::string command = "cd '" + directory.string() + "' && timeout 60 '" +
                                reference_script() + "' '" + file.string() + "' 2>/dev/null";
    reference_result result;
    const int status = run_command(command, result.output);
    result.ran = status == 0 || status == 1;
    result.parsed = status == 0;
    return result;
}

// The reference's readings of many texts through one process, with `directory` as working
// directory. A text that stops the process (a crash of the reference) is reported as not run,
// and the texts after it go to a new process.
inline std::vector<reference_result>
read_batch_with_reference(const std::filesystem::path& directory,
                          const std::vector<std::string>& texts) {
    std::vector<reference_result> results;
    test_support::temp_dir dir;
    while (results.size() < texts.size()) {
        const std::string input = dir.file("texts");
        {
            std::ofstream out(input, std::ios::binary | std::ios::trunc);
            for (std::size_t i = results.size(); i < texts.size(); ++i)
                out << texts[i].size() << '\n' << texts[i];
        }
        std::string output;
        run_command("cd '" + directory.string() + "' && timeout 600 '" + reference_script() +
                        "' --batch '" + input + "' 2>/dev/null",
                    output);
        std::istringstream lines(output);
        std::string line;
        const std::size_t before = results.size();
        while (results.size() < texts.size() && std::getline(lines, line)) {
            reference_result result;
            result.ran = true;
            result.parsed = line.starts_with("ok ");
            result.output = line.substr(std::min<std::size_t>(line.find(' ') + 1, line.size()));
            results.push_back(std::move(result));
        }
        if (results.size() < texts.size()) results.push_back({}); // the text that stopped it
        if (results.size() == before + 1 && before + 1 < texts.size() &&
            results.back().ran == false && output.empty() && before == 0 && texts.size() > 1) {
            // Nothing at all came back: the reference does not run; report every text as not run.
            results.resize(texts.size());
        }
    }
    return results;
}

} // namespace ucl_test
