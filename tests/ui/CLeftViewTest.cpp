#include "ui/CLeftView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ui/ViewsTestSupport.h"

namespace vantor {
namespace {

using test::Get;
using test::Status;
using testing::ElementsAre;

class CLeftViewTest : public testing::Test, protected test::ViewsFixture {
protected:
    std::vector<std::string> Shown() { return tree.TopLevelTexts(); }
    void Rebuild() { document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr); }
    void FilterOn() { Filter().m_bEnabled = true; }
};

TEST_F(CLeftViewTest, ByTimeEveryMessageIsAppendedAsItArrives) {
    Send(1, Get("/a"));
    Send(2, Get("/b"));
    Receive(1, Status(200));
    Receive(2, Status(404));
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "GET h/b", "200 X", "404 X"));
    for (const TreeItem item : tree.TopLevel()) {
        ASSERT_EQ(tree.node(item).children.size(), 2u);
        EXPECT_EQ(tree.ItemText(tree.node(item).children[0]), "IP: 127.0.0.1:8080");
        EXPECT_EQ(tree.ItemText(tree.node(item).children[1]), "Time: 09:00:00.000");
    }
    EXPECT_THAT(
        std::vector<int>({tree.ItemImage(tree.TopLevel()[2]), tree.ItemImage(tree.TopLevel()[3])}),
        ElementsAre(kImageResponseSuccess, kImageResponseError));
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "GET h/b", "200 X", "404 X"));
}

TEST_F(CLeftViewTest, ByPeerEachResponseStandsRightBelowItsRequest) {
    Preferences().view_order = 1;
    Send(1, Get("/a"));
    Send(2, Get("/b"));
    Receive(1, Status(200));
    Receive(2, Status(404));
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "200 X", "GET h/b", "404 X"));
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "200 X", "GET h/b", "404 X"));
    EXPECT_EQ(tree.node(tree.TopLevel()[1]).parent, kNoItem) << "at the top level, not a child";
}

TEST_F(CLeftViewTest, ByPeerInterimResponsesStandBetweenTheRequestAndItsAnswer) {
    Preferences().view_order = 1;
    Send(1, "POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n\r\n");
    Send(2, Get("/b"));
    Receive(1, "HTTP/1.1 100 Continue\r\n\r\n");
    Send(1, "body", 2);
    Receive(1, "HTTP/1.1 103 Early Hints\r\n\r\n" + Status(200));
    Receive(2, Status(404));
    const auto expected =
        ElementsAre("POST h/up", "100 Continue", "103 Early Hints", "200 X", "GET h/b", "404 X");
    EXPECT_THAT(Shown(), expected);
    Rebuild();
    EXPECT_THAT(Shown(), expected);

    // A final answer that fails the filter takes its whole exchange away.
    FilterOn();
    Filter().rescode_success = 0;
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/b", "404 X"));
    Send(3, Get("/c"));
    Receive(3, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_THAT(Shown().back(), "100 Continue");
    Receive(3, Status(200), 2);
    EXPECT_THAT(Shown(), ElementsAre("GET h/b", "404 X"));
}

TEST_F(CLeftViewTest, AnOrphanResponseIsAppendedAndByPeerGoneAfterARebuild) {
    for (int order : {0, 1}) {
        Preferences().view_order = order;
        document.OnNewDocument();
        Send(1, Get("/a"));
        Receive(7, Status(200));
        EXPECT_THAT(Shown(), ElementsAre("GET h/a", "200 X")) << order;
        Rebuild();
        EXPECT_EQ(Shown().size(), order == 0 ? 2u : 1u) << order;
    }
}

TEST_F(CLeftViewTest, OtherOrdersRebuildByPeerButAppendNewResponses) {
    Preferences().view_order = 2;
    Send(1, Get("/a"));
    Send(2, Get("/b"));
    Receive(1, Status(200));
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "GET h/b", "200 X"));
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "200 X", "GET h/b"));
}

TEST_F(CLeftViewTest, AResponseThatFailsTheFilterTakesItsRequestAway) {
    FilterOn();
    Filter().rescode_client_error = 0;
    Send(1, Get("/missing"));
    Send(2, Get("/fine"));
    ASSERT_THAT(Shown(), ElementsAre("GET h/missing", "GET h/fine"));
    Receive(1, Status(404));
    EXPECT_THAT(Shown(), ElementsAre("GET h/fine"));
    Receive(2, Status(200));
    EXPECT_THAT(Shown(), ElementsAre("GET h/fine", "200 X"));
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/fine", "200 X"));
    Preferences().view_order = 1;
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/fine", "200 X"));
}

TEST_F(CLeftViewTest, ContentClassesAndHostsFilterThePairs) {
    FilterOn();
    Filter().content_image = 0;
    Send(1, Get("/logo"));
    Receive(1, Status(200, "image/png"));
    Send(2, Get("/page", "shop.test"));
    Receive(2, Status(200));
    Send(3, Get("/other", "elsewhere.test"));
    EXPECT_THAT(Shown(), ElementsAre("GET shop.test/page", "200 X", "GET elsewhere.test/other"));
    Filter().m_bHostEnabled = 1;
    Filter().m_hostText = "shop";
    Filter().SplitHostWords();
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET shop.test/page", "200 X"));
    Filter().m_bEnabled = false;
    Rebuild();
    EXPECT_EQ(Shown().size(), 5u);
}

TEST_F(CLeftViewTest, ByPeerARequestThatPassesOnlyWithItsResponseShowsFromTheNextRebuild) {
    Preferences().view_order = 1;
    FilterOn();
    Filter().m_bHostEnabled = 1;
    Filter().m_hostText = "nowhere";
    Filter().SplitHostWords();
    Send(1, Get("/a"));
    EXPECT_TRUE(Shown().empty());
    Filter().m_hostText = "h";  // changed without a rebuild
    Filter().SplitHostWords();
    Receive(1, Status(200));
    EXPECT_THAT(Shown(), ElementsAre("200 X")) << "appended at the end";
    Rebuild();
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "200 X"));
}

TEST_F(CLeftViewTest, ACaptionChangeRefreshesTheItemAndOnlyHintsWhileDirtyAct) {
    Send(1, Get("/a"));
    Receive(1, "HTTP/1.1 30");
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "30"));
    EXPECT_EQ(tree.ItemImage(tree.TopLevel()[1]), kImageResponseIncomplete);
    ReceiveMore(1, "4 Not Modified\r\n\r\n");
    EXPECT_THAT(Shown(), ElementsAre("GET h/a", "304 Not Modified"));
    EXPECT_EQ(tree.ItemImage(tree.TopLevel()[1]), kImageResponseOther);

    // A hint the document did not mark as pending changes nothing.
    HTTPRequest* late = Send(2, Get("/b"));
    tree.DeleteItem(tree.TopLevel().back());
    left.presenter().UpdateTree(document, tree, HINT_NEW_REQUEST, late, Filter(),
                                {Preferences().view_order});
    EXPECT_EQ(Shown().size(), 2u);
}

TEST_F(CLeftViewTest, ARebuildHidesTheTreeAndLeavesNothingSelectedOrExpanded) {
    Send(1, Get("/a"));
    Receive(1, Status(200));
    tree.Click(tree.TopLevel()[0]);
    left.ExpandAll();
    EXPECT_TRUE(tree.IsExpanded(tree.TopLevel()[0]));
    EXPECT_TRUE(tree.IsExpanded(tree.TopLevel()[1]));
    tree.visibleChanges.clear();
    Rebuild();
    EXPECT_THAT(tree.visibleChanges, ElementsAre(false, true));
    EXPECT_EQ(tree.Selected(), kNoItem);
    for (const TreeItem item : tree.TopLevel()) {
        EXPECT_FALSE(tree.IsExpanded(item));
    }
    left.ExpandAll();
    left.CollapseAll();
    for (const TreeItem item : tree.TopLevel()) {
        EXPECT_FALSE(tree.IsExpanded(item));
    }
}

TEST_F(CLeftViewTest, SelectingAnItemShowsItsMessageAndADetailLineChangesNothing) {
    HTTPRequest* request = Send(1, Get("/a"));
    Receive(1, Status(200, "text/plain", "hello"));
    tree.Click(tree.TopLevel()[0]);
    EXPECT_EQ(right.currentMessage(), request);
    EXPECT_EQ(text.Text(), Get("/a"));
    tree.Click(tree.node(tree.TopLevel()[1]).children[0]);
    EXPECT_EQ(right.currentMessage(), request);
    EXPECT_EQ(left.presenter().FindMessageByItem(tree.node(tree.TopLevel()[1]).children[0]),
              nullptr);
    EXPECT_EQ(left.presenter().FindMessageByItem(tree.TopLevel()[1]), document.responses()[0]);
}

class FindNextMessageTest : public CLeftViewTest {
protected:
    FindNextMessageTest() {
        Send(1, Get("/one"));
        Receive(1, Status(200, "text/plain", "needle in a body"));
        Send(2, Get("/needle"));
        Receive(2, Status(200, "text/plain", "nothing"));
    }
    bool Find(std::string_view what, bool down = true, bool inResponses = true,
              bool inRequests = true) {
        return left.FindNextMessage(what, down, false, false, inResponses, inRequests);
    }
    std::string SelectedCaption() { return tree.ItemText(tree.Selected()); }
};

TEST_F(FindNextMessageTest, DownFromTheSelectionAndNeverAround) {
    EXPECT_TRUE(Find("needle"));
    EXPECT_EQ(SelectedCaption(), "200 X") << "nothing selected: the first message is searched too";
    EXPECT_EQ(right.currentMessage(), document.responses()[0]);
    EXPECT_EQ(text.Text(), Status(200, "text/plain", "needle in a body"))
        << "the hit is shown, not marked";
    EXPECT_TRUE(Find("NEEDLE"));
    EXPECT_EQ(SelectedCaption(), "GET h/needle");
    EXPECT_FALSE(Find("needle"));
    EXPECT_EQ(SelectedCaption(), "GET h/needle") << "the selection is unchanged";
    EXPECT_TRUE(Find("needle", false));
    EXPECT_EQ(SelectedCaption(), "200 X");
    EXPECT_FALSE(Find("needle", false)) << "no wrapping to the last item";
}

TEST_F(FindNextMessageTest, ADetailLineStartsAtItsMessageWithoutSearchingIt) {
    tree.Click(tree.node(tree.TopLevel()[1]).children[1]);
    EXPECT_TRUE(Find("needle"));
    EXPECT_EQ(SelectedCaption(), "GET h/needle");
}

TEST_F(FindNextMessageTest, KindsCanBeLeftOut) {
    EXPECT_FALSE(Find("needle", true, false, false));
    EXPECT_TRUE(Find("needle", true, false, true));
    EXPECT_EQ(SelectedCaption(), "GET h/needle");
    tree.Select(kNoItem);
    EXPECT_TRUE(Find("needle", true, true, false));
    EXPECT_EQ(SelectedCaption(), "200 X");
}

TEST_F(FindNextMessageTest, HiddenBodiesAreNotSearched) {
    Preferences().show_res_body = false;
    EXPECT_TRUE(Find("needle"));
    EXPECT_EQ(SelectedCaption(), "GET h/needle") << "the body holding it is not shown";
}

TEST_F(FindNextMessageTest, AnEmptyDocumentFindsNothing) {
    document.OnNewDocument();
    EXPECT_FALSE(Find("needle"));
}

}  // namespace
}  // namespace vantor
