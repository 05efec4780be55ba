#include "protocol/WebSocketDecoder.h"

#include <algorithm>

namespace vantor {
namespace {

enum Opcode : std::uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

constexpr std::uint8_t kFin = 0x80;
constexpr std::uint8_t kRsv1 = 0x40;  // per-message compression, when negotiated
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::size_t kLargestControlPayload = 125;

std::string_view CloseCodeName(std::uint32_t code) {
    switch (code) {
        case 1000:
            return "normal closure";
        case 1001:
            return "going away";
        case 1002:
            return "protocol error";
        case 1003:
            return "unsupported data";
        case 1007:
            return "invalid payload data";
        case 1008:
            return "policy violation";
        case 1009:
            return "message too big";
        case 1010:
            return "mandatory extension";
        case 1011:
            return "internal error";
        default:
            return {};
    }
}

std::string Bytes(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

}  // namespace

void WebSocketDecoder::Feed(Direction direction, std::span<const std::uint8_t> bytes) {
    Half& half = direction == Direction::Sent ? m_client : m_server;
    while (!bytes.empty()) {
        if (ended() || half.closed) {
            m_sink.Ignored(bytes.size());
            return;
        }
        if (!half.inFrame) {
            if (!ReadHeader(half, bytes)) {
                continue;
            }
            if (half.length == 0) {
                EndFrame(half);
            }
            continue;
        }
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes.size(), half.length - half.read));
        const bool keep =
            half.opcode == kClose ||
            (!half.compressed &&
             (half.opcode == kText || (half.opcode == kContinuation && half.messageIsText)));
        if (keep && half.shown.size() < kShownText) {
            const std::size_t count = std::min(take, kShownText - half.shown.size());
            for (std::size_t i = 0; i < count; ++i) {
                std::uint8_t byte = bytes[i];
                if (half.masked) {
                    byte ^= half.mask[(half.read + i) % 4];
                }
                half.shown.push_back(static_cast<char>(byte));
            }
        }
        half.read += take;
        bytes = bytes.subspan(take);
        if (half.read == half.length) {
            EndFrame(half);
        }
    }
}

bool WebSocketDecoder::ReadHeader(Half& half, std::span<const std::uint8_t>& bytes) {
    // The header is 2 bytes, then 2 or 8 bytes of length, then 4 of mask: how many depends on
    // the first two.
    auto needed = [&]() -> std::size_t {
        if (half.headHave < 2) {
            return 2;
        }
        const unsigned length = half.head[1] & 0x7Fu;
        const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        const std::size_t mask = (half.head[1] & kMaskBit) != 0 ? 4 : 0;
        return 2 + extended + mask;
    };
    while (half.headHave < needed() && !bytes.empty()) {
        half.head[half.headHave++] = bytes.front();
        bytes = bytes.subspan(1);
    }
    if (half.headHave < needed()) {
        return false;
    }
    const auto& head = half.head;
    half.headHave = 0;
    half.fin = (head[0] & kFin) != 0;
    half.compressed = (head[0] & kRsv1) != 0;
    half.opcode = head[0] & 0x0F;
    half.masked = (head[1] & kMaskBit) != 0;
    std::uint64_t length = head[1] & 0x7F;
    std::size_t at = 2;
    if (length == 126) {
        length = (std::uint64_t{head[2]} << 8) | head[3];
        at = 4;
    } else if (length == 127) {
        length = 0;
        for (std::size_t i = 2; i < 10; ++i) {
            length = (length << 8) | head[i];
        }
        at = 10;
        if ((length >> 63) != 0) {
            Stop("a frame length with its highest bit set");
            return false;
        }
    }
    if (half.masked) {
        std::copy_n(head.begin() + static_cast<std::ptrdiff_t>(at), 4, half.mask.begin());
    }
    half.length = length;
    half.read = 0;
    half.shown.clear();
    const std::uint8_t opcode = half.opcode;
    const bool control = (opcode & 0x8) != 0;
    if (opcode != kContinuation && opcode != kText && opcode != kBinary && opcode != kClose &&
        opcode != kPing && opcode != kPong) {
        Stop("a frame of reserved opcode " + std::to_string(opcode));
        return false;
    }
    if (control && (!half.fin || length > kLargestControlPayload)) {
        Stop("a control frame fragmented or over 125 bytes");
        return false;
    }
    if (opcode == kContinuation && !half.inMessage) {
        Stop("a continuation frame outside a fragmented message");
        return false;
    }
    if ((opcode == kText || opcode == kBinary) && half.inMessage) {
        Stop("a new message inside a fragmented one");
        return false;
    }
    if (opcode == kText || opcode == kBinary) {
        half.messageIsText = opcode == kText;
        half.messageCompressed = half.compressed;
    } else if (opcode == kContinuation) {
        half.compressed = half.messageCompressed;
    }
    half.inFrame = true;
    return true;
}

void WebSocketDecoder::EndFrame(Half& half) {
    half.inFrame = false;
    const std::uint8_t opcode = half.opcode;
    std::string line = half.side == Direction::Sent ? "client " : "server ";
    switch (opcode) {
        case kText:
            line += "text";
            break;
        case kBinary:
            line += "binary";
            break;
        case kContinuation:
            line += "continuation";
            break;
        case kClose:
            line += "close";
            break;
        case kPing:
            line += "ping";
            break;
        default:
            line += "pong";
            break;
    }
    const bool data = opcode == kText || opcode == kBinary || opcode == kContinuation;
    if (data) {
        if (opcode != kContinuation && !half.fin) {
            line += " (first fragment)";
        } else if (opcode == kContinuation) {
            line += half.fin ? " (last fragment)" : " (fragment)";
        }
        if (half.compressed) {
            line += " (compressed)";
        }
        half.inMessage = !half.fin;
    }
    line += ", " + Bytes(half.length);
    const bool text = opcode == kText || (opcode == kContinuation && half.messageIsText);
    if (data && text && !half.compressed) {
        line += ": " + half.shown;
        if (half.length > half.shown.size()) {
            line += " [" + Bytes(half.length - half.shown.size()) + " more]";
        }
    } else if (opcode == kClose) {
        const std::string& payload = half.shown;
        if (payload.size() >= 2) {
            const std::uint32_t code = (std::uint32_t{static_cast<std::uint8_t>(payload[0])} << 8) |
                                       static_cast<std::uint8_t>(payload[1]);
            line += ": " + std::to_string(code);
            if (const auto name = CloseCodeName(code); !name.empty()) {
                line += " (" + std::string(name) + ")";
            }
            if (payload.size() > 2) {
                line += " " + payload.substr(2);
            }
        }
        half.closed = true;
    }
    half.shown = {};
    m_sink.Line(line + "\r\n");
}

void WebSocketDecoder::Stop(std::string_view reason) {
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    m_sink.Line("[WebSocket decoding stopped: " + std::string(reason) + "]\r\n");
}

}  // namespace vantor
