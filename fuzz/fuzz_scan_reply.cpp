// Fuzz target for the reading of the scanner's reply: parse_scan_reply and each path it may take
// (the public read_json, and the fast reader where it is built) accept exactly the texts
// read_json accepts, fail with the same error text, keep of the tree exactly the parts the
// verdict reads (the reference cuts read_json's full tree down to them), and refuse a reply
// nested deeper than the bound before any recursion runs out of stack.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lmtp_server/fast_reply_reader.hpp"
#include "lmtp_server/reply_reader.hpp"
#include "support/scan_reply_oracle.hpp"

namespace {

// The readers under test, with their names for the report.
struct named_reader {
    const char* name;
    scan_reply_oracle::reader read;
};

const named_reader readers[] = {
    {"parse_scan_reply", parse_scan_reply},
    {"read_reply_with_read_json", read_reply_with_read_json},
#ifdef QUILLGATE_FAST_REPLY_READER
    {"read_reply_fast", read_reply_fast},
#endif
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto want = scan_reply_oracle::read_with_read_json(text);
    for (const auto& reader : readers) {
        const std::string difference =
            scan_reply_oracle::compare(scan_reply_oracle::read_with(reader.read, text), want);
        if (difference.empty()) continue;
        std::fprintf(stderr, "scan_reply fuzz: %s: %s\n", reader.name, difference.c_str());
        std::abort();
    }
    return 0;
}
