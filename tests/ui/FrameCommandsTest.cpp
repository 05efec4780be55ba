#include "ui/FrameCommands.h"

#include <gtest/gtest.h>

#include "ViewsTestSupport.h"
#include "options/Options.h"

namespace vantor {
namespace {

using test::RecordingView;
using test::ScopedDefaultOptions;
using Update = RecordingView::Update;

class FrameCommandsTest : public testing::Test {
protected:
    FrameCommandsTest() {
        views.document.AddView(&recorder);
        views.Send(1, "GET /one HTTP/1.1\r\nHost: a.test\r\n\r\n");
        views.Send(2, "GET /two HTTP/1.1\r\nHost: b.test\r\n\r\n");
        views.Receive(1, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>hello</p>");
        recorder.updates.clear();
    }

    std::vector<std::intptr_t> Hints() const {
        std::vector<std::intptr_t> hints;
        for (const Update& update : recorder.updates) {
            hints.push_back(update.hint);
        }
        return hints;
    }

    ScopedDefaultOptions defaults;
    test::ViewsFixture views;
    RecordingView recorder;
    FrameCommands commands{GlobalOptions()};
};

TEST_F(FrameCommandsTest, TheToolbarStartsAsCreatedAndFollowsTheCaptureState) {
    const auto& bar = commands.toolbar();
    const int expected[][2] = {{57601, 0},  {57603, 1}, {57600, 2},  {-1, -1},    {32775, 3},
                               {32776, 15}, {32777, 5}, {-1, -1},    {57634, 6},  {32790, 7},
                               {-1, -1},    {32781, 8}, {32788, 10}, {32789, 11}, {-1, -1},
                               {32785, 16}, {32787, 13}};
    for (std::size_t i = 0; i < kToolbarPositions; ++i) {
        EXPECT_EQ(bar[i].separator, expected[i][0] == -1) << i;
        if (!bar[i].separator) {
            EXPECT_EQ(bar[i].command, expected[i][0]) << i;
            EXPECT_EQ(bar[i].image, expected[i][1]) << i;
        }
    }
    commands.UpdateCaptureButtons(true);
    EXPECT_EQ(bar[kStartPosition], (ToolbarPosition{false, ID_NONE, kToolStartInactive}));
    EXPECT_EQ(bar[kStopPosition], (ToolbarPosition{false, ID_CAPTURE_STOP, kToolStop}));
    EXPECT_FALSE(commands.IsEnabled(ID_CAPTURE_START, true));
    EXPECT_TRUE(commands.IsEnabled(ID_CAPTURE_STOP, true));
    EXPECT_FALSE(commands.IsEnabled(ID_NONE, true));
    commands.UpdateCaptureButtons(false);
    EXPECT_EQ(bar[kStartPosition], (ToolbarPosition{false, ID_CAPTURE_START, kToolStart}));
    EXPECT_EQ(bar[kStopPosition], (ToolbarPosition{false, ID_NONE, kToolStopInactive}));
    EXPECT_TRUE(commands.IsEnabled(ID_CAPTURE_START, false));
    EXPECT_FALSE(commands.IsEnabled(ID_CAPTURE_STOP, false));
}

TEST(CaptureStatusTextTest, SaysHowManyRecordsThisCaptureLost) {
    EXPECT_EQ(CaptureStatusText(false, 0), "Capture disabled");
    EXPECT_EQ(CaptureStatusText(false, 3), "Capture disabled");
    EXPECT_EQ(CaptureStatusText(true, 0), "Capture enabled");
    EXPECT_EQ(CaptureStatusText(true, 1), "Capture enabled (1 record lost)");
    EXPECT_EQ(CaptureStatusText(true, 12), "Capture enabled (12 records lost)");
    EXPECT_EQ(CaptureStatusText(true, 0, 1), "Capture enabled (1 program without memory for capture)");
    EXPECT_EQ(CaptureStatusText(true, 2, 3),
              "Capture enabled (2 records lost, 3 programs without memory for capture)");
}

TEST_F(FrameCommandsTest, PromptsSplitIntoStatusLineAndTooltip) {
    EXPECT_EQ(PromptOf(ID_CAPTURE_START).status, "Start capture");
    EXPECT_EQ(PromptOf(ID_CAPTURE_START).tooltip, "Start");
    EXPECT_EQ(PromptOf(ID_FILE_MRU_FILE1).status, "Open this document");
    EXPECT_EQ(PromptOf(ID_FILE_MRU_FILE1).tooltip, "");
    EXPECT_EQ(PromptOf(ID_VIEW_STATUS_BAR).tooltip, "Toggle StatusBar");
    EXPECT_EQ(PromptOf(ID_HELP_HTTP).status, "");
}

TEST_F(FrameCommandsTest, TheFilterSwitchRebuildsEachTimeAndTurnsTheButtonOver) {
    commands.EnableFilter(&views.document);
    commands.EnableFilter(&views.document);
    EXPECT_EQ(Hints(), (std::vector<std::intptr_t>{HINT_REBUILD, HINT_REBUILD}));
    EXPECT_TRUE(Filter().m_bEnabled);
    EXPECT_EQ(commands.toolbar()[kFilterPosition],
              (ToolbarPosition{false, ID_FILTER_DISABLE, kToolFilterOn}));
    commands.DisableFilter(&views.document);
    EXPECT_FALSE(Filter().m_bEnabled);
    EXPECT_EQ(commands.toolbar()[kFilterPosition],
              (ToolbarPosition{false, ID_FILTER_ENABLE, kToolFilterOff}));
}

TEST_F(FrameCommandsTest, FilterOptionsRebuildOnlyOnOkWhileTheFilterIsOn) {
    commands.FilterOptionsClosed(true, &views.document);
    commands.FilterOptionsClosed(false, &views.document);
    EXPECT_TRUE(recorder.updates.empty());
    Filter().m_bEnabled = true;
    commands.FilterOptionsClosed(false, &views.document);
    EXPECT_TRUE(recorder.updates.empty());
    commands.FilterOptionsClosed(true, &views.document);
    EXPECT_EQ(Hints(), std::vector<std::intptr_t>{HINT_REBUILD});
}

TEST_F(FrameCommandsTest, ViewOptionsRebuildOnlyWhenTheOrderChangedAndAlwaysRedraw) {
    std::vector<bool> treeShown;
    const auto showTree = [&](bool shown) { treeShown.push_back(shown); };
    commands.ViewOptionsClosed(false, false, false, 1, &views.document, showTree);
    EXPECT_EQ(Hints(), std::vector<std::intptr_t>{HINT_VIEW_OPTIONS}) << "Cancel";
    EXPECT_TRUE(Preferences().show_req_body);
    EXPECT_EQ(Preferences().view_order, 0);

    recorder.updates.clear();
    commands.ViewOptionsClosed(true, false, true, 0, &views.document, showTree);
    EXPECT_EQ(Hints(), std::vector<std::intptr_t>{HINT_VIEW_OPTIONS}) << "order unchanged";
    EXPECT_FALSE(Preferences().show_req_body);
    EXPECT_TRUE(treeShown.empty());

    views.tree.Select(views.tree.TopLevel().front());
    ASSERT_NE(views.right.currentMessage(), nullptr);
    recorder.updates.clear();
    commands.ViewOptionsClosed(true, true, true, 1, &views.document, showTree);
    // (The rebuild first drops the selection, which the tree announces as hint 0.)
    EXPECT_EQ(Hints(), (std::vector<std::intptr_t>{HINT_DATA, HINT_REBUILD, HINT_VIEW_OPTIONS}));
    EXPECT_EQ(treeShown, (std::vector<bool>{false, true}));
    EXPECT_EQ(Preferences().view_order, 1);
    EXPECT_EQ(views.right.currentMessage(), nullptr) << "a rebuild empties the text view";
    EXPECT_EQ(views.tree.TopLevelTexts(),
              (std::vector<std::string>{"GET a.test/one", "200 OK", "GET b.test/two"}))
        << "by peer: each response right after its request";
}

TEST_F(FrameCommandsTest, FindMessageSearchesOnlyOnOkWithATextAndRemembersTheOutcome) {
    FindOptions& find = FindSettings();
    EXPECT_FALSE(commands.IsEnabled(ID_FIND_NEXT_MESSAGE, false)) << "disabled at start";
    EXPECT_FALSE(commands.FindMessageClosed(true, views.left)) << "empty text: no search";
    find.text = "hello";
    EXPECT_FALSE(commands.FindMessageClosed(false, views.left)) << "Cancel: no search";
    EXPECT_FALSE(find.lastSearchSucceeded);

    EXPECT_FALSE(commands.FindMessageClosed(true, views.left));
    EXPECT_TRUE(find.lastSearchSucceeded);
    EXPECT_TRUE(commands.IsEnabled(ID_FIND_NEXT_MESSAGE, false));
    EXPECT_EQ(views.right.currentMessage(), views.document.responses().front());

    EXPECT_EQ(commands.FindNextMessage(views.left), "Cannot find the string 'hello'");
    EXPECT_FALSE(find.lastSearchSucceeded);
    EXPECT_FALSE(commands.IsEnabled(ID_FIND_NEXT_MESSAGE, false));

    find.text = "b.test";
    find.inRequests = false;
    find.inResponses = false;
    EXPECT_EQ(commands.FindMessageClosed(true, views.left), "Cannot find the string 'b.test'")
        << "searching in neither finds nothing";
}

}  // namespace
}  // namespace vantor
