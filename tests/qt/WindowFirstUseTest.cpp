// The window as a new user meets it: what it shows unasked, what its commands follow, what
// its help and its tree do, driven through the real widgets.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHeaderView>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QTextBrowser>

#include "qt/MainWindowFixture.h"

namespace vantor {
namespace {

using test::Click;
using test::MainWindowTest;
using test::WhenModal;

class WindowFirstUseTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        frame->show();
        QApplication::setActiveWindow(frame);
        QApplication::processEvents();
    }
    const HTTPMessage* Shown() const { return frame->textView().currentMessage(); }
    bool Enabled(int command) {
        frame->UpdateCommandUI();
        return frame->action(command)->isEnabled();
    }
    void Focus(QWidget* widget) {
        widget->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    }
};

TEST_F(WindowFirstUseTest, OnlyAMessageTheUserSelectsIsShown) {
    // The tree gains the focus: Qt gives it a current item, which is no selection.
    Focus(frame->textWidget());
    Focus(frame->treeWidget());
    EXPECT_EQ(Shown(), nullptr);
    EXPECT_EQ(frame->textControl().TextLength(), 0u);

    // A click selects.
    const QRect second = frame->treeWidget()->visualRect(frame->treeControl().index(1, 0));
    QTest::mouseClick(frame->treeWidget()->viewport(), Qt::LeftButton, {},
                      QPoint(second.left() + 40, second.center().y()));
    ASSERT_NE(Shown(), nullptr);
    EXPECT_EQ(Shown()->caption(), "200 OK");

    // After a rebuild the view is empty, and focus coming back shows nothing again.
    frame->action(ID_FILTER_ENABLE)->trigger();
    EXPECT_EQ(frame->textControl().TextLength(), 0u);
    Focus(frame->textWidget());
    Focus(frame->treeWidget());
    EXPECT_EQ(frame->textControl().TextLength(), 0u);
    const auto closed = WhenModal([](QWidget* dialog) { Click(dialog, 2); });
    frame->action(ID_VIEW_OPTIONS)->trigger();
    Focus(frame->treeWidget());
    EXPECT_EQ(frame->textControl().TextLength(), 0u) << "after a dialog closed";
}

TEST_F(WindowFirstUseTest, CopyAndFindFollowTheActivePane) {
    frame->treeControl().Select(frame->treeControl().ItemAt(frame->treeControl().index(1, 0)));
    ASSERT_NE(Shown(), nullptr);
    Focus(frame->textWidget());
    frame->textControl().SetSelection(0, 8);
    EXPECT_TRUE(frame->textPaneActive());
    EXPECT_TRUE(Enabled(ID_EDIT_COPY));
    EXPECT_TRUE(Enabled(ID_EDIT_FIND));

    Focus(frame->treeWidget());
    EXPECT_FALSE(frame->textPaneActive());
    EXPECT_FALSE(Enabled(ID_EDIT_COPY)) << "the selection is still there, but not the pane";
    EXPECT_FALSE(Enabled(ID_EDIT_FIND));
    EXPECT_FALSE(Enabled(ID_EDIT_REPEAT));
    // Nor do the keys reach the text view's commands.
    QApplication::clipboard()->setText("untouched");
    QTest::keyClick(frame->treeWidget(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "untouched");

    // F6 moves to the text, and the commands come back.
    QTest::keyClick(frame->treeWidget(), Qt::Key_F6);
    QApplication::processEvents();
    EXPECT_TRUE(frame->textPaneActive());
    EXPECT_TRUE(Enabled(ID_EDIT_COPY));
}

TEST_F(WindowFirstUseTest, HelpFromADialogCanBeUsedWhileTheDialogStaysOpen) {
    bool helpActive = false;
    bool dialogOpen = false;
    const auto answer = WhenModal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        Click(dialog, 1006);  // Help
        HelpBrowser& help = frame->help();
        EXPECT_TRUE(help.isVisible());
        help.activateWindow();
        QApplication::processEvents();
        // A window blocked by an application-modal dialog could not be made active.
        helpActive = QApplication::activeWindow() == &help;
        dialogOpen = dialog->isVisible();
        Click(dialog, 2);
    });
    frame->action(ID_CAPTURE_OPTIONS)->trigger();
    EXPECT_TRUE(helpActive);
    EXPECT_TRUE(dialogOpen);
    EXPECT_TRUE(frame->help().browser()->source().path().endsWith("/vantor/dlg_cap.htm"));
}

TEST_F(WindowFirstUseTest, CaptionsAreNeverElidedAndTheNarrowPaneScrollsSideways) {
    QTreeView* tree = frame->treeWidget();
    EXPECT_EQ(frame->splitter()->sizes().front(), 100) << "the pane starts 100 pixels wide";
    EXPECT_EQ(tree->textElideMode(), Qt::ElideNone);
    const QFontMetrics metrics(tree->font());
    int widest = 0;
    for (int row = 0; row < frame->treeControl().rowCount(); ++row) {
        const QString caption = frame->treeControl().index(row, 0).data().toString();
        widest = std::max(widest, metrics.horizontalAdvance(caption));
    }
    EXPECT_GT(widest, tree->viewport()->width());
    EXPECT_GE(tree->header()->sectionSize(0),
              widest + tree->indentation() + tree->iconSize().width());
    EXPECT_GT(tree->horizontalScrollBar()->maximum(), widest / 2) << "scrolls over the captions";

    // A longer caption later widens the column.
    const std::string target(200, 'x');  // a request target is read up to 255 bytes
    app.document().NewRequest(test::Header(1, 0, 999),
                              test::Bytes("GET /" + target + " HTTP/1.1\r\n\r\n"));
    frame->treeControl().Flush();
    EXPECT_GT(tree->header()->sectionSize(0),
              metrics.horizontalAdvance(QString::fromStdString("GET /" + target)));
}

}  // namespace
}  // namespace vantor
