#include "exporters/JsonWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>

namespace vantor {
namespace {

using namespace std::string_view_literals;

TEST(JsonWriterTest, NestsWithCommasWhereTheyBelong) {
    std::string out;
    JsonWriter json(out);
    json.BeginObject();
    json.Field("a", 1);
    json.Key("list");
    json.BeginArray();
    json.BeginObject();
    json.EndObject();
    json.Integer(-7);
    json.Number(2.5);
    json.BeginArray();
    json.EndArray();
    json.EndArray();
    json.Field("yes", true);
    json.Field("text", "x");
    json.EndObject();
    EXPECT_EQ(out, R"({"a":1,"list":[{},-7,2.5,[]],"yes":true,"text":"x"})");
}

TEST(JsonWriterTest, StringsAreEscapedAndAlwaysUtf8) {
    std::string out;
    JsonWriter(out).String("q\"\\\n\r\t\x01 caf\xc3\xa9 \xf0\x9f\x98\x80"sv);
    EXPECT_EQ(out, "\"q\\\"\\\\\\n\\r\\t\\u0001 caf\xc3\xa9 \xf0\x9f\x98\x80\"");
    out.clear();
    JsonWriter(out).String(
        "a\xff"
        "b\xc3"
        "c\xed\xa0\x80"sv);
    EXPECT_EQ(out,
              "\"a\xef\xbf\xbd"
              "b\xef\xbf\xbd"
              "c\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"")
        << "each byte that begins no well-formed sequence becomes U+FFFD";

    // Whatever the bytes, a JSON parser reads back a string.
    std::mt19937 random(13);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(static_cast<std::size_t>(random() % 64), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        out.clear();
        JsonWriter(out).String(bytes);
        EXPECT_TRUE(nlohmann::json::parse(out, nullptr, false).is_string()) << out;
    }
}

}  // namespace
}  // namespace vantor
