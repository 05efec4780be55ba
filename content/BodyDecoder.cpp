#include "content/BodyDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <vector>

#include "content/MessageParts.h"
#include "platform/AsciiText.h"

namespace vantor {

namespace {

constexpr std::size_t kStep = 64 * 1024;
constexpr std::size_t kDeepestJson = 512;

// The codings of a list such as "gzip, br", lower-cased, in the order they were applied.
std::vector<std::string> Codings(std::string_view list) {
    std::vector<std::string> codings;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view item = TrimBlanksAndCr(list.substr(0, comma));
        if (!item.empty()) {
            codings.push_back(AsciiLower(TrimBlanksAndCr(item.substr(0, item.find(';')))));
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return codings;
}

// What one step made of its input.
struct Step {
    std::string out;
    std::string problem;     // why it stopped early, or empty
    bool truncated = false;  // the problem is only that the input ends early
    bool cut = false;        // stopped at the limit
};

Step Truncated(Step step, std::string problem) {
    step.problem = std::move(problem);
    step.truncated = true;
    return step;
}

Step Dechunk(std::string_view body, std::size_t limit) {
    Step step;
    std::size_t at = 0;
    while (true) {
        const std::size_t lineEnd = body.find('\n', at);
        if (lineEnd == std::string_view::npos) {
            return Truncated(std::move(step), "the body ends before its last chunk");
        }
        std::size_t size = 0;
        std::size_t digits = 0;
        for (std::size_t i = at; i < lineEnd && HexDigitValue(body[i]) >= 0; ++i, ++digits) {
            if (size > (std::size_t{1} << 40)) {
                step.problem = "a chunk size is out of range";
                return step;
            }
            size = size * 16 + static_cast<std::size_t>(HexDigitValue(body[i]));
        }
        if (digits == 0) {
            step.problem = "a chunk does not begin with its size";
            return step;
        }
        at = lineEnd + 1;
        if (size == 0) {
            return step;  // trailer fields, if any, are not body
        }
        const std::size_t available = std::min(size, body.size() - at);
        const std::size_t room = limit - step.out.size();
        step.out.append(body.substr(at, std::min(available, room)));
        if (available > room) {
            step.cut = true;
            return step;
        }
        if (available < size) {
            return Truncated(std::move(step), "the body ends inside a chunk");
        }
        at += size;
        if (at < body.size() && body[at] == '\r') {
            ++at;
        }
        if (at < body.size() && body[at] == '\n') {
            ++at;
        }
    }
}

// windowBits: 15 + 32 (zlib or gzip, told by the header), or -15 (raw deflate).
Step Inflate(std::string_view input, int windowBits, std::size_t limit) {
    Step step;
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK) {
        step.problem = "the decompressor could not start";
        return step;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(input.size(), UINT32_MAX));
    std::string buffer(kStep, '\0');
    while (true) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t made = buffer.size() - stream.avail_out;
        const std::size_t room = limit - step.out.size();
        step.out.append(buffer.data(), std::min(made, room));
        if (made > room) {
            step.cut = true;
            break;
        }
        if (result == Z_STREAM_END) {
            // gzip allows members back to back.
            if (stream.avail_in > 0 && windowBits > 0 && stream.next_in[0] == 0x1f) {
                inflateReset(&stream);
                continue;
            }
            break;
        }
        if (result == Z_BUF_ERROR && stream.avail_in == 0) {
            step = Truncated(std::move(step), "the compressed body ends early");
            break;
        }
        if (result != Z_OK) {
            step.problem = stream.msg != nullptr ? stream.msg : "the compressed body is corrupt";
            break;
        }
    }
    inflateEnd(&stream);
    return step;
}

Step Brotli(std::string_view input, std::size_t limit) {
    Step step;
    BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (state == nullptr) {
        step.problem = "the decompressor could not start";
        return step;
    }
    std::size_t availableIn = input.size();
    const auto* nextIn = reinterpret_cast<const std::uint8_t*>(input.data());
    std::string buffer(kStep, '\0');
    while (true) {
        std::size_t availableOut = buffer.size();
        auto* nextOut = reinterpret_cast<std::uint8_t*>(buffer.data());
        const BrotliDecoderResult result = BrotliDecoderDecompressStream(
            state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        const std::size_t made = buffer.size() - availableOut;
        const std::size_t room = limit - step.out.size();
        step.out.append(buffer.data(), std::min(made, room));
        if (made > room) {
            step.cut = true;
            break;
        }
        if (result == BROTLI_DECODER_RESULT_SUCCESS) {
            break;
        }
        if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) {
            step = Truncated(std::move(step), "the compressed body ends early");
            break;
        }
        if (result == BROTLI_DECODER_RESULT_ERROR) {
            step.problem = BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state));
            break;
        }
    }
    BrotliDecoderDestroyInstance(state);
    return step;
}

Step Zstd(std::string_view input, std::size_t limit) {
    Step step;
    ZSTD_DStream* stream = ZSTD_createDStream();
    if (stream == nullptr) {
        step.problem = "the decompressor could not start";
        return step;
    }
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    std::string buffer(kStep, '\0');
    std::size_t last = 1;
    while (true) {
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        last = ZSTD_decompressStream(stream, &out, &in);
        if (ZSTD_isError(last) != 0) {
            step.problem = ZSTD_getErrorName(last);
            break;
        }
        const std::size_t room = limit - step.out.size();
        step.out.append(buffer.data(), std::min(out.pos, room));
        if (out.pos > room) {
            step.cut = true;
            break;
        }
        if (in.pos == in.size && out.pos < out.size) {
            if (last != 0) {
                step = Truncated(std::move(step), "the compressed body ends early");
            }
            break;
        }
    }
    ZSTD_freeDStream(stream);
    return step;
}

}  // namespace

DecodedBody DecodeBody(std::string_view body, std::string_view transferEncoding,
                       std::string_view contentEncoding, std::size_t limit) {
    DecodedBody result;
    std::string current(body.substr(0, std::min(body.size(), limit)));
    const bool cutAlready = body.size() > limit;
    const auto transfer = Codings(transferEncoding);
    std::vector<std::string> steps;
    if (!transfer.empty() && transfer.back() == "chunked") {
        steps.push_back("chunked");
    }
    const auto content = Codings(contentEncoding);
    steps.insert(steps.end(), content.rbegin(), content.rend());

    for (const std::string& coding : steps) {
        Step step;
        if (coding == "identity") {
            continue;
        } else if (coding == "chunked") {
            step = Dechunk(body, limit);  // the whole body: chunks may pass the limit's cut
        } else if (coding == "gzip" || coding == "x-gzip") {
            step = Inflate(current, 15 + 32, limit);
        } else if (coding == "deflate") {
            step = Inflate(current, 15 + 32, limit);
            if (!step.problem.empty() && !step.truncated) {
                step = Inflate(current, -15, limit);  // deflate without its zlib wrapper
            }
        } else if (coding == "br") {
            step = Brotli(current, limit);
        } else if (coding == "zstd") {
            step = Zstd(current, limit);
        } else {
            result.notice =
                "The body is shown as it came: its coding '" + coding + "' is not known.";
            break;
        }
        // A corrupt stream is shown as it came; one that ends early, as far as it goes.
        if (!step.problem.empty() && (!step.truncated || step.out.empty())) {
            result.notice = "The body is shown as it came: " + step.problem + ".";
            break;
        }
        current = std::move(step.out);
        result.decoded = true;
        if (step.cut) {
            result.notice = "The decoded body was cut at " + std::to_string(limit) + " bytes.";
            break;
        }
        if (!step.problem.empty()) {
            result.notice = "The body was decoded as far as it goes: " + step.problem + ".";
        }
    }
    if (result.notice.empty() && cutAlready && !result.decoded) {
        result.notice = "The body was cut at " + std::to_string(limit) + " bytes.";
    }
    result.bytes = std::move(current);
    return result;
}

namespace {

// Writes the events of the library's parser straight out, laid out, without building the
// value: numbers keep their own text, strings are escaped again.
class LayOut : public nlohmann::json_sax<nlohmann::json> {
public:
    LayOut(std::string& out, std::size_t most) : m_out(out), m_most(most) {}

    // Whether the layout stopped at its size limit.
    bool full() const { return m_full; }

    bool null() override { return Scalar("null"); }
    bool boolean(bool value) override { return Scalar(value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override { return Integer(value); }
    bool number_unsigned(number_unsigned_t value) override { return Integer(value); }
    bool number_float(number_float_t, const string_t& text) override { return Scalar(text); }
    bool string(string_t& value) override {
        if (Full()) {
            return false;
        }
        Element();
        Quoted(value);
        return true;
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return Open('{'); }
    bool key(string_t& name) override {
        if (Full()) {
            return false;
        }
        Element();
        Quoted(name);
        m_out += ": ";
        m_afterKey = true;
        return true;
    }
    bool end_object() override { return Close('}'); }
    bool start_array(std::size_t) override { return Open('['); }
    bool end_array() override { return Close(']'); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    // Past the limit the rest is not laid out (nor checked): the view shows no more.
    bool Full() {
        m_full = m_out.size() >= m_most;
        return m_full;
    }
    // Before a value or key: a comma after a sibling, a line break and the indent.
    void Element() {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (m_depth == 0) {
            return;
        }
        if (!m_first) {
            m_out += ',';
        }
        m_first = false;
        m_out += '\n';
        m_out.append(2 * m_depth, ' ');
    }
    template <typename Number>
    bool Integer(Number value) {
        char text[24];
        const auto written = std::to_chars(text, text + sizeof text, value);
        return Scalar(std::string_view(text, static_cast<std::size_t>(written.ptr - text)));
    }
    bool Scalar(std::string_view text) {
        if (Full()) {
            return false;
        }
        Element();
        m_out += text;
        return true;
    }
    bool Open(char bracket) {
        if (m_depth == kDeepestJson) {
            return false;  // too deep to lay out: the text is shown as it is
        }
        if (Full()) {
            return false;
        }
        Element();
        m_out += bracket;
        ++m_depth;
        m_first = true;
        return true;
    }
    bool Close(char bracket) {
        if (Full()) {
            return false;
        }
        --m_depth;
        if (!m_first) {
            m_out += '\n';
            m_out.append(2 * m_depth, ' ');
        }
        m_first = false;
        m_out += bracket;
        return true;
    }
    void Quoted(std::string_view text) {
        static constexpr char kHex[] = "0123456789abcdef";
        m_out += '"';
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && c != '"' && c != '\\') {
                m_out += c;
            } else if (byte >= 0x20) {
                m_out += '\\';
                m_out += c;
            } else {
                m_out += "\\u00";
                m_out += kHex[byte >> 4];
                m_out += kHex[byte & 15];
            }
        }
        m_out += '"';
    }

    std::string& m_out;
    std::size_t m_most;
    bool m_full = false;
    std::size_t m_depth = 0;
    bool m_first = true;
    bool m_afterKey = false;
};

}  // namespace

std::string PrettyJson(std::string_view text, std::size_t most) {
    std::string out;
    out.reserve(std::min(text.size() + text.size() / 2, most + 4096));
    LayOut layOut(out, most);
    if (!nlohmann::json::sax_parse(text, &layOut) && !layOut.full()) {
        return {};
    }
    return out;
}

std::string HexDump(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    // "00000000  " + 16 * "xx " + one more space in the middle + " |" + 16 + "|\n"
    constexpr std::size_t kLine = 10 + 16 * 3 + 1 + 2 + 16 + 2;
    std::string out((bytes.size() + 15) / 16 * kLine, ' ');
    char* line = out.data();
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        for (int digit = 7; digit >= 0; --digit) {
            line[7 - digit] = kHex[(at >> (4 * digit)) & 15];
        }
        const std::size_t count = std::min<std::size_t>(16, bytes.size() - at);
        char* text = line + 10 + 16 * 3 + 1 + 1;
        *text++ = '|';
        for (std::size_t i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[at + i]);
            char* hex = line + 10 + 3 * i + (i >= 8 ? 1 : 0);
            hex[0] = kHex[byte >> 4];
            hex[1] = kHex[byte & 15];
            *text++ = byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
        }
        *text++ = '|';
        *text++ = '\n';
        line = text;
    }
    out.resize(static_cast<std::size_t>(line - out.data()));
    return out;
}

bool LooksLikeJson(std::string_view contentType, std::string_view body) {
    if (contentType.find("json") != std::string_view::npos) {
        return true;
    }
    const std::size_t first = body.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && (body[first] == '{' || body[first] == '[');
}

}  // namespace vantor
