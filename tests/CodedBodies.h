#pragma once

#include <brotli/encode.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::test {

// Bodies under content codings, made with the encoders. windowBits as deflateInit2 takes them:
// 15 + 16 gzip, 15 zlib, -15 raw deflate.
inline std::string Deflated(std::string_view text, int windowBits) {
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline std::string Gzip(std::string_view text) {
    return Deflated(text, 15 + 16);
}

inline std::string Brotli(std::string_view text) {
    std::string out(BrotliEncoderMaxCompressedSize(text.size()) + 64, '\0');
    std::size_t size = out.size();
    BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, text.size(),
                          reinterpret_cast<const std::uint8_t*>(text.data()), &size,
                          reinterpret_cast<std::uint8_t*>(out.data()));
    out.resize(size);
    return out;
}

}  // namespace vantor::test
