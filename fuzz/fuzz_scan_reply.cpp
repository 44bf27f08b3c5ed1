// Fuzz target for the reading of the scanner's reply: parse_scan_reply accepts exactly the texts
// read_json accepts, fails with the same error text, and keeps of the tree exactly the parts the
// verdict reads (the reference cuts read_json's full tree down to them).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/scan_reply_oracle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string difference = scan_reply_oracle::difference(text);
    if (!difference.empty()) {
        std::fprintf(stderr, "scan_reply fuzz: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
