#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct nghttp2_hd_deflater;

namespace vantor {

// Writes HTTP/2 frames and HPACK header blocks: what a client or server would send, for
// tests, benchmarks and seed inputs of the decoder.
class Http2FrameWriter {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    Http2FrameWriter();
    ~Http2FrameWriter();
    Http2FrameWriter(const Http2FrameWriter&) = delete;
    Http2FrameWriter& operator=(const Http2FrameWriter&) = delete;

    // Pieces one after the other. The pieces of a braced list are made in order, where the
    // operands of + are not: header blocks must be made in the order they are sent.
    static std::string Join(std::initializer_list<std::string> pieces);
    // One frame: the 9-byte header and payload.
    static std::string Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                             std::string_view payload);
    // A header block of fields, encoded with this writer's dynamic table (indexed, so that
    // later blocks refer to earlier ones).
    std::string Block(const Fields& fields);
    // A HEADERS frame (END_HEADERS set) of fields.
    std::string Headers(std::uint32_t stream, const Fields& fields, bool endStream);
    static std::string Data(std::uint32_t stream, std::string_view bytes, bool endStream);
    static std::string Settings(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& values);

private:
    nghttp2_hd_deflater* m_deflater = nullptr;
};

}  // namespace vantor
