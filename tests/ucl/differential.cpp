// The differential test of the reader: generated texts (tests/ucl/text_generator.hpp) are read by
// the reader and, in one batch, by the reference parser; every text must give the same tree or an
// error on both sides, unless the difference is one of the reader's knowing differences, each
// recognised by a rule of its own (knowing_differences.hpp).
//
// QUILLGATE_UCL_DIFF_TEXTS sets the number of texts (default 10000, a few seconds), and
// QUILLGATE_UCL_DIFF_SEED the seed; the summary per family is printed either way. With
// QUILLGATE_UCL_DIFF_DUMP=FILE every text that disagrees is written to FILE with both readings.
#include "knowing_differences.hpp"
#include "reference_reading.hpp"
#include "support/test_env.hpp"
#include "text_generator.hpp"
#include "ucl/ucl.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::uint64_t setting(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    return std::strtoull(value, nullptr, 10);
}

// The counts of one family.
struct tally {
    std::size_t texts = 0;
    std::size_t agree = 0;
    std::map<std::string, std::size_t> knowing; // rule name → texts
    std::size_t disagree = 0;
    std::size_t not_run = 0;
};

// The corpus directory as working directory, for the include files the macro texts name.
class Differential : public ucl_test::in_corpus_directory {};

void print_summary(const std::map<std::string, tally>& families, const tally& total) {
    std::printf("%-26s %7s %7s %7s %8s  knowing differences\n", "family", "texts", "agree",
                "knowing", "disagree");
    auto line = [](const std::string& name, const tally& counts) {
        std::size_t knowing = 0;
        std::string rules;
        for (const auto& [rule, count] : counts.knowing) {
            knowing += count;
            rules += " " + rule + "=" + std::to_string(count);
        }
        std::printf("%-26s %7zu %7zu %7zu %8zu %s\n", name.c_str(), counts.texts, counts.agree,
                    knowing, counts.disagree, rules.c_str());
    };
    for (const auto& [name, counts] : families)
        line(name, counts);
    line("all", total);
    if (total.not_run) std::printf("texts the reference stopped on: %zu\n", total.not_run);
}

TEST_F(Differential, ReaderAgreesWithTheReferenceOnGeneratedTexts) {
    const std::size_t count = setting("QUILLGATE_UCL_DIFF_TEXTS", 10000);
    const std::uint64_t seed = setting("QUILLGATE_UCL_DIFF_SEED", 21);
    const auto texts = ucl_test::generate_texts(seed, count);
    std::vector<std::string> plain;
    for (const auto& text : texts)
        plain.push_back(text.text);
    const auto references = ucl_test::read_batch_with_reference(corpus_, plain);
    ASSERT_EQ(references.size(), texts.size());

    std::map<std::string, tally> families;
    tally total;
    std::size_t shown = 0;
    const char* dump_path = std::getenv("QUILLGATE_UCL_DIFF_DUMP");
    std::ofstream dump;
    if (dump_path != nullptr) dump.open(dump_path, std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto comparison = ucl_test::compare(texts[i].text, references[i]);
        for (tally* counts : {&families[texts[i].family], &total}) {
            ++counts->texts;
            if (comparison.outcome == ucl_test::verdict::agree) ++counts->agree;
            if (comparison.outcome == ucl_test::verdict::knowing)
                ++counts->knowing[comparison.rule];
            if (comparison.outcome == ucl_test::verdict::disagree) ++counts->disagree;
            if (comparison.outcome == ucl_test::verdict::not_run) ++counts->not_run;
        }
        if (comparison.outcome == ucl_test::verdict::disagree && dump.is_open()) {
            dump << "=== " << i << " " << texts[i].family << ": " << comparison.description << "\n"
                 << texts[i].text << "\n--- reference: " << references[i].output << "\n";
        }
        if (comparison.outcome == ucl_test::verdict::disagree && shown++ < 30) {
            ADD_FAILURE() << "text " << i << " (" << texts[i].family
                          << "): " << comparison.description << "\n--- text ---\n"
                          << texts[i].text << "\n--- reference ---\n"
                          << references[i].output;
        }
    }
    print_summary(families, total);
    EXPECT_EQ(total.disagree, 0u) << "seed " << seed << ", " << count << " texts";
    EXPECT_LT(total.not_run, 1 + count / 100) << "the reference stopped on too many texts";
}

} // namespace
