#include "ui/CSnifferView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>

#include "CodedBodies.h"
#include "ui/FindDialogPlacement.h"
#include "ui/ViewsTestSupport.h"

namespace vantor {
namespace {

using test::Get;
using test::Status;

class CSnifferViewTest : public testing::Test, protected test::ViewsFixture {
protected:
    void Select(std::size_t index) { tree.Click(tree.TopLevel().at(index)); }
};

TEST_F(CSnifferViewTest, StartsEmptyBlackReadOnlyAndWithoutWrapping) {
    EXPECT_EQ(right.currentMessage(), nullptr);
    EXPECT_EQ(text.Text(), "");
    EXPECT_TRUE(text.readOnly());
    EXPECT_FALSE(text.wordWrap());
    EXPECT_FALSE(right.CanFind());
    EXPECT_FALSE(right.CanFindNext());
    EXPECT_FALSE(right.CanCopy());
}

TEST_F(CSnifferViewTest, TheShownMessageFollowsItsNewDataOthersDoNot) {
    Send(1, Get("/a"));
    Receive(1, "HTTP/1.1 200 OK\r\n");
    Send(2, Get("/b"));
    Select(1);
    EXPECT_EQ(text.Text(), "HTTP/1.1 200 OK\r\n");
    const int calls = text.setTextCalls;
    SendMore(2, "more of b");
    EXPECT_EQ(text.setTextCalls, calls) << "another message grew";
    ReceiveMore(1, "Content-Type: text/plain\r\n\r\nbody");
    EXPECT_EQ(text.Text(), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nbody");
}

TEST_F(CSnifferViewTest, SelectingTheShownMessageAgainKeepsSelectionAndText) {
    Send(1, Get("/a"));
    Select(0);
    text.SetSelection(2, 5);
    const int calls = text.setTextCalls;
    document.UpdateAllViews(&left, HINT_DATA, document.messages()[0].get());
    EXPECT_EQ(text.setTextCalls, calls);
    EXPECT_EQ(text.Selection(), (std::pair<std::size_t, std::size_t>{2, 5}));
}

TEST_F(CSnifferViewTest, ViewOptionsRedrawWithTheBodySettingsThenInForce) {
    const int calls = text.setTextCalls;
    document.UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    EXPECT_EQ(text.setTextCalls, calls) << "no current message: nothing";
    Send(1, Get("/a"));
    Receive(1, Status(200, "text/plain", "the body"));
    Select(1);
    EXPECT_EQ(text.Text(), Status(200, "text/plain", "the body"));
    Preferences().show_res_body = false;
    document.UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    EXPECT_EQ(text.Text(), Status(200, "text/plain") + "Body skipped. See View->Options...");
}

TEST_F(CSnifferViewTest, DecodedBodiesAreShownAndSearchedButTheTextStaysAsItCame) {
    const std::string header =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n\r\n";
    const std::string raw = header + test::Gzip(R"({"name":"caf\u00e9","list":[1,2]})");
    Preferences().allowed_content = R"("text/" "application/json")";
    Preferences().ParseContentTypes();
    document.SetCaptureRules(CaptureRules::From(Preferences()));
    Preferences().decoded_body = false;
    Send(1, Get("/a"));
    Receive(1, raw);
    Select(1);
    std::string stored = raw;  // the text shows NUL bytes as spaces
    std::replace(stored.begin(), stored.end(), '\0', ' ');
    EXPECT_EQ(text.Text(), stored) << "switched off: as it came";

    Preferences().decoded_body = true;
    document.UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    EXPECT_EQ(text.Text(),
              header + "{\n  \"name\": \"caf\xc3\xa9\",\n  \"list\": [\n    1,\n    2\n  ]\n}");
    EXPECT_TRUE(right.Find("\"list\"", true, false)) << "Find searches what is shown";
    EXPECT_EQ(document.messages()[1]->text(), stored) << "the message's text is unchanged";

    // More of the body redraws it decoded again.
    const std::string plain = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nplain text";
    Send(2, Get("/b"));
    Receive(2, plain);
    Select(3);
    EXPECT_EQ(text.Text(), plain) << "text that needs no decoding is shown as it is";

    Preferences().decoded_body = false;
    document.UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    EXPECT_EQ(text.Text(), plain);
}

TEST_F(CSnifferViewTest, UndecodableBodiesShowAsTheyCameWithANoticeAndBinaryAsHex) {
    Preferences().decoded_body = true;
    const std::string corrupt =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: br\r\n\r\n\x01\x02zz";
    Send(1, Get("/a"));
    Receive(1, corrupt);
    Select(1);
    EXPECT_TRUE(text.Text().starts_with(corrupt + "\n")) << text.Text();
    EXPECT_NE(text.Text().find("The body is shown as it came"), std::string::npos);
    EXPECT_EQ(text.Text().find('\n', corrupt.size() + 1), text.Text().size() - 1)
        << "one notice line";

    const std::string binaryHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    Send(2, Get("/b"));
    Receive(2, binaryHeader + std::string("\x89PNG\r\n\x1a\n", 8));
    Select(3);
    EXPECT_EQ(text.Text(), binaryHeader +
                               "00000000  89 50 4e 47 0d 0a 1a 0a                           "
                               "|.PNG....|\n");
}

TEST_F(CSnifferViewTest, BytesThatWereNotCapturedAreToldDecodedOrNot) {
    const std::string cut = Status(200, "text/plain", "the first part");
    Preferences().decoded_body = false;
    Send(1, Get("/a"));
    Receive(1, cut);
    document.NoteMissingBytes(1, Direction::Received, 1448);
    Select(1);
    const std::string notice =
        "1448 bytes that followed were not captured: the message may be incomplete.";
    EXPECT_EQ(text.Text(), cut + "\n" + notice);
    Preferences().decoded_body = true;
    document.UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    EXPECT_EQ(text.Text(), cut + "\n" + notice + "\n");
    EXPECT_EQ(document.messages()[1]->text(), cut) << "the message's text is unchanged";
}

TEST_F(CSnifferViewTest, ARebuildEmptiesTheViewEvenWhenTheMessageStays) {
    Send(1, Get("/a"));
    Select(0);
    document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    EXPECT_EQ(right.currentMessage(), nullptr);
    EXPECT_EQ(text.Text(), "");
    EXPECT_FALSE(right.CanFind());
}

TEST_F(CSnifferViewTest, RedrawsOfAGrowingMessageCanWaitButAlwaysCatchUp) {
    std::vector<std::function<void()>> scheduled;
    right.SetRedrawScheduler(
        [&](std::function<void()> redraw) { scheduled.push_back(std::move(redraw)); });
    Send(1, Get("/a"));
    Receive(1, "HTTP/1.1 200 OK\r\n\r\n");
    Select(1);
    const int calls = text.setTextCalls;
    for (int i = 0; i < 100; ++i) {
        ReceiveMore(1, "x");
    }
    EXPECT_EQ(text.setTextCalls, calls) << "nothing redrawn per record";
    ASSERT_EQ(scheduled.size(), 1u) << "one redraw waits for all of them";
    scheduled[0]();
    EXPECT_EQ(text.Text(), "HTTP/1.1 200 OK\r\n\r\n" + std::string(100, 'x'));
    ReceiveMore(1, "y");
    ASSERT_EQ(scheduled.size(), 2u);
    Select(0);  // the selection moves on before the redraw runs
    text.SetSelection(0, 3);
    const int afterSelecting = text.setTextCalls;
    scheduled[1]();
    EXPECT_EQ(text.Text(), Get("/a"));
    EXPECT_EQ(text.setTextCalls, afterSelecting) << "what was selected is left as it is";
    EXPECT_EQ(text.Selection(), (std::pair<std::size_t, std::size_t>{0, 3}));
    ReceiveMore(1, "z");
    EXPECT_EQ(scheduled.size(), 2u) << "the grown message is no longer shown";
}

TEST_F(CSnifferViewTest, AGrowingBodyIsAppendedWhereItCanBeAndShownAnewWhereItCannot) {
    std::vector<std::function<void()>> scheduled;
    right.SetRedrawScheduler(
        [&](std::function<void()> redraw) { scheduled.push_back(std::move(redraw)); });
    const auto redraw = [&] {
        ASSERT_FALSE(scheduled.empty());
        auto last = std::move(scheduled.back());
        scheduled.clear();
        last();
    };
    Send(1, Get("/a"));
    Receive(1, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nfirst\r\n");
    Select(1);
    const int calls = text.setTextCalls;
    ReceiveMore(1, "second\r");
    redraw();
    ReceiveMore(1, "\nthird");
    redraw();
    EXPECT_EQ(text.Text(), std::string(document.responses()[0]->text()));
    EXPECT_EQ(text.setTextCalls, calls + 1) << "appended once; shown anew after a split CR LF";
    text.SetSelection(2, 6);
    ReceiveMore(1, "\r\nfourth");
    redraw();
    EXPECT_EQ(text.Text(), std::string(document.responses()[0]->text()));
    EXPECT_EQ(text.setTextCalls, calls + 1);
    EXPECT_EQ(text.Selection(), (std::pair<std::size_t, std::size_t>{2, 6}));

    // With the body hidden the text ends in a notice: shown anew.
    Preferences().show_res_body = false;
    ReceiveMore(1, "fifth");
    redraw();
    EXPECT_EQ(text.setTextCalls, calls + 2);
    EXPECT_NE(text.Text().find("Body skipped."), std::string::npos) << text.Text();

    // Bytes counted after a switch of protocol change the notice alone: shown anew too.
    Preferences().show_res_body = true;
    Send(2, Get("/other"));
    Receive(2, "HTTP/1.1 101 Switching Protocols\r\n\r\n");
    document.CountSkipped(2, 5);
    Select(3);
    document.CountSkipped(2, 7);
    redraw();
    EXPECT_THAT(text.Text(), testing::EndsWith("\r\n\r\n12 bytes after the switch of protocol are "
                                               "not shown.\n"));
}

TEST_F(CSnifferViewTest, ARedrawDueAfterTheViewIsGoneDoesNothing) {
    std::vector<std::function<void()>> scheduled;
    {
        test::FakeRichEditControl otherText;
        CSnifferView other(otherText, help, "/help/", [] {});
        other.SetRedrawScheduler(
            [&](std::function<void()> redraw) { scheduled.push_back(std::move(redraw)); });
        document.AddView(&other);
        Send(1, Get("/a"));
        Receive(1, "HTTP/1.1 200 OK\r\n\r\n");
        Select(1);
        ReceiveMore(1, "x");
        document.RemoveView(&other);
    }
    ASSERT_EQ(scheduled.size(), 1u);
    scheduled[0]();  // must not touch the view that was
}

TEST_F(CSnifferViewTest, CopyNeedsASelection) {
    Send(1, Get("/a"));
    Select(0);
    EXPECT_FALSE(right.CanCopy());
    text.SetSelection(0, 3);
    EXPECT_TRUE(right.CanCopy());
    right.Copy();
    EXPECT_EQ(text.clipboard, "GET");
}

TEST_F(CSnifferViewTest, FindSearchesOnThenOnceFromTheTopUpToWhereItBegan) {
    Send(1, "GET /x HTTP/1.1\r\nA: one\r\nB: two one\r\nC: one\r\n\r\n");
    Select(0);
    EXPECT_TRUE(right.CanFind());
    EXPECT_FALSE(right.CanFindNext());
    const std::string& all = text.Text();
    const std::size_t second = all.find("one", all.find("one") + 1);
    text.SetSelection(second, second);  // the caret sits at the second "one"
    right.BeginFind();
    ASSERT_TRUE(right.Find("one", false, false));
    EXPECT_EQ(text.Selection().first, second);
    EXPECT_TRUE(right.CanFindNext());
    ASSERT_TRUE(right.RepeatFind());
    EXPECT_EQ(text.Selection().first, all.rfind("one"));
    ASSERT_TRUE(right.RepeatFind());
    EXPECT_EQ(text.Selection().first, all.find("one")) << "over once from the top";
    EXPECT_EQ(beeps, 0);
    EXPECT_FALSE(right.RepeatFind()) << "ends where the searching began";
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(text.Selection().first, all.find("one")) << "the selection is unchanged";
    // A search after one that found nothing begins anew at the selection.
    EXPECT_TRUE(right.RepeatFind());
    EXPECT_EQ(text.Selection().first, second);
}

TEST_F(CSnifferViewTest, FindHonoursCaseAndWholeWords) {
    Send(1, "GET /x HTTP/1.1\r\nX-Onerous: ONE\r\n\r\n");
    Select(0);
    right.BeginFind();
    EXPECT_TRUE(right.Find("one", true, true) == false);
    EXPECT_EQ(beeps, 1);
    right.BeginFind();
    EXPECT_TRUE(right.Find("ONE", true, true));
    EXPECT_EQ(text.SelectedText(), "ONE");
}

TEST_F(CSnifferViewTest, ADoubleClickOpensThePageOfItsLine) {
    Send(1, "GET /x HTTP/1.1\r\nContent-Type: text/html\r\nX-Unknown: 1\r\n\r\n");
    Select(0);
    text.DoubleClickAt(20);
    text.DoubleClickAt(2);
    text.DoubleClickAt(text.Text().find("X-Unknown") + 3);
    EXPECT_THAT(help.topics, testing::ElementsAre("/help/httphelp.chm::/1417.htm",
                                                  "/help/httphelp.chm::/0903.htm"));
}

TEST(FindDialogPlacementTest, TheDialogMovesAboveOrBelowTheMatchItCovers) {
    const ScreenRect dialog{100, 300, 400, 150};
    EXPECT_EQ(MovedFindDialogTop(dialog, 50, 320, 1000), std::nullopt) << "not covered";
    EXPECT_EQ(MovedFindDialogTop(dialog, 200, 320, 1000), 320 - 20 - 150) << "room above";
    const ScreenRect tall{100, 50, 400, 150};
    EXPECT_EQ(MovedFindDialogTop(tall, 200, 100, 1000), 140) << "no room above: below";
    EXPECT_EQ(MovedFindDialogTop(tall, 200, 100, 250), std::nullopt) << "nor below: stays";
}

}  // namespace
}  // namespace vantor
