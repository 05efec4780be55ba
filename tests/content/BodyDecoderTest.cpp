#include "content/BodyDecoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zstd.h>

#include <random>
#include <string>

#include "CodedBodies.h"

namespace vantor {
namespace {

using testing::HasSubstr;

constexpr std::size_t kLimit = 1 << 20;

using test::Brotli;
using test::Deflated;
using test::Gzip;

std::string Zstd(std::string_view text) {
    std::string out(ZSTD_compressBound(text.size()), '\0');
    const std::size_t size = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
    EXPECT_EQ(ZSTD_isError(size), 0u);
    out.resize(size);
    return out;
}

std::string Chunked(std::string_view text, std::size_t piece) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::string_view part = text.substr(at, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx", part.size());
        out += std::string(size) + (at == 0 ? ";name=value" : "") + "\r\n";
        out += std::string(part) + "\r\n";
    }
    return out + "0\r\nTrailer: x\r\n\r\n";
}

std::string Text() {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "{\"line\": " + std::to_string(i) + ", \"text\": \"caf\xc3\xa9\"}\n";
    }
    return text;
}

TEST(BodyDecoderTest, EachCodingComesOff) {
    const std::string text = Text();
    struct Case {
        const char* coding;
        std::string body;
    };
    for (const Case& coded :
         {Case{"gzip", Gzip(text)}, Case{"x-gzip", Gzip(text)}, Case{"deflate", Deflated(text, 15)},
          Case{"deflate", Deflated(text, -15)}, Case{"br", Brotli(text)}, Case{"zstd", Zstd(text)},
          Case{"identity", text}, Case{"GZip ; q=1", Gzip(text)}}) {
        SCOPED_TRACE(coded.coding);
        const DecodedBody decoded = DecodeBody(coded.body, "", coded.coding, kLimit);
        EXPECT_TRUE(decoded.bytes == text);
        EXPECT_EQ(decoded.notice, "");
    }
    const DecodedBody plain = DecodeBody(text, "", "", kLimit);
    EXPECT_TRUE(plain.bytes == text);
    EXPECT_FALSE(plain.decoded);
}

TEST(BodyDecoderTest, StackedCodingsComeOffLastAppliedFirst) {
    const std::string text = Text();
    const DecodedBody decoded =
        DecodeBody(Chunked(Brotli(Gzip(text)), 1000), "chunked", "gzip, br", kLimit);
    EXPECT_TRUE(decoded.bytes == text);
    EXPECT_EQ(decoded.notice, "");
    EXPECT_TRUE(decoded.decoded);
    // Two gzip members back to back are one body.
    EXPECT_EQ(DecodeBody(Gzip("first ") + Gzip("second"), "", "gzip", kLimit).bytes,
              "first second");
}

TEST(BodyDecoderTest, ChunksWithExtensionsAndTrailersAndBareLineFeeds) {
    EXPECT_EQ(DecodeBody(Chunked("hello, world", 5), "gzip, chunked", "", kLimit).bytes,
              "hello, world");
    EXPECT_EQ(DecodeBody("5\nhello\n0\n\n", "Chunked", "", kLimit).bytes, "hello");
    const DecodedBody notLast = DecodeBody(Chunked("x", 1), "chunked, gzip", "", kLimit);
    EXPECT_FALSE(notLast.decoded) << "chunked must be the last transfer coding";
}

TEST(BodyDecoderTest, ABodyCutShortDecodesAsFarAsItGoes) {
    const std::string text = Text();
    const std::string chunked = Chunked(text, 4096);
    const DecodedBody cutChunks =
        DecodeBody(std::string_view(chunked).substr(0, 10000), "chunked", "", kLimit);
    EXPECT_TRUE(text.starts_with(cutChunks.bytes));
    EXPECT_GT(cutChunks.bytes.size(), 8000u);
    EXPECT_THAT(cutChunks.notice, HasSubstr("as far as it goes"));

    const std::string gzip = Gzip(text);
    const DecodedBody cutGzip =
        DecodeBody(std::string_view(gzip).substr(0, gzip.size() / 2), "", "gzip", kLimit);
    EXPECT_TRUE(text.starts_with(cutGzip.bytes));
    EXPECT_FALSE(cutGzip.bytes.empty());
    EXPECT_THAT(cutGzip.notice, HasSubstr("ends early"));

    const std::string br = Brotli(text);
    EXPECT_THAT(DecodeBody(std::string_view(br).substr(0, br.size() / 2), "", "br", kLimit).notice,
                HasSubstr("ends early"));
    const std::string zstd = Zstd(text);
    EXPECT_THAT(
        DecodeBody(std::string_view(zstd).substr(0, zstd.size() / 2), "", "zstd", kLimit).notice,
        HasSubstr("ends early"));
}

TEST(BodyDecoderTest, CorruptOrUnknownCodingsLeaveTheBodyAsItCameWithOneNotice) {
    std::mt19937 random(3);
    std::string garbage(5000, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random());
    }
    for (const char* coding : {"gzip", "deflate", "br", "zstd"}) {
        SCOPED_TRACE(coding);
        const DecodedBody decoded = DecodeBody(garbage, "", coding, kLimit);
        EXPECT_TRUE(decoded.bytes == garbage);
        EXPECT_THAT(decoded.notice, HasSubstr("shown as it came"));
        EXPECT_EQ(decoded.notice.find('\n'), std::string::npos);
    }
    const DecodedBody unknown = DecodeBody("abc", "", "compress", kLimit);
    EXPECT_EQ(unknown.bytes, "abc");
    EXPECT_EQ(unknown.notice, "The body is shown as it came: its coding 'compress' is not known.");
    EXPECT_THAT(DecodeBody("zz\r\nabc", "chunked", "", kLimit).notice,
                HasSubstr("does not begin with its size"));
}

TEST(BodyDecoderTest, ABombStopsAtTheLimit) {
    const std::string zeros(16 << 20, '\0');
    for (const auto& [coding, body] : {std::pair<std::string, std::string>{"gzip", Gzip(zeros)},
                                       {"br", Brotli(zeros)},
                                       {"zstd", Zstd(zeros)}}) {
        SCOPED_TRACE(coding);
        ASSERT_LT(body.size(), 100'000u) << "a small body";
        const DecodedBody decoded = DecodeBody(body, "", coding, kLimit);
        EXPECT_EQ(decoded.bytes.size(), kLimit);
        EXPECT_EQ(decoded.notice, "The decoded body was cut at 1048576 bytes.");
    }
    // Stacked, each layer small: still no more than the limit.
    const DecodedBody nested = DecodeBody(Gzip(Gzip(zeros)), "", "gzip, gzip", kLimit);
    EXPECT_LE(nested.bytes.size(), kLimit);
}

TEST(PrettyJsonTest, LaysOutJsonAndLeavesEverythingElse) {
    EXPECT_EQ(PrettyJson(R"({"b":[1,2],"a":"x"})"),
              "{\n  \"b\": [\n    1,\n    2\n  ],\n  \"a\": \"x\"\n}");
    EXPECT_EQ(PrettyJson("not json"), "");
    EXPECT_EQ(PrettyJson(R"({"a":1} trailing)"), "");
    EXPECT_EQ(PrettyJson(std::string(100'000, '[') + std::string(100'000, ']')), "")
        << "too deep to lay out, and no crash";
    EXPECT_EQ(PrettyJson("[\"[[[[\"]"), "[\n  \"[[[[\"\n]") << "brackets in strings are text";
    EXPECT_EQ(PrettyJson(R"({"e":{},"a":[],"n":[{}, []]})"),
              "{\n  \"e\": {},\n  \"a\": [],\n  \"n\": [\n    {},\n    []\n  ]\n}");
    EXPECT_EQ(PrettyJson(R"([1.50e3, -0, 18446744073709551615, true, null, "q\"\\\n\u00e9"])"),
              "[\n  1.50e3,\n  0,\n  18446744073709551615,\n  true,\n  null,\n  "
              "\"q\\\"\\\\\\u000a\xc3\xa9\"\n]")
        << "fractions keep their text, integers are written again, strings escaped again";
    EXPECT_EQ(PrettyJson(" 42 "), "42");
    EXPECT_EQ(PrettyJson("\"caf\xc3\""), "") << "not UTF-8";
}

TEST(PrettyJsonTest, PastItsLimitTheLayoutStopsWithWhatItHas) {
    std::string many = "[1";
    for (int i = 2; i <= 1000; ++i) {
        many += "," + std::to_string(i);
    }
    const std::string whole = PrettyJson(many + "]");
    const std::string part = PrettyJson(many + "]", 100);
    EXPECT_GE(part.size(), 100u);
    EXPECT_LT(part.size(), 110u);
    EXPECT_TRUE(whole.starts_with(part));
    EXPECT_EQ(PrettyJson(many + ", oops]", 100), part)
        << "what follows is neither laid out nor read";
    EXPECT_EQ(PrettyJson("[1, oops" + many, 100), "") << "a fault before the limit still shows";
}

TEST(HexDumpTest, SixteenBytesALineWithOffsetsAndText) {
    EXPECT_EQ(HexDump(""), "");
    EXPECT_EQ(HexDump("ABCDEFGHIJKLMNOPQ\x01"),
              "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
              "00000010  51 01                                             |Q.|\n");
}

}  // namespace
}  // namespace vantor
