#include "exporters/JsonWriter.h"

#include "content/MessageParts.h"

#include <charconv>
#include <cmath>

namespace vantor {

void JsonWriter::Separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back()) {
            m_out += ',';
        }
        m_first.back() = false;
    }
}

void JsonWriter::Open(char bracket) {
    Separate();
    m_out += bracket;
    m_first.push_back(true);
}

void JsonWriter::Close(char bracket) {
    if (!m_first.empty()) {
        m_first.pop_back();
    }
    m_out += bracket;
}

void JsonWriter::Key(std::string_view name) {
    String(name);
    m_out += ':';
    m_afterKey = true;
}

void JsonWriter::String(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    Separate();
    m_out.reserve(m_out.size() + text.size() + 2);
    m_out += '"';
    std::size_t run = 0;  // the start of bytes that go out as they are
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') {
            ++i;
            continue;
        }
        if (byte == '\n') {  // the commonest escape in text bodies: no call for it
            m_out.append(text.substr(run, i - run));
            m_out += "\\n";
            run = ++i;
            continue;
        }
        if (byte >= 0x80) {
            if (const std::size_t length = Utf8SequenceLength(text, i); length != 0) {
                i += length;
                continue;
            }
        }
        m_out.append(text.substr(run, i - run));
        if (byte >= 0x80) {
            m_out += "\xef\xbf\xbd";  // U+FFFD
        } else if (byte == '"' || byte == '\\') {
            m_out += '\\';
            m_out += static_cast<char>(byte);
        } else if (byte == '\n') {
            m_out += "\\n";
        } else if (byte == '\r') {
            m_out += "\\r";
        } else if (byte == '\t') {
            m_out += "\\t";
        } else {
            m_out += "\\u00";
            m_out += kHex[byte >> 4];
            m_out += kHex[byte & 15];
        }
        run = ++i;
    }
    m_out.append(text.substr(run));
    m_out += '"';
}

void JsonWriter::Number(double value) {
    Separate();
    if (!std::isfinite(value)) {
        m_out += '0';
        return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    m_out.append(text, result.ptr);
}

void JsonWriter::Integer(std::int64_t value) {
    Separate();
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    m_out.append(text, result.ptr);
}

void JsonWriter::Bool(bool value) {
    Separate();
    m_out += value ? "true" : "false";
}

}  // namespace vantor
