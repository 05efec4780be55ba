#include "protocol/Http2Decoder.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <vector>

namespace vantor {
namespace {

enum FrameType : std::uint8_t {
    kData = 0x0,
    kHeaders = 0x1,
    kPriority = 0x2,
    kRstStream = 0x3,
    kSettings = 0x4,
    kPushPromise = 0x5,
    kPing = 0x6,
    kGoAway = 0x7,
    kWindowUpdate = 0x8,
    kContinuation = 0x9,
};

constexpr std::uint8_t kEndStream = 0x1;
constexpr std::uint8_t kAck = 0x1;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint8_t kPadded = 0x8;
constexpr std::uint8_t kPriorityFlag = 0x20;

constexpr std::uint16_t kSettingHeaderTableSize = 0x1;
constexpr std::uint16_t kSettingMaxFrameSize = 0x5;
constexpr std::uint32_t kSmallestMaxFrame = 16384;
constexpr std::uint32_t kLargestMaxFrame = 16777215;
// A SETTINGS frame larger than this is no real peer's.
constexpr std::uint32_t kLargestSettings = 6 * 1024;
// Decoded header text of one block: HPACK lets a short block name long table entries many
// times over.
constexpr std::size_t kLargestHeaderText = 4 << 20;
constexpr std::size_t kGoAwayKept = 8;

std::uint32_t Load32(const char* bytes) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

// Header names and values go into a text of lines: a CR, LF or NUL in them (which no peer
// may send) must not make lines of their own.
void AppendClean(std::string& out, const std::uint8_t* bytes, std::size_t length) {
    const std::size_t start = out.size();
    out.append(reinterpret_cast<const char*>(bytes), length);
    for (std::size_t i = start; i < out.size(); ++i) {
        if (out[i] == '\r' || out[i] == '\n' || out[i] == '\0') {
            out[i] = ' ';
        }
    }
}

std::string_view Side(Direction side) {
    return side == Direction::Sent ? "the client" : "the server";
}

// The name of an HTTP/2 error code, or its number.
std::string Http2ErrorName(std::uint32_t code) {
    static constexpr std::array<std::string_view, 14> kNames = {"NO_ERROR",
                                                                "PROTOCOL_ERROR",
                                                                "INTERNAL_ERROR",
                                                                "FLOW_CONTROL_ERROR",
                                                                "SETTINGS_TIMEOUT",
                                                                "STREAM_CLOSED",
                                                                "FRAME_SIZE_ERROR",
                                                                "REFUSED_STREAM",
                                                                "CANCEL",
                                                                "COMPRESSION_ERROR",
                                                                "CONNECT_ERROR",
                                                                "ENHANCE_YOUR_CALM",
                                                                "INADEQUATE_SECURITY",
                                                                "HTTP_1_1_REQUIRED"};
    if (code < kNames.size()) {
        return std::string(kNames[code]);
    }
    return "error " + std::to_string(code);
}

}  // namespace

Http2Decoder::Http2Decoder(Http2Sink& sink) : m_sink(sink) {
    for (Half* half : {&m_client, &m_server}) {
        if (nghttp2_hd_inflate_new2(&half->inflater, nullptr) != 0) {
            half->inflater = nullptr;
            m_stopped = true;  // out of memory: nothing can be decoded
        }
    }
}

Http2Decoder::~Http2Decoder() {
    for (Half* half : {&m_client, &m_server}) {
        if (half->inflater != nullptr) {
            nghttp2_hd_inflate_del(half->inflater);
        }
    }
}

void Http2Decoder::UpgradedFromHttp1() {
    if (Stream* stream = Open(1)) {
        stream->requestStarted = true;
        stream->clientEnded = true;
    }
}

void Http2Decoder::Stop(std::string_view reason) {
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    m_streams.clear();
    for (Half* half : {&m_client, &m_server}) {
        half->payload = {};
        half->block = {};
    }
    m_sink.Stopped("[HTTP/2 decoding stopped: " + std::string(reason) + "]");
}

Http2Decoder::Stream* Http2Decoder::Find(std::uint32_t stream) {
    const auto found = m_streams.find(stream);
    return found == m_streams.end() ? nullptr : &found->second;
}

Http2Decoder::Stream* Http2Decoder::Open(std::uint32_t stream) {
    if (Stream* found = Find(stream)) {
        return found;
    }
    if (m_streams.size() >= kMostOpenStreams) {
        Stop("more than " + std::to_string(kMostOpenStreams) + " streams open at once");
        return nullptr;
    }
    return &m_streams[stream];
}

void Http2Decoder::EndStream(std::uint32_t id, Direction side) {
    Stream* stream = Find(id);
    if (stream == nullptr) {
        return;
    }
    (side == Direction::Sent ? stream->clientEnded : stream->serverEnded) = true;
    if (stream->clientEnded && stream->serverEnded) {
        Close(id);
    }
}

void Http2Decoder::Close(std::uint32_t id) {
    m_streams.erase(id);
    m_sink.Closed(id);
}

void Http2Decoder::Feed(Direction direction, std::span<const std::uint8_t> bytes) {
    Half& half = direction == Direction::Sent ? m_client : m_server;
    if (half.FromClient() && !m_stopped) {
        ReadPreface(half, bytes);
    }
    while (!bytes.empty() && !m_stopped) {
        if (!half.inFrame) {
            const std::size_t take = std::min(bytes.size(), half.head.size() - half.headHave);
            std::copy_n(bytes.begin(), take, half.head.begin() + half.headHave);
            half.headHave += take;
            bytes = bytes.subspan(take);
            if (half.headHave == half.head.size()) {
                half.headHave = 0;
                BeginFrame(half);
            }
            continue;
        }
        if (half.type == kData) {
            ReadData(half, bytes);
            continue;
        }
        const std::size_t take = std::min<std::size_t>(bytes.size(), half.left);
        const std::size_t read = half.length - half.left;
        if (read < half.payloadKept) {
            const std::size_t keep = std::min(take, half.payloadKept - read);
            half.payload.append(reinterpret_cast<const char*>(bytes.data()), keep);
        }
        half.left -= static_cast<std::uint32_t>(take);
        bytes = bytes.subspan(take);
        if (half.left == 0) {
            EndFrame(half);
        }
    }
}

void Http2Decoder::ReadPreface(Half& half, std::span<const std::uint8_t>& bytes) {
    while (half.prefaceMatched < kPreface.size() && !bytes.empty()) {
        if (static_cast<char>(bytes.front()) != kPreface[half.prefaceMatched]) {
            Stop("the client's connection preface is not HTTP/2's");
            return;
        }
        ++half.prefaceMatched;
        bytes = bytes.subspan(1);
    }
}

bool Http2Decoder::BeginFrame(Half& half) {
    const auto& head = half.head;
    half.length = (std::uint32_t{head[0]} << 16) | (std::uint32_t{head[1]} << 8) | head[2];
    half.type = head[3];
    half.flags = head[4];
    half.stream = Load32(reinterpret_cast<const char*>(head.data() + 5)) & 0x7FFFFFFFu;
    const std::uint32_t length = half.length;
    const std::uint8_t type = half.type;
    const std::uint32_t stream = half.stream;
    std::string fault;
    if (length > half.maxFrame) {
        fault = "a frame of " + std::to_string(length) + " bytes from " +
                std::string(Side(half.side)) + ", over its peer's limit of " +
                std::to_string(half.maxFrame);
    } else if (half.inBlock && (type != kContinuation || stream != half.blockStream)) {
        fault = "a header block interrupted by another frame";
    } else if (!half.inBlock && type == kContinuation) {
        fault = "a CONTINUATION frame outside a header block";
    } else if ((type == kData || type == kHeaders || type == kPriority || type == kRstStream ||
                type == kPushPromise || type == kContinuation) &&
               stream == 0) {
        fault = "a stream frame on stream 0";
    } else if ((type == kSettings || type == kPing || type == kGoAway) && stream != 0) {
        fault = "a connection frame on a stream";
    } else if (type == kSettings &&
               ((half.flags & kAck) != 0 ? length != 0
                                         : length % 6 != 0 || length > kLargestSettings)) {
        fault = "a SETTINGS frame of " + std::to_string(length) + " bytes";
    } else if ((type == kPing && length != 8) || (type == kRstStream && length != 4) ||
               (type == kWindowUpdate && length != 4) || (type == kPriority && length != 5) ||
               (type == kGoAway && length < 8)) {
        fault = "a control frame of the wrong size";
    } else if (type == kPushPromise && half.FromClient()) {
        fault = "a PUSH_PROMISE from the client";
    } else if ((type == kHeaders || type == kPushPromise || type == kContinuation) &&
               half.block.size() + length > kLargestHeaderBlock) {
        fault = "a header block over " + std::to_string(kLargestHeaderBlock) + " bytes";
    } else if (type == kData && (half.flags & kPadded) != 0 && length == 0) {
        fault = "a padded DATA frame without its pad length";
    }
    if (!fault.empty()) {
        Stop(fault);
        return false;
    }
    half.inFrame = true;
    half.left = length;
    half.dataReady = false;
    half.payload.clear();
    switch (type) {
        case kGoAway:
            half.payloadKept = kGoAwayKept;
            break;
        case kHeaders:
        case kPushPromise:
        case kContinuation:
        case kSettings:
        case kRstStream:
            half.payloadKept = length;
            break;
        default:  // PING, PRIORITY, WINDOW_UPDATE, unknown types: read past
            half.payloadKept = 0;
            break;
    }
    if (length == 0) {
        EndFrame(half);
    }
    return true;
}

void Http2Decoder::ReadData(Half& half, std::span<const std::uint8_t>& bytes) {
    if (!half.dataReady) {
        std::uint32_t padding = 0;
        if ((half.flags & kPadded) != 0) {
            padding = bytes.front();
            bytes = bytes.subspan(1);
            --half.left;
            if (padding > half.left) {
                Stop("padding longer than its DATA frame");
                return;
            }
        }
        half.dataLeft = half.left - padding;
        half.dataReady = true;
    }
    const std::size_t take = std::min<std::size_t>(bytes.size(), half.dataLeft);
    if (take > 0) {
        const Stream* stream = Find(half.stream);
        if (stream != nullptr &&
            (half.FromClient() ? stream->requestStarted : stream->responseStarted)) {
            m_sink.More(half.stream, half.side,
                        {reinterpret_cast<const char*>(bytes.data()), take});
        }
        half.dataLeft -= static_cast<std::uint32_t>(take);
        half.left -= static_cast<std::uint32_t>(take);
        bytes = bytes.subspan(take);
    }
    if (half.dataLeft == 0) {
        const std::size_t padding = std::min<std::size_t>(bytes.size(), half.left);
        half.left -= static_cast<std::uint32_t>(padding);
        bytes = bytes.subspan(padding);
    }
    if (half.left == 0 && !m_stopped) {
        EndFrame(half);
    }
}

void Http2Decoder::EndFrame(Half& half) {
    half.inFrame = false;
    switch (half.type) {
        case kData:
            if ((half.flags & kEndStream) != 0) {
                EndStream(half.stream, half.side);
            }
            break;
        case kHeaders:
        case kPushPromise:
            OnHeaders(half);
            break;
        case kContinuation:
            OnContinuation(half);
            break;
        case kSettings:
            OnSettings(half);
            break;
        case kRstStream:
            OnRstStream(half);
            break;
        case kGoAway:
            OnGoAway(half);
            break;
        default:
            break;
    }
    if (half.payload.capacity() > kSmallestMaxFrame) {
        half.payload = {};
    } else {
        half.payload.clear();
    }
}

void Http2Decoder::OnHeaders(Half& half) {
    const std::string& payload = half.payload;
    std::size_t position = 0;
    std::size_t padding = 0;
    if ((half.flags & kPadded) != 0) {
        if (payload.empty()) {
            Stop("a padded frame without its pad length");
            return;
        }
        padding = static_cast<std::uint8_t>(payload[0]);
        position = 1;
    }
    if (half.type == kHeaders && (half.flags & kPriorityFlag) != 0) {
        position += 5;
    }
    std::uint32_t promised = 0;
    if (half.type == kPushPromise) {
        if (position + 4 <= payload.size()) {
            promised = Load32(payload.data() + position) & 0x7FFFFFFFu;
        }
        position += 4;
    }
    if (position + padding > payload.size()) {
        Stop("padding longer than its frame");
        return;
    }
    half.inBlock = true;
    half.blockStream = half.stream;
    half.blockEndStream = half.type == kHeaders && (half.flags & kEndStream) != 0;
    half.blockPromise = half.type == kPushPromise;
    half.promised = promised;
    half.block.assign(payload, position, payload.size() - position - padding);
    if ((half.flags & kEndHeaders) != 0) {
        OnHeaderBlock(half);
    }
}

void Http2Decoder::OnContinuation(Half& half) {
    half.block.append(half.payload);
    if ((half.flags & kEndHeaders) != 0) {
        OnHeaderBlock(half);
    }
}

void Http2Decoder::OnHeaderBlock(Half& half) {
    half.inBlock = false;
    const std::string block = std::move(half.block);
    half.block = {};
    const std::uint32_t id = half.blockStream;
    const bool fromClient = half.FromClient();
    const Stream* known = Find(id);
    const bool trailers = !half.blockPromise && known != nullptr &&
                          (fromClient ? known->requestStarted : known->responseFinal);
    const bool request = fromClient || half.blockPromise;
    bool interim = false;
    std::string text;
    if (!Inflate(half, block, request && !trailers, trailers, interim, text)) {
        return;
    }
    if (half.blockPromise) {
        if (half.promised == 0) {
            Stop("a PUSH_PROMISE of stream 0");
            return;
        }
        Stream* promised = Open(half.promised);
        if (promised == nullptr) {
            return;
        }
        promised->requestStarted = true;
        promised->clientEnded = true;
        m_sink.Request(half.promised, text);
        return;
    }
    if (trailers) {
        m_sink.More(id, half.side, text);
    } else {
        Stream* stream = Open(id);
        if (stream == nullptr) {
            return;
        }
        if (fromClient) {
            stream->requestStarted = true;
            m_sink.Request(id, text);
        } else {
            stream->responseStarted = true;
            stream->responseFinal = stream->responseFinal || !interim;
            m_sink.Response(id, text);
        }
    }
    if (half.blockEndStream) {
        EndStream(id, half.side);
    }
}

bool Http2Decoder::Inflate(Half& half, std::string_view block, bool request, bool trailers,
                           bool& interim, std::string& text) {
    std::string method;
    std::string path;
    std::string authority;
    std::string status;
    std::string fields;
    bool hasHost = false;
    const auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
    std::size_t left = block.size();
    std::size_t decoded = 0;
    for (;;) {
        nghttp2_nv field;
        int flags = 0;
        const auto used = nghttp2_hd_inflate_hd2(half.inflater, &field, &flags, in, left, 1);
        if (used < 0) {
            Stop(std::string("a header block HPACK cannot decode (") +
                 nghttp2_strerror(static_cast<int>(used)) + ")");
            return false;
        }
        in += used;
        left -= static_cast<std::size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
            decoded += field.namelen + field.valuelen;
            if (decoded > kLargestHeaderText) {
                Stop("a header block over " + std::to_string(kLargestHeaderText) +
                     " bytes once decoded");
                return false;
            }
            const std::string_view name(reinterpret_cast<const char*>(field.name), field.namelen);
            std::string* pseudo = nullptr;
            if (name == ":method") {
                pseudo = &method;
            } else if (name == ":path") {
                pseudo = &path;
            } else if (name == ":authority") {
                pseudo = &authority;
            } else if (name == ":status") {
                pseudo = &status;
            }
            if (pseudo != nullptr && !trailers) {
                pseudo->clear();
                AppendClean(*pseudo, field.value, field.valuelen);
            } else if (!name.starts_with(':')) {
                hasHost = hasHost || name == "host";
                AppendClean(fields, field.name, field.namelen);
                fields += ": ";
                AppendClean(fields, field.value, field.valuelen);
                fields += "\r\n";
            }
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
            nghttp2_hd_inflate_end_headers(half.inflater);
            break;
        }
        if (used == 0 && (flags & NGHTTP2_HD_INFLATE_EMIT) == 0) {
            Stop("a header block that ends inside a field");
            return false;
        }
    }
    if (trailers) {
        text = "\r\n" + fields;
    } else if (request) {
        const std::string& target = !path.empty() ? path : !authority.empty() ? authority : "*";
        text = method + " " + target + " HTTP/2\r\n";
        if (!authority.empty() && !hasHost) {
            text += "Host: " + authority + "\r\n";
        }
        text += fields + "\r\n";
    } else {
        interim = status.size() == 3 && status[0] == '1' && status != "101";
        text = "HTTP/2 " + status + "\r\n" + fields + "\r\n";
    }
    return true;
}

void Http2Decoder::OnSettings(Half& half) {
    if ((half.flags & kAck) != 0) {
        return;
    }
    // What one side announces bounds what the other sends.
    Half& other = Other(half);
    const std::string& payload = half.payload;
    for (std::size_t at = 0; at + 6 <= payload.size(); at += 6) {
        const auto id = static_cast<std::uint16_t>((static_cast<std::uint8_t>(payload[at]) << 8) |
                                                   static_cast<std::uint8_t>(payload[at + 1]));
        const std::uint32_t value = Load32(payload.data() + at + 2);
        if (id == kSettingHeaderTableSize) {
            const std::size_t size = std::min<std::size_t>(value, kLargestHeaderTable);
            if (nghttp2_hd_inflate_change_table_size(other.inflater, size) != 0) {
                Stop("a header table size HPACK cannot take");
                return;
            }
        } else if (id == kSettingMaxFrameSize) {
            if (value < kSmallestMaxFrame || value > kLargestMaxFrame) {
                Stop("a frame size limit of " + std::to_string(value));
                return;
            }
            other.maxFrame = value;
        }
    }
}

void Http2Decoder::OnRstStream(Half& half) {
    const std::uint32_t id = half.stream;
    const Stream* stream = Find(id);
    if (stream == nullptr) {
        return;
    }
    const std::string notice = "\r\n[HTTP/2: stream reset by " + std::string(Side(half.side)) +
                               ", " + Http2ErrorName(Load32(half.payload.data())) + "]\r\n";
    if (stream->requestStarted) {
        m_sink.More(id, Direction::Sent, notice);
    }
    if (stream->responseStarted) {
        m_sink.More(id, Direction::Received, notice);
    }
    Close(id);
}

void Http2Decoder::OnGoAway(Half& half) {
    // Streams the sender of GOAWAY had not begun to process never will be: they end here.
    const std::uint32_t last = Load32(half.payload.data()) & 0x7FFFFFFFu;
    const std::uint32_t code = Load32(half.payload.data() + 4);
    std::vector<std::uint32_t> unprocessed;
    for (const auto& [id, stream] : m_streams) {
        const bool startedByOther = ((id & 1u) == 1u) != half.FromClient();
        if (id > last && startedByOther) {
            unprocessed.push_back(id);
        }
    }
    std::sort(unprocessed.begin(), unprocessed.end());
    const std::string notice = "\r\n[HTTP/2: not processed; " + std::string(Side(half.side)) +
                               " is going away, " + Http2ErrorName(code) + "]\r\n";
    for (const std::uint32_t id : unprocessed) {
        const Stream stream = m_streams[id];
        if (stream.requestStarted) {
            m_sink.More(id, Direction::Sent, notice);
        }
        if (stream.responseStarted) {
            m_sink.More(id, Direction::Received, notice);
        }
        Close(id);
    }
}

}  // namespace vantor
