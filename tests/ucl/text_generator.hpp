// A seeded generator of UCL texts for comparing the reader with the reference parser: each text
// is built for one family of the language (escapes, single quotes, suffixes, hexadecimal numbers,
// variables, comments, heredocs, keys, macros, the text after the top level) or is a mutation of
// a valid configuration. The same seed gives the same texts on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ucl_test {

// One generated text and the family it was built for.
struct generated_text {
    std::string family;
    std::string text;
};

// A small random source whose sequence depends on the seed alone (splitmix64).
class random_source {
  public:
    explicit random_source(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    std::size_t below(std::size_t bound); // 0 to bound - 1
    bool chance(unsigned percent);
    template <typename T, std::size_t N> const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

  private:
    std::uint64_t state_;
};

// The families the generator knows, in the order it cycles through them.
const std::vector<std::string_view>& generator_families();

// `count` texts from `seed`, the families taken in turn.
std::vector<generated_text> generate_texts(std::uint64_t seed, std::size_t count);

} // namespace ucl_test
