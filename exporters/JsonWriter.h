#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vantor {

// JSON written straight into a string, for exports of many megabytes: no value is built first.
// Strings are escaped in runs; bytes that are not UTF-8 become U+FFFD, so that the output is
// always valid JSON in UTF-8.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : m_out(out) {}

    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    // The next value's name, inside an object.
    void Key(std::string_view name);
    void String(std::string_view text);
    void Number(double value);
    void Integer(std::int64_t value);
    void Bool(bool value);

    // Key and value in one.
    template <typename Value>
    void Field(std::string_view name, const Value& value);

private:
    void Open(char bracket);
    void Close(char bracket);
    // A comma before every element but the first of its object or array.
    void Separate();

    std::string& m_out;
    std::vector<bool> m_first;  // per open object or array: nothing written in it yet
    bool m_afterKey = false;
};

template <typename Value>
void JsonWriter::Field(std::string_view name, const Value& value) {
    Key(name);
    if constexpr (std::is_same_v<Value, bool>) {
        Bool(value);
    } else if constexpr (std::is_integral_v<Value>) {
        Integer(static_cast<std::int64_t>(value));
    } else if constexpr (std::is_floating_point_v<Value>) {
        Number(value);
    } else {
        String(value);
    }
}

}  // namespace vantor
