#include <gtest/gtest.h>

#include "http/MessageTestSupport.h"

namespace vantor {
namespace {

class FindTextTest : public testing::Test {
protected:
    // Header of 45 bytes, then the body.
    std::unique_ptr<HTTPResponse> message = test::Fed<HTTPResponse>(
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nThe cat sat; cats2 CAT"});
};

TEST_F(FindTextTest, FindsFromStartAndIgnoresCaseUnlessAsked) {
    EXPECT_EQ(message->FindText("cat", 0, false, false, false), 49);
    EXPECT_EQ(message->FindText("CAT", 0, false, true, false), 64);
    EXPECT_EQ(message->FindText("cat", 50, false, false, false), 58);
    EXPECT_EQ(message->FindText("dog", 0, false, false, false), -1);
}

TEST_F(FindTextTest, WholeWordSkipsMatchesInsideWords) {
    EXPECT_EQ(message->FindText("cat", 0, false, false, true), 49);
    EXPECT_EQ(message->FindText("cats", 0, false, false, true), -1) << "followed by a digit";
    EXPECT_EQ(message->FindText("CAT", 0, false, true, true), 64) << "end of text is a boundary";
    EXPECT_EQ(message->FindText("at", 0, false, false, true), -1);
    EXPECT_EQ(message->FindText("sat", 0, false, false, true), 53) << "followed by ';'";
}

TEST_F(FindTextTest, HeaderOnlyStopsAtTheHeaderEnd) {
    EXPECT_EQ(message->FindText("text/plain", 0, true, false, false), 31);
    EXPECT_EQ(message->FindText("cat", 0, true, false, false), -1);
    EXPECT_EQ(message->FindText("\r\n\r\n", 0, true, false, false), 41);
}

TEST_F(FindTextTest, HeaderOnlyOnAnIncompleteHeaderLeavesOutTheLastByte) {
    auto partial = test::Fed<HTTPRequest>({"GET /abc"});
    EXPECT_EQ(partial->FindText("ab", 0, true, false, false), 5);
    EXPECT_EQ(partial->FindText("abc", 0, true, false, false), -1);
    EXPECT_EQ(partial->FindText("abc", 0, false, false, false), 5);
}

TEST_F(FindTextTest, StartBeyondTheTextFindsNothing) {
    const auto size = static_cast<std::int64_t>(message->text().size());
    EXPECT_EQ(message->FindText("T", size - 1, false, true, false), size - 1);
    EXPECT_EQ(message->FindText("T", size, false, true, false), -1);
    EXPECT_EQ(message->FindText("", size, false, true, false), -1);
    auto empty = test::Fed<HTTPRequest>({""});
    EXPECT_EQ(empty->FindText("", 0, false, false, false), -1);
}

}  // namespace
}  // namespace vantor
