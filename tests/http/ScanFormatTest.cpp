#include "http/ScanFormat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace vantor {
namespace {

// What the C library's sscanf gives for each start-line format: the reference the scanners
// must match byte for byte.
struct Reference {
    static std::string Method(const std::string& s) {
        char field[32] = {};
        return std::sscanf(s.c_str(), "%31[^ ]", field) == 1 ? field : "";
    }
    static std::string Uri(const std::string& s) {
        char field[256] = {};
        return std::sscanf(s.c_str(), "%*s%*100[ ]%255[^ ]", field) == 1 ? field : "";
    }
    static std::optional<std::uint32_t> StatusCode(const std::string& s) {
        unsigned code = 0;
        if (std::sscanf(s.c_str(), "%*[^ ]%*[ ]%u", &code) != 1) {
            return std::nullopt;
        }
        return code;
    }
    static std::optional<std::string> Caption(const std::string& s) {
        char field[256] = {};
        if (std::sscanf(s.c_str(), "%*s%*[ ]%255[^\r\n]", field) != 1) {
            return std::nullopt;
        }
        return std::string(field);
    }
};

void ExpectSameAsSscanf(const std::string& s) {
    SCOPED_TRACE(testing::Message() << "input of " << s.size() << " bytes: \"" << s << '"');
    EXPECT_EQ(ScanMethod(s), Reference::Method(s));
    EXPECT_EQ(ScanRequestUri(s), Reference::Uri(s));
    EXPECT_EQ(ScanStatusCode(s), Reference::StatusCode(s));
    EXPECT_EQ(ScanStatusCaption(s), Reference::Caption(s));
}

TEST(ScanFormatTest, TypicalStartLines) {
    EXPECT_EQ(ScanMethod("get /a HTTP/1.1\r\n"), "get");
    EXPECT_EQ(ScanRequestUri("GET /a HTTP/1.1\r\n"), "/a");
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 404 Not Found\r\n"), 404u);
    EXPECT_EQ(ScanStatusCaption("HTTP/1.1 404 Not Found\r\n"), "404 Not Found");
}

TEST(ScanFormatTest, FieldWidthsCutLongFields) {
    const std::string longMethod(40, 'M');
    EXPECT_EQ(ScanMethod(longMethod + " /"), std::string(31, 'M'));

    const std::string uri = "/" + std::string(299, 'u');
    EXPECT_EQ(ScanRequestUri("GET " + uri + " HTTP/1.1"), uri.substr(0, 255));

    const std::string reason(300, 'r');
    EXPECT_EQ(ScanStatusCaption("HTTP/1.1 " + reason), reason.substr(0, 255));
}

TEST(ScanFormatTest, UriNeedsOneToHundredSpacesAfterTheFirstWord) {
    EXPECT_EQ(ScanRequestUri("GET" + std::string(100, ' ') + "/a"), "/a");
    EXPECT_EQ(ScanRequestUri("GET" + std::string(101, ' ') + "/a"), "");
    EXPECT_EQ(ScanRequestUri("GET\r\nHost: a"), "");
    EXPECT_EQ(ScanRequestUri("GET"), "");
    // CR and LF do not end the URI; only a space does.
    EXPECT_EQ(ScanRequestUri("GET /a\r\nHost: x\r\n"), "/a\r\nHost:");
}

TEST(ScanFormatTest, StatusCodeConvertsAsTheCLibraryDoes) {
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 OK"), std::nullopt);
    EXPECT_EQ(ScanStatusCode(" 200 OK"), std::nullopt) << "needs a first word";
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 \r\n 301"), 301u) << "%u skips any white space";
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 -1"), 4294967295u);
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 4294967297"), 1u);
    EXPECT_EQ(ScanStatusCode("HTTP/1.1 99999999999999999999999"), 4294967295u);
}

TEST(ScanFormatTest, ANulByteEndsTheInput) {
    const std::string withNul("GET /a\0b HTTP/1.1", 17);
    EXPECT_EQ(ScanRequestUri(withNul), "/a");
    ExpectSameAsSscanf(withNul);
}

TEST(ScanFormatTest, EdgeInputsMatchSscanf) {
    for (const std::string s : {"", " ", "  ", "\r\n", "A", "A ", " A", "A  B", "A \r\n", "A B C",
                                "HTTP/1.1 +7", "HTTP/1.1 -", "HTTP/1.1 +", "X 0x1F", "X 007",
                                "\tX  \t 5", "X \v5", "HTTP/1.0 200\rOK", "HTTP/1.0 \n200"}) {
        ExpectSameAsSscanf(s);
    }
    ExpectSameAsSscanf("GET" + std::string(100, ' ') + std::string(300, 'x'));
    ExpectSameAsSscanf(std::string(31, 'a') + "b c");
    ExpectSameAsSscanf("HTTP/1.1 18446744073709551616");
    ExpectSameAsSscanf("HTTP/1.1 -18446744073709551615");
}

TEST(ScanFormatTest, RandomInputsMatchSscanf) {
    // Bytes chosen to hit every boundary of the formats: spaces, other white space, digits,
    // signs, line breaks, a NUL, and bytes above 0x7F.
    const std::string alphabet = std::string("  \t\r\n\v0123456789+-/aZ.\xE9\xFF") + '\0';
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int n = length(random); n > 0; --n) {
            s += alphabet[pick(random)];
        }
        ExpectSameAsSscanf(s);
        if (HasFailure()) {
            return;
        }
    }
}

}  // namespace
}  // namespace vantor
