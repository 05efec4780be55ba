#include "support/Http2FrameWriter.h"

#include <nghttp2/nghttp2.h>

#include <stdexcept>

namespace vantor {

Http2FrameWriter::Http2FrameWriter() {
    if (nghttp2_hd_deflate_new(&m_deflater, 4096) != 0) {
        throw std::bad_alloc();
    }
}

Http2FrameWriter::~Http2FrameWriter() {
    nghttp2_hd_deflate_del(m_deflater);
}

std::string Http2FrameWriter::Join(std::initializer_list<std::string> pieces) {
    std::string joined;
    for (const std::string& piece : pieces) {
        joined += piece;
    }
    return joined;
}

std::string Http2FrameWriter::Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                                    std::string_view payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame;
    frame.reserve(9 + payload.size());
    frame += static_cast<char>((length >> 16) & 0xFF);
    frame += static_cast<char>((length >> 8) & 0xFF);
    frame += static_cast<char>(length & 0xFF);
    frame += static_cast<char>(type);
    frame += static_cast<char>(flags);
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame += static_cast<char>((stream >> shift) & 0xFF);
    }
    frame += payload;
    return frame;
}

std::string Http2FrameWriter::Block(const Fields& fields) {
    std::vector<nghttp2_nv> list;
    list.reserve(fields.size());
    for (const auto& [name, value] : fields) {
        nghttp2_nv field{};
        field.name = reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data()));
        field.namelen = name.size();
        field.value = reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data()));
        field.valuelen = value.size();
        field.flags = NGHTTP2_NV_FLAG_NONE;
        list.push_back(field);
    }
    std::string block(nghttp2_hd_deflate_bound(m_deflater, list.data(), list.size()), '\0');
    const auto written =
        nghttp2_hd_deflate_hd(m_deflater, reinterpret_cast<std::uint8_t*>(block.data()),
                              block.size(), list.data(), list.size());
    if (written < 0) {
        throw std::runtime_error(nghttp2_strerror(static_cast<int>(written)));
    }
    block.resize(static_cast<std::size_t>(written));
    return block;
}

std::string Http2FrameWriter::Headers(std::uint32_t stream, const Fields& fields, bool endStream) {
    return Frame(0x1, static_cast<std::uint8_t>(0x4 | (endStream ? 0x1 : 0)), stream,
                 Block(fields));
}

std::string Http2FrameWriter::Data(std::uint32_t stream, std::string_view bytes, bool endStream) {
    return Frame(0x0, endStream ? 0x1 : 0, stream, bytes);
}

std::string Http2FrameWriter::Settings(
    const std::vector<std::pair<std::uint16_t, std::uint32_t>>& values) {
    std::string payload;
    for (const auto& [id, value] : values) {
        payload += static_cast<char>(id >> 8);
        payload += static_cast<char>(id & 0xFF);
        for (int shift = 24; shift >= 0; shift -= 8) {
            payload += static_cast<char>((value >> shift) & 0xFF);
        }
    }
    return Frame(0x4, 0, 0, payload);
}

}  // namespace vantor
