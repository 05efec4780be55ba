#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http/MessageTestSupport.h"
#include "ui/FakeControls.h"
#include "ui/MessageTextPresenter.h"
#include "ui/MessageTreePresenter.h"

namespace vantor {
namespace {

using test::FakeRichEditControl;
using test::FakeTreeControl;
using test::Fed;

class PresentationTest : public testing::Test {
protected:
    // The characters of [from, to) all have color.
    void ExpectColor(std::size_t from, std::size_t to, Rgb color) {
        for (std::size_t i = from; i < to; ++i) {
            ASSERT_EQ(control.ColorAt(i), color) << "at " << i << " of " << control.TextLength();
        }
    }
    void ExpectShownAndLocked() {
        EXPECT_TRUE(control.readOnly());
        EXPECT_TRUE(control.visible());
    }

    test::ScopedDefaultOptions options;
    FakeRichEditControl control;
    FakeTreeControl tree;
};

const std::string kHeader = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

TEST_F(PresentationTest, AHiddenBodyShowsTheHeaderAndANavyNotice) {
    const std::string body(5000, 'b');
    auto response = Fed<HTTPResponse>({kHeader + body});
    const std::string before(response->text());
    ShowText(*response, control, false);
    const std::string notice = "Body skipped. See View->Options...";
    EXPECT_EQ(control.Text(), kHeader + notice) << "no body byte before the notice";
    ExpectColor(0, kHeader.size(), kBlack);
    ExpectColor(kHeader.size(), control.TextLength(), kNavy);
    EXPECT_EQ(response->notice(), notice);
    EXPECT_EQ(response->text(), before);
    ExpectShownAndLocked();

    ShowText(*response, control, true);
    EXPECT_EQ(control.Text(), kHeader + body);
    ExpectColor(0, control.TextLength(), kBlack);
}

// A message of hundreds of megabytes (a header that never ends) must not make the window lay out
// hundreds of megabytes, nor make a tree item of them.
TEST_F(PresentationTest, AHugeMessageIsShownInPartWithANoticeAndAShortCaption) {
    const std::string lines = std::string(99, 'x') + "\n";
    std::string huge = "GET /";
    while (huge.size() < 9 * 1024 * 1024) {
        huge += lines;
    }
    auto request = Fed<HTTPRequest>({huge});
    ASSERT_EQ(request->state(), AssemblyState::ReadingHeader);
    EXPECT_FALSE(ShowText(*request, control, true));
    const std::size_t shown = 8 * 1024 * 1024;
    const std::string notice = std::to_string(huge.size() - shown) +
                               " more bytes not shown: the view shows up to 8 MiB, in lines of "
                               "up to 1 MiB.\n";
    EXPECT_EQ(control.TextLength(), shown + notice.size());
    EXPECT_EQ(control.Text().substr(shown), notice);
    ExpectColor(shown, control.TextLength(), kNavy);
    EXPECT_EQ(request->notice(), "") << "a notice of the view's, not stored with the message";
    ExpectShownAndLocked();

    // One line of two megabytes is shown up to its first megabyte.
    const std::string longLine = "HTTP/1.1 200 OK" + std::string(2 * 1024 * 1024, 'y');
    auto line = Fed<HTTPResponse>({longLine});
    EXPECT_FALSE(ShowText(*line, control, true));
    EXPECT_TRUE(
        control.Text()
            .substr(1024 * 1024)
            .starts_with(std::to_string(longLine.size() - 1024 * 1024) + " more bytes not shown"));

    // A message over its size limit that is cut for the view still ends in its own notice,
    // which it keeps.
    auto tooLarge = Fed<HTTPResponse>({kHeader + huge, "more"});
    ASSERT_EQ(tooLarge->state(), AssemblyState::TooLarge);
    EXPECT_FALSE(ShowText(*tooLarge, control, true));
    EXPECT_THAT(control.Text().substr(ShownLength(tooLarge->text())),
                testing::MatchesRegex("[0-9]+ more bytes not shown: .*\n"
                                      "Message exceeds maximum size.See Capture->Options...\n"));
    EXPECT_EQ(tooLarge->notice(), "Message exceeds maximum size.See Capture->Options...\n");

    // The tree shows up to 1024 bytes of a caption, whole characters; the message keeps it all.
    auto unending = Fed<HTTPRequest>({"GET /" + std::string(5000, 'a')});
    unending->BuildCaption();
    EXPECT_EQ(unending->ShownCaption(), "GET /" + std::string(1019, 'a'));
    EXPECT_EQ(unending->caption(), "GET /" + std::string(5000, 'a'));
    auto accented = Fed<HTTPRequest>({"GET /" + std::string(1018, 'a') + "\xC3\xA9\xC3\xA9"});
    accented->BuildCaption();
    EXPECT_EQ(accented->ShownCaption(), "GET /" + std::string(1018, 'a'))
        << "the character across the 1024th byte does not fit whole";
    const std::string host(2000, 'h');
    auto longHost = Fed<HTTPRequest>({"GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"});
    EXPECT_EQ(longHost->caption(), "GET " + host + "/") << "what a document file stores";
    EXPECT_TRUE(ShowText(*Fed<HTTPRequest>({"GET / HTTP/1.1\r\n\r\n"}), control, true));
}

TEST_F(PresentationTest, ABodyOfOneByteIsShownEvenWhenBodiesAreHidden) {
    auto response = Fed<HTTPResponse>({kHeader + "x"});
    ShowText(*response, control, false);
    EXPECT_EQ(control.Text(), kHeader + "x");
    ExpectColor(0, control.TextLength(), kBlack);
}

TEST_F(PresentationTest, DroppedBodiesShowTheirCount) {
    auto off = Fed<HTTPRequest>({"GET / HTTP/1.1\r\n\r\n"}, false);
    ASSERT_EQ(off->state(), AssemblyState::BodyOff);
    ShowText(*off, control, true);
    EXPECT_EQ(control.Text(), "GET / HTTP/1.1\r\n\r\n") << "nothing dropped, no notice";

    auto offWithBody = Fed<HTTPRequest>({"POST / HTTP/1.1\r\n\r\n0123456789"}, false);
    ShowText(*offWithBody, control, true);
    EXPECT_EQ(control.Text(), "POST / HTTP/1.1\r\n\r\n10 bytes skipped. See Capture->Options...\n");

    auto filtered = Fed<HTTPResponse>({"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n"});
    ASSERT_EQ(filtered->state(), AssemblyState::BodyFiltered);
    const std::string text(filtered->text());
    ShowText(*filtered, control, true);
    const std::string notice = "0 bytes skipped. See Capture->Options...\n";
    EXPECT_EQ(control.Text(), text + notice);
    ExpectColor(0, text.size(), kBlack);
    ExpectColor(text.size(), control.TextLength(), kNavy);
    EXPECT_EQ(filtered->text(), text) << "the placeholder is the control's, not the message's";
    ExpectShownAndLocked();
}

TEST_F(PresentationTest, ATooLargeMessageShowsWhatWasKeptAndTheSizeNotice) {
    auto response = test::Make<HTTPResponse>(true, 1);
    test::Feed(*response, {kHeader, std::string(2000, 'b'), "more"});
    ASSERT_EQ(response->state(), AssemblyState::TooLarge);
    ShowText(*response, control, false);
    EXPECT_EQ(control.Text(), std::string(response->text()) +
                                  "Message exceeds maximum size.See Capture->Options...\n");
    ExpectColor(0, response->text().size(), kBlack);
    ExpectColor(response->text().size(), control.TextLength(), kNavy);
}

TEST_F(PresentationTest, IncompleteHeadersShowTheirText) {
    auto request = Fed<HTTPRequest>({"GET /partial"});
    ShowText(*request, control, false);
    EXPECT_EQ(control.Text(), "GET /partial");
    ExpectShownAndLocked();
}

TEST_F(PresentationTest, ATreeEntryHasItsCaptionImageAndTwoDetailLines) {
    auto response = test::Make<HTTPResponse>();
    response->AddData(test::Bytes("HTTP/1.1 404 Not Found\r\nServer: x\r\n"),
                      test::At(8, 5, 3, 21));
    const TreeItem first = tree.InsertItem(kNoItem, kInsertLast, "first", 2);
    const TreeItem item = InsertTreeItem(*response, tree, first);
    EXPECT_EQ(tree.TopLevel(), (std::vector<TreeItem>{first, item}));
    EXPECT_EQ(tree.ItemText(item), "404 Not Found");
    EXPECT_EQ(tree.ItemImage(item), kImageResponseIncomplete);
    const auto& children = tree.node(item).children;
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(tree.ItemText(children[0]), "IP: 127.0.0.1:8080");
    EXPECT_EQ(tree.ItemText(children[1]), "Time: 08:05:03.021");
    EXPECT_EQ(tree.ItemImage(children[0]), kImageDetailLine);

    response->AddData(test::Bytes("\r\n"), {});
    ASSERT_TRUE(response->IsCaptionChanged());
    EXPECT_EQ(UpdateTreeItem(*response, tree, item), item);
    EXPECT_FALSE(response->IsCaptionChanged());
    EXPECT_EQ(tree.ItemImage(item), kImageResponseError);
    EXPECT_EQ(tree.node(item).children.size(), 2u) << "an update changes only text and image";
}

}  // namespace
}  // namespace vantor
