#include "content/MessageParts.h"

#include <gtest/gtest.h>

#include <ctime>

#include "ScopedEnvironment.h"
#include "TestSupport.h"
#include "document/CSnifferDoc.h"

namespace vantor {
namespace {

using namespace std::string_view_literals;

TEST(Base64Test, EncodesTheStandardVectorsAndEveryByte) {
    EXPECT_EQ(Base64(""), "");
    EXPECT_EQ(Base64("f"), "Zg==");
    EXPECT_EQ(Base64("fo"), "Zm8=");
    EXPECT_EQ(Base64("foo"), "Zm9v");
    EXPECT_EQ(Base64("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64("\xff\xfe\x00\x80"sv), "//4AgA==");
}

TEST(Utf8Test, AcceptsWellFormedTextAndRefusesTheRest) {
    EXPECT_TRUE(IsUtf8(""));
    EXPECT_TRUE(IsUtf8("plain ASCII"));
    EXPECT_TRUE(IsUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    EXPECT_FALSE(IsUtf8("\xc3")) << "cut short";
    EXPECT_FALSE(IsUtf8("\xc0\xaf")) << "overlong";
    EXPECT_FALSE(IsUtf8("\xed\xa0\x80")) << "a surrogate";
    EXPECT_FALSE(IsUtf8("\xf4\x90\x80\x80")) << "past U+10FFFF";
    EXPECT_FALSE(IsUtf8("\x80")) << "a continuation byte first";
    EXPECT_FALSE(IsUtf8("\xff"));
    EXPECT_FALSE(IsUtf8("\x1f\x8b\x08\x00"sv)) << "gzip";
}

TEST(IsoLocalTimeTest, CarriesTheOffsetInForceAtThatTime) {
    test::ScopedEnvironment environment;
    environment.Set("TZ", "Europe/Berlin");
    ::tzset();
    EXPECT_EQ(IsoLocalTime(test::At(9, 14, 3, 117)), "2026-12-08T09:14:03.117+01:00");
    SystemTime summer = test::At(23, 59, 59, 999);
    summer.month = 7;
    EXPECT_EQ(IsoLocalTime(summer), "2026-07-08T23:59:59.999+02:00");
    environment.Set("TZ", "America/St_Johns");
    ::tzset();
    EXPECT_EQ(IsoLocalTime(test::At(0, 0, 0, 0)), "2026-12-08T00:00:00.000-03:30");
    environment.Set("TZ", "UTC");
    ::tzset();
    EXPECT_EQ(IsoLocalTime(test::At(12, 0, 0, 5)), "2026-12-08T12:00:00.005+00:00");
}

class MessagePartsTest : public testing::Test {
protected:
    CSnifferDoc document;
};

TEST_F(MessagePartsTest, HeaderFieldsKeepCaseOrderAndJoinContinuationLines) {
    document.NewResponse(test::Header(2, 1, 1),
                         test::Bytes("HTTP/1.1 200 OK\r\nContent-Type:  text/plain \r\n"
                                     "X-Folded: one\r\n  two\r\nSet-Cookie: a=1\r\n"
                                     "Set-Cookie: b=2\r\nnot a field\r\n\r\nbody: not a field"));
    const HTTPMessage& message = *document.messages()[0];
    const auto fields = HeaderFields(message);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0].name, "Content-Type");
    EXPECT_EQ(fields[0].value, "text/plain");
    EXPECT_EQ(fields[1].value, "one two");
    EXPECT_EQ(fields[2].value, "a=1");
    EXPECT_EQ(fields[3].value, "b=2");
    EXPECT_EQ(BodyBytes(message), "body: not a field");
}

TEST_F(MessagePartsTest, TheBodyComesBackWithTheNulBytesTheTextShowsAsSpaces) {
    using namespace std::string_literals;
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    document.NewResponse(test::Header(2, 1, 1), test::Bytes(header + "a\0b"s));
    document.AppendResponse(test::Header(2, 2, 1), test::Bytes("\0\0 c\0"s));
    const HTTPMessage& message = *document.messages()[0];
    EXPECT_EQ(message.text(), header + "a b   c ") << "shown as spaces, as always";
    EXPECT_EQ(BodyBytes(message), "a\0b\0\0 c\0"s) << "a real space stays a space";
    EXPECT_EQ(message.BytesAsTheyCame(header.size() + 1, header.size() + 4), "\0b\0"s);
    EXPECT_EQ(message.BytesAsTheyCame(0, header.size()), header);
}

TEST_F(MessagePartsTest, ExportedBodiesStopAtTheSizeLimit) {
    CaptureRules rules;
    rules.maxResponseKB = 1;
    document.SetCaptureRules(rules);
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    struct Case {
        std::string first;  // the record holding the header
        std::string expected;
        std::size_t leftOut;
    };
    const std::string longHeader = "HTTP/1.1 200 OK\r\nX: " + std::string(2000, 'x') + "\r\n\r\n";
    for (const Case& c :
         {Case{header + std::string(3000, 'a'), std::string(1024 - header.size(), 'a'),
               3000 - (1024 - header.size())},
          Case{header + "small", "small", 0}, Case{longHeader + "body", "", 4}}) {
        document.NewResponse(test::Header(2, 1, 1), test::Bytes(c.first));
        const ExportedBody body = BodyWithinLimit(*document.responses().back());
        EXPECT_EQ(body.bytes, c.expected);
        EXPECT_EQ(body.leftOut, c.leftOut);
        EXPECT_EQ(LeftOutNotice(body).empty(), c.leftOut == 0);
    }
}

TEST_F(MessagePartsTest, AHeaderStillComingHasTheFieldsSoFarAndNoBody) {
    document.NewRequest(test::Header(1, 0, 1),
                        test::Bytes("GET / HTTP/1.1\nHost: h\nAccept: */*\nX-Half"));
    const HTTPMessage& message = *document.messages()[0];
    const auto fields = HeaderFields(message);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "Host");
    EXPECT_EQ(fields[1].value, "*/*");
    EXPECT_EQ(BodyBytes(message), "");
}

}  // namespace
}  // namespace vantor
