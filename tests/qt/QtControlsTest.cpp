#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTextBrowser>
#include <QTreeWidget>

#include <fstream>

#include "TestSupport.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "ui/CLeftView.h"
#include "ui/CSnifferView.h"
#include "ui/qt/HelpBrowser.h"
#include "ui/qt/QtRichEditControl.h"
#include "ui/qt/QtTreeControl.h"
#include "ui/qt/TextFindDialog.h"
#include "ui/qt/TreeImages.h"

namespace vantor {
namespace {

using testing::ElementsAre;

std::vector<std::string> TopLevelTexts(const QTreeWidget& widget) {
    std::vector<std::string> texts;
    for (int i = 0; i < widget.topLevelItemCount(); ++i) {
        texts.push_back(widget.topLevelItem(i)->text(0).toStdString());
    }
    return texts;
}

TEST(TreeImagesTest, SevenImagesInTheirColoursOnBlack) {
    const QImage strip = TreeImages::Strip();
    EXPECT_EQ(strip.size(), QSize(119, 12));
    auto dominant = [&](int cell) {
        long red = 0, green = 0, blue = 0;
        for (int y = 0; y < 12; ++y) {
            for (int x = cell * 17; x < cell * 17 + 17; ++x) {
                const QColor c = strip.pixelColor(x, y);
                red += c.red();
                green += c.green();
                blue += c.blue();
            }
        }
        return std::tuple{red, green, blue};
    };
    EXPECT_EQ(strip.pixelColor(0, 0), QColor(Qt::black)) << "the transparent colour";
    const auto [pageR, pageG, pageB] = dominant(0);
    EXPECT_GT(pageR + pageG + pageB, 0);
    const auto [greyR, greyG, greyB] = dominant(1);
    EXPECT_LT(std::abs(greyR - greyB), greyR / 10) << "grey";
    const auto [blueR, blueG, blueB] = dominant(2);
    EXPECT_GT(blueB, 2 * blueR);
    const auto [redR, redG, redB] = dominant(4);
    EXPECT_GT(redR, 3 * redG);
    const auto [greenR, greenG, greenB] = dominant(5);
    EXPECT_GT(greenG, 2 * greenR);
    const auto [yellowR, yellowG, yellowB] = dominant(6);
    EXPECT_GT(yellowR, 3 * yellowB);
    EXPECT_GT(yellowG, 3 * yellowB);
    // The arrows of requests point right, those of responses left: compare the two halves.
    auto leftHalf = [&](int cell) {
        long sum = 0;
        for (int y = 0; y < 12; ++y) {
            for (int x = cell * 17; x < cell * 17 + 4; ++x) {
                sum += strip.pixelColor(x, y).value();
            }
        }
        return sum;
    };
    EXPECT_EQ(TreeImages::Icons().size(), 7u);
    EXPECT_GT(leftHalf(1), 0);
}

TEST(QtTreeControlTest, ItemsGoWhereTheyAreInsertedAndTellAboutSelections) {
    QTreeWidget widget;
    QtTreeControl tree(&widget);
    std::vector<TreeItem> selections;
    tree.SetSelectionHandler([&](TreeItem item) { selections.push_back(item); });
    const TreeItem b = tree.InsertItem(kNoItem, kInsertLast, "b", 2);
    const TreeItem a = tree.InsertItem(kNoItem, kInsertFirst, "a", 1);
    const TreeItem c = tree.InsertItem(kNoItem, b, "c", 5);
    const TreeItem child = tree.InsertItem(c, kInsertLast, "IP: 127.0.0.1:80", 0);
    EXPECT_THAT(TopLevelTexts(widget), ElementsAre("a", "b", "c"));
    EXPECT_EQ(tree.FirstChild(kNoItem), a);
    EXPECT_EQ(tree.NextSibling(a), b);
    EXPECT_EQ(tree.PreviousSibling(a), kNoItem);
    EXPECT_EQ(tree.NextSibling(c), kNoItem);
    EXPECT_EQ(tree.Parent(child), c);
    EXPECT_EQ(tree.FirstChild(c), child);
    EXPECT_EQ(tree.ItemImage(c), 5);
    EXPECT_FALSE(widget.topLevelItem(2)->icon(0).isNull());
    tree.SetItem(c, "c2", 4);
    EXPECT_EQ(tree.ItemText(c), "c2");
    EXPECT_EQ(tree.ItemImage(c), 4);

    tree.Select(b);
    widget.setCurrentItem(widget.topLevelItem(0));  // the user clicks a
    tree.Select(kNoItem);
    EXPECT_THAT(selections, ElementsAre(b, a, kNoItem));
    EXPECT_EQ(tree.Selected(), kNoItem);

    tree.Expand(c);
    EXPECT_TRUE(tree.IsExpanded(c));
    tree.DeleteItem(b);
    EXPECT_THAT(TopLevelTexts(widget), ElementsAre("a", "c2"));
    tree.DeleteAllItems();
    EXPECT_EQ(widget.topLevelItemCount(), 0);
}

TEST(QtTreeControlTest, ItemsMadeWhileHiddenArriveInOrderWhenShown) {
    QTreeWidget widget;
    QtTreeControl tree(&widget);
    tree.InsertItem(kNoItem, kInsertLast, "before", 2);
    tree.SetVisible(false);
    const TreeItem first = tree.InsertItem(kNoItem, kInsertLast, "1", 2);
    tree.InsertItem(first, kInsertLast, "detail", 0);
    tree.InsertItem(kNoItem, kInsertLast, "3", 2);
    tree.InsertItem(kNoItem, first, "2", 5);
    EXPECT_EQ(widget.topLevelItemCount(), 1) << "still waiting";
    tree.SetVisible(true);
    EXPECT_THAT(TopLevelTexts(widget), ElementsAre("before", "1", "2", "3"));
    EXPECT_EQ(widget.topLevelItem(1)->childCount(), 1);
}

TEST(QtRichEditControlTest, TextSelectionLinesAndColours) {
    MessageTextEdit edit;
    QtRichEditControl control(&edit);
    control.SetText("first line\nContent-Type: text/html\nlast");
    EXPECT_EQ(control.TextLength(), 39u);
    EXPECT_EQ(control.LineFromChar(15), 1u);
    EXPECT_EQ(control.LineIndex(1), 11u);
    EXPECT_EQ(control.LineText(1, 100), "Content-Type: text/html\n");
    EXPECT_EQ(control.LineText(2, 100), "last");
    EXPECT_EQ(control.LineText(1, 7), "Content");
    const auto found = control.Find("TEXT/", 0, 39, false, false);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->first, 25u);
    EXPECT_FALSE(control.Find("TEXT/", 0, 39, true, false).has_value());
    EXPECT_FALSE(control.Find("text", 0, 27, false, false).has_value()) << "beyond the end given";
    EXPECT_TRUE(control.Find("Type", 0, 39, false, true).has_value());
    EXPECT_FALSE(control.Find("Typ", 0, 39, false, true).has_value());
    control.SetSelection(11, 23);
    EXPECT_EQ(control.SelectedText(), "Content-Type");
    control.SetSelectionColor(kNavy);
    QTextCursor cursor(edit.document());
    cursor.setPosition(12);
    EXPECT_EQ(cursor.charFormat().foreground().color(), QColor(0, 0, 128));
    cursor.setPosition(5);
    EXPECT_EQ(cursor.charFormat().foreground().color(), QColor(0, 0, 0));
    control.SetReadOnly(true);
    EXPECT_TRUE(edit.isReadOnly());
    control.SetWordWrap(false);
    EXPECT_EQ(edit.lineWrapMode(), QTextEdit::NoWrap);
}

// A document grown from the sample capture, shown by both views in real widgets.
class ViewsOnQtTest : public testing::Test {
protected:
    ViewsOnQtTest()
        : treeControl(&treeWidget),
          textControl(&textEdit),
          left(treeControl),
          right(textControl, help, std::string(VANTOR_SOURCE_DIR) + "/ui/help/", [] {}) {
        document.AddView(&left);
        document.AddView(&right);
        document.OnNewDocument();
        document.SendInitialUpdate();
        struct NoSignals : CaptureSignals {
            void ResetFull() override {}
            void SetEmpty() override {}
        } signals;
        CaptureDispatch dispatch([this] { return &document; }, signals);
        std::ifstream input(std::string(VANTOR_SOURCE_DIR) + "/samples/sample.records",
                            std::ios::binary);
        EXPECT_TRUE(ReplayRecordStream(input, dispatch).ok());
    }

    test::ScopedDefaultOptions options;
    QTreeWidget treeWidget;
    MessageTextEdit textEdit;
    QtTreeControl treeControl;
    QtRichEditControl textControl;
    HelpBrowser help;
    CSnifferDoc document;
    CLeftView left;
    CSnifferView right;
};

TEST_F(ViewsOnQtTest, TheTreeShowsEveryMessageWithItsCaptionImageAndDetailLines) {
    ASSERT_EQ(treeWidget.topLevelItemCount(), 22);
    // The POST's first record held only part of its header: its entry keeps the first line and
    // the grey arrow until the tree is built again.
    const QTreeWidgetItem* post = treeWidget.topLevelItem(8);
    EXPECT_EQ(post->text(0), "POST /api/login HTTP/1.1");
    EXPECT_EQ(treeControl.ItemImage(reinterpret_cast<TreeItem>(post)), kImageRequestIncomplete);
    document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    ASSERT_EQ(treeWidget.topLevelItemCount(), 22);
    for (int i = 0; i < 22; ++i) {
        const HTTPMessage& message = *document.messages()[static_cast<std::size_t>(i)];
        const QTreeWidgetItem* item = treeWidget.topLevelItem(i);
        EXPECT_EQ(item->text(0).toStdString(), message.caption());
        EXPECT_EQ(treeControl.ItemImage(reinterpret_cast<TreeItem>(item)), message.GetTreeImage());
        ASSERT_EQ(item->childCount(), 2);
        EXPECT_EQ(item->child(0)->text(0).toStdString(), message.peerText());
        EXPECT_EQ(item->child(1)->text(0).toStdString(), message.timeText());
    }
    EXPECT_EQ(treeWidget.topLevelItem(7)->text(0), "200 OK");
    EXPECT_EQ(treeControl.ItemImage(reinterpret_cast<TreeItem>(treeWidget.topLevelItem(11))),
              kImageResponseError);
}

TEST_F(ViewsOnQtTest, SelectingAMessageShowsItsTextWithTheNoticeInNavy) {
    treeWidget.setCurrentItem(treeWidget.topLevelItem(7));  // the image, body not kept
    const HTTPMessage& image = *document.messages()[7];
    ASSERT_EQ(right.currentMessage(), &image);
    const std::string shown = textControl.Text();
    const std::string notice = "411 bytes skipped. See Capture->Options...";
    EXPECT_NE(shown.find(notice), std::string::npos) << shown;
    QTextCursor cursor(textEdit.document());
    cursor.setPosition(static_cast<int>(textControl.TextLength()) - 3);
    EXPECT_EQ(cursor.charFormat().foreground().color(), QColor(0, 0, 128));
    cursor.setPosition(3);
    EXPECT_EQ(cursor.charFormat().foreground().color(), QColor(0, 0, 0));
    EXPECT_TRUE(textEdit.isReadOnly());
    EXPECT_EQ(image.text().find("skipped"), std::string_view::npos)
        << "the message's text is unchanged";
}

TEST_F(ViewsOnQtTest, ADoubleClickOnAHeaderLineOpensItsReferencePage) {
    textEdit.resize(600, 400);
    treeWidget.setCurrentItem(treeWidget.topLevelItem(1));
    const QString all = textEdit.toPlainText();
    QTextCursor at(textEdit.document());
    at.setPosition(static_cast<int>(all.indexOf("Content-Type")) + 3);
    const QPoint point = textEdit.cursorRect(at).center();
    QMouseEvent press(QEvent::MouseButtonDblClick, point, textEdit.viewport()->mapToGlobal(point),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(textEdit.viewport(), &press);
    EXPECT_TRUE(help.isVisible());
    EXPECT_TRUE(help.browser()->source().toLocalFile().endsWith("httphelp/1417.htm"));
    EXPECT_TRUE(help.browser()->toPlainText().contains("Content-Type"));
}

TEST_F(ViewsOnQtTest, TheFindDialogSearchesTheShownTextAndBeepsAtTheEnd) {
    int beeps = 0;
    CSnifferView view(textControl, help, "", [&] { ++beeps; });
    document.AddView(&view);
    treeWidget.setCurrentItem(treeWidget.topLevelItem(0));
    ASSERT_EQ(view.currentMessage(), document.messages()[0].get());
    TextFindDialog dialog(view, &textEdit);
    dialog.Open();
    dialog.findWhat()->setText("http");
    ASSERT_TRUE(dialog.FindNext());
    EXPECT_EQ(textEdit.textCursor().selectedText(), "HTTP") << "the request line";
    const int first = textEdit.textCursor().selectionStart();
    dialog.findWhat()->setText("127.0.0.1");
    ASSERT_TRUE(dialog.FindNext()) << "the Host line, after the request line";
    EXPECT_GT(textEdit.textCursor().selectionStart(), first);
    dialog.findWhat()->setText("no such words");
    EXPECT_FALSE(dialog.FindNext());
    EXPECT_EQ(beeps, 1);
    dialog.findWhat()->setText("CURL");
    dialog.matchCase()->setChecked(true);
    EXPECT_FALSE(dialog.FindNext());
    dialog.matchCase()->setChecked(false);
    EXPECT_TRUE(dialog.FindNext());
    document.RemoveView(&view);
}

TEST(HelpBrowserTest, AMissingPageShowsNothing) {
    HelpBrowser help;
    help.DisplayTopic("/nowhere/httphelp.chm::/1417.htm");
    EXPECT_FALSE(help.isVisible());
    help.DisplayTopic(std::string(VANTOR_SOURCE_DIR) + "/ui/help/httphelp.chm");
    EXPECT_TRUE(help.isVisible());
    EXPECT_TRUE(help.browser()->source().toLocalFile().endsWith("httphelp/index.htm"));
}

}  // namespace
}  // namespace vantor
