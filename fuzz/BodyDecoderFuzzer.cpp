// Bodies from anywhere, under any codings: decoding never reads out of bounds, never makes more
// than its limit, and laying out or dumping what came out never crashes.
//
// Input: one byte choosing the codings, then the body.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "content/BodyDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static constexpr std::string_view kContent[] = {"",     "gzip",     "deflate",        "br",
                                                    "zstd", "gzip, br", "identity, zstd", "x-gzip"};
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view transfer = (data[0] & 8) != 0 ? "chunked" : "";
    constexpr std::size_t kLimit = 1 << 20;
    const vantor::DecodedBody decoded =
        vantor::DecodeBody(body, transfer, kContent[data[0] & 7], kLimit);
    if (decoded.bytes.size() > kLimit) {
        std::abort();
    }
    vantor::PrettyJson(decoded.bytes);
    vantor::PrettyJson(body);
    vantor::HexDump(decoded.bytes.substr(0, 4096));
    return 0;
}
