#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeView>

#include <fstream>
#include <random>

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

std::vector<std::string> TopLevelTexts(const QAbstractItemModel& model) {
    std::vector<std::string> texts;
    for (int i = 0; i < model.rowCount(); ++i) {
        texts.push_back(model.index(i, 0).data().toString().toStdString());
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
    MessageTreeView view;
    QtTreeControl tree(&view);
    std::vector<TreeItem> selections;
    tree.SetSelectionHandler([&](TreeItem item) { selections.push_back(item); });
    const TreeItem b = tree.InsertItem(kNoItem, kInsertLast, "b", 2);
    const TreeItem a = tree.InsertItem(kNoItem, kInsertFirst, "a", 1);
    const TreeItem c = tree.InsertItem(kNoItem, b, "c", 5);
    const TreeItem child = tree.InsertItem(c, kInsertLast, "IP: 127.0.0.1:80", 0);
    EXPECT_EQ(tree.FirstChild(kNoItem), a);
    EXPECT_THAT(TopLevelTexts(tree), ElementsAre("a", "b", "c"));
    EXPECT_EQ(tree.NextSibling(a), b);
    EXPECT_EQ(tree.PreviousSibling(a), kNoItem);
    EXPECT_EQ(tree.NextSibling(c), kNoItem);
    EXPECT_EQ(tree.Parent(child), c);
    EXPECT_EQ(tree.FirstChild(c), child);
    EXPECT_EQ(tree.ItemImage(c), 5);
    EXPECT_FALSE(tree.index(2, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(tree.index(0, 0, tree.IndexOf(c)).data().toString(), "IP: 127.0.0.1:80");
    EXPECT_EQ(tree.parent(tree.IndexOf(child)), tree.IndexOf(c));
    tree.SetItem(c, "c2", 4);
    EXPECT_EQ(tree.ItemText(c), "c2");
    EXPECT_EQ(tree.ItemImage(c), 4);
    EXPECT_EQ(tree.index(2, 0).data().toString(), "c2");

    tree.Select(b);
    view.setCurrentIndex(tree.index(0, 0));  // the user clicks a
    tree.Select(kNoItem);
    EXPECT_THAT(selections, ElementsAre(b, a, kNoItem));
    EXPECT_EQ(tree.Selected(), kNoItem);

    tree.Expand(c);
    EXPECT_TRUE(tree.IsExpanded(c));
    EXPECT_TRUE(view.isExpanded(tree.index(2, 0)));
    tree.DeleteItem(b);
    EXPECT_THAT(TopLevelTexts(tree), ElementsAre("a", "c2"));
    tree.DeleteItem(child);
    EXPECT_EQ(tree.FirstChild(c), kNoItem);
    tree.DeleteAllItems();
    EXPECT_EQ(tree.rowCount(), 0);
}

TEST(QtTreeControlTest, ItemsMadeWhileHiddenArriveInOrderWhenShown) {
    MessageTreeView view;
    QtTreeControl tree(&view);
    tree.InsertItem(kNoItem, kInsertLast, "before", 2);
    tree.Flush();
    tree.SetVisible(false);
    const TreeItem first = tree.InsertItem(kNoItem, kInsertLast, "1", 2);
    tree.InsertItem(first, kInsertLast, "detail", 0);
    tree.InsertItem(kNoItem, kInsertLast, "3", 2);
    tree.InsertItem(kNoItem, first, "2", 5);
    int inserted = 0;
    QObject::connect(&tree, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
    QApplication::processEvents();
    EXPECT_EQ(tree.rowCount(), 1) << "still waiting";
    tree.SetVisible(true);
    EXPECT_THAT(TopLevelTexts(tree), ElementsAre("before", "1", "2", "3"));
    EXPECT_EQ(tree.rowCount(tree.index(1, 0)), 1);
    EXPECT_EQ(inserted, 1) << "all in one go";
}

// While the tree is shown, messages arriving one by one join it in batches: the view lays out
// its rows once per batch, not once per message.
TEST(QtTreeControlTest, ItemsAddedWhileShownJoinTheViewInABatch) {
    MessageTreeView view;
    view.show();
    QtTreeControl tree(&view);
    const TreeItem shown = tree.InsertItem(kNoItem, kInsertLast, "shown", 2);
    tree.Flush();
    int inserted = 0;
    QObject::connect(&tree, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
    const TreeItem last = tree.InsertItem(kNoItem, kInsertLast, "last", 2);
    tree.InsertItem(last, kInsertLast, "detail", 0);
    tree.InsertItem(kNoItem, last, "after last", 2);
    const TreeItem afterShown = tree.InsertItem(kNoItem, shown, "after shown", 2);
    tree.InsertItem(kNoItem, afterShown, "after that", 2);
    tree.SetItem(last, "last, renamed", 3);
    EXPECT_EQ(tree.rowCount(), 1);
    QElapsedTimer waited;
    waited.start();
    while (tree.rowCount() == 1 && waited.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    EXPECT_THAT(TopLevelTexts(tree),
                ElementsAre("shown", "after shown", "after that", "last, renamed", "after last"));
    EXPECT_EQ(tree.rowCount(tree.index(3, 0)), 1);
    EXPECT_EQ(inserted, 3) << "one for the appended, one for each placed after another";
}

// Random insertions (first, last, after any item, while hidden or shown) and deletions, checked
// against a plain list after every step: rows remembered by the items go stale as others come
// and go, and must never lead a walk astray.
TEST(QtTreeControlTest, SiblingsStayRightThroughInsertionsAndDeletionsAnywhere) {
    MessageTreeView view;
    QtTreeControl tree(&view);
    std::vector<TreeItem> expected;
    std::mt19937 random(7);
    auto pick = [&] {
        return std::uniform_int_distribution<std::size_t>(0, expected.size() - 1)(random);
    };
    for (int step = 0; step < 1500; ++step) {
        const int action = std::uniform_int_distribution<int>(0, 9)(random);
        if (action == 0) {
            tree.SetVisible(false);
        } else if (action == 1) {
            tree.SetVisible(true);
        } else if (action <= 3 && !expected.empty()) {
            const std::size_t at = pick();
            tree.DeleteItem(expected[at]);
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at));
        } else if (action == 4) {
            expected.insert(expected.begin(),
                            tree.InsertItem(kNoItem, kInsertFirst, std::to_string(step), 2));
        } else if (action <= 6 || expected.empty()) {
            expected.push_back(tree.InsertItem(kNoItem, kInsertLast, std::to_string(step), 2));
        } else {
            const std::size_t at = pick();
            const TreeItem item = tree.InsertItem(kNoItem, expected[at], std::to_string(step), 2);
            expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at) + 1, item);
        }
        if (step % 50 == 0 || expected.size() < 8) {
            std::vector<TreeItem> forward;
            for (TreeItem item = tree.FirstChild(kNoItem); item != kNoItem;
                 item = tree.NextSibling(item)) {
                forward.push_back(item);
            }
            ASSERT_EQ(forward, expected) << "step " << step;
        }
        if (!expected.empty()) {
            // A step from somewhere in the middle, both ways.
            const std::size_t at = pick();
            ASSERT_EQ(tree.NextSibling(expected[at]),
                      at + 1 < expected.size() ? expected[at + 1] : kNoItem);
            ASSERT_EQ(tree.PreviousSibling(expected[at]), at > 0 ? expected[at - 1] : kNoItem);
        }
    }
    tree.SetVisible(true);
    EXPECT_EQ(tree.rowCount(), static_cast<int>(expected.size()));
}

TEST(QtRichEditControlTest, ANewTextStartsAtTheTopInBlack) {
    MessageTextEdit edit;
    edit.resize(300, 200);
    edit.show();
    QtRichEditControl control(&edit);
    control.SetDefaultColor(kBlack);
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    control.SetText(text);
    control.SetSelection(control.TextLength(), control.TextLength());
    edit.ensureCursorVisible();
    ASSERT_GT(edit.verticalScrollBar()->value(), 0);
    control.SetSelection(control.TextLength() - 4, control.TextLength());
    control.SetSelectionColor(kNavy);
    control.SetText(text + "more");
    EXPECT_EQ(edit.verticalScrollBar()->value(), 0);
    EXPECT_EQ(control.Selection(), (std::pair<std::size_t, std::size_t>{0, 0}));
    QTextCursor cursor(edit.document());
    cursor.setPosition(static_cast<int>(control.TextLength()) - 2);
    EXPECT_EQ(cursor.charFormat().foreground().color(), QColor(0, 0, 0))
        << "the navy of the text before is gone";
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
    EXPECT_EQ(edit.lineWrapMode(), QPlainTextEdit::NoWrap);
}

// A line far longer than the widget lays out at once is shown in pieces; everything the
// control says and does goes by the text itself.
TEST(QtRichEditControlTest, ALongLineIsShownInPiecesButReadAsTheText) {
    MessageTextEdit edit;
    QtRichEditControl control(&edit);
    const std::size_t piece = QtRichEditControl::kDisplayLine;
    // A header line, then one line of 5 pieces and a bit, "needle" across the second break,
    // a two-unit character where the third would fall, then a short last line.
    std::string line(5 * piece + 100, 'x');
    line.replace(2 * piece - 3, 6, "needle");
    line.replace(3 * piece - 1, 4, "\xF0\x9F\x98\x80");  // U+1F600: two UTF-16 units, one of them
    line.replace(3 * piece + 3, 1, " ");
    const std::string text = "HTTP/1.1 200 OK\n" + line + "\nContent-Type: text/plain";
    control.SetText(text);
    EXPECT_GT(edit.document()->blockCount(), 5) << "the long line is shown in pieces";
    for (QTextBlock block = edit.document()->begin(); block.isValid(); block = block.next()) {
        EXPECT_LE(block.text().size(), static_cast<qsizetype>(piece) + 1);
        EXPECT_FALSE(!block.text().isEmpty() && block.text()[0].isLowSurrogate())
            << "a character cut in two";
    }
    EXPECT_EQ(control.Text(), text);
    const auto length = static_cast<std::size_t>(QString::fromStdString(text).size());
    EXPECT_EQ(control.TextLength(), length);

    const std::size_t needle = 16 + 2 * piece - 3;
    const auto found = control.Find("NEEDLE", 0, length, false, false);
    ASSERT_TRUE(found.has_value()) << "a match across a display break";
    EXPECT_EQ(*found, std::pair(needle, needle + 6));
    EXPECT_FALSE(control.Find("needle", 0, length, false, true).has_value()) << "inside a word";
    control.SetSelection(found->first, found->second);
    EXPECT_EQ(control.Selection(), *found);
    EXPECT_EQ(control.SelectedText(), "needle");
    control.CopySelection();
    EXPECT_EQ(QApplication::clipboard()->text(), "needle");
    control.SetSelection(0, length);
    EXPECT_EQ(control.SelectedText(), text);

    // Lines are the text's lines.
    EXPECT_EQ(control.LineFromChar(needle), 1u);
    EXPECT_EQ(control.LineFromChar(length - 2), 2u);
    EXPECT_EQ(control.LineIndex(2), length - 24);
    EXPECT_EQ(control.LineText(2, 100), "Content-Type: text/plain");
    EXPECT_EQ(control.LineText(1, 8), std::string(8, 'x'));

    // The notice that replaces the last character moves nothing before it.
    control.SetSelection(length - 1, length);
    control.ReplaceSelection("[notice]");
    EXPECT_EQ(control.Text(), text.substr(0, text.size() - 1) + "[notice]");
    EXPECT_EQ(control.Find("needle", 0, length + 7, true, false), found);
}

// A document grown from the sample capture, shown by both views in real widgets.
class ViewsOnQtTest : public testing::Test {
protected:
    ViewsOnQtTest()
        : treeControl(&treeView),
          textControl(&textEdit),
          left(treeControl),
          right(textControl, help, std::string(VANTOR_SOURCE_DIR) + "/ui/help/", [] {}) {
        document.AddView(&left);
        document.AddView(&right);
        document.OnNewDocument();
        document.SendInitialUpdate();
        CaptureDispatch dispatch([this] { return &document; });
        std::ifstream input(std::string(VANTOR_SOURCE_DIR) + "/samples/sample.records",
                            std::ios::binary);
        EXPECT_TRUE(ReplayRecordStream(input, dispatch).ok());
        treeControl.Flush();
    }

    test::ScopedDefaultOptions options;
    MessageTreeView treeView;
    MessageTextEdit textEdit;
    QtTreeControl treeControl;
    QtRichEditControl textControl;
    HelpBrowser help;
    CSnifferDoc document;
    CLeftView left;
    CSnifferView right;
};

TEST_F(ViewsOnQtTest, TheTreeShowsEveryMessageWithItsCaptionImageAndDetailLines) {
    ASSERT_EQ(treeControl.rowCount(), 22);
    // The POST's first record held only part of its header: its entry keeps the first line and
    // the grey arrow until the tree is built again.
    const QModelIndex post = treeControl.index(8, 0);
    EXPECT_EQ(post.data().toString(), "POST /api/login HTTP/1.1");
    EXPECT_EQ(treeControl.ItemImage(treeControl.ItemAt(post)), kImageRequestIncomplete);
    document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    ASSERT_EQ(treeControl.rowCount(), 22);
    for (int i = 0; i < 22; ++i) {
        const HTTPMessage& message = *document.messages()[static_cast<std::size_t>(i)];
        const QModelIndex item = treeControl.index(i, 0);
        EXPECT_EQ(item.data().toString().toStdString(), message.caption());
        EXPECT_EQ(treeControl.ItemImage(treeControl.ItemAt(item)), message.GetTreeImage());
        ASSERT_EQ(treeControl.rowCount(item), 2);
        EXPECT_EQ(treeControl.index(0, 0, item).data().toString().toStdString(),
                  message.peerText());
        EXPECT_EQ(treeControl.index(1, 0, item).data().toString().toStdString(),
                  message.timeText());
    }
    EXPECT_EQ(treeControl.index(7, 0).data().toString(), "200 OK");
    EXPECT_EQ(treeControl.ItemImage(treeControl.ItemAt(treeControl.index(11, 0))),
              kImageResponseError);
}

TEST_F(ViewsOnQtTest, ExpandAllAndCollapseAllReachEveryMessage) {
    treeView.resize(400, 3000);
    treeView.show();
    left.ExpandAll();
    QApplication::processEvents();
    for (int i = 0; i < treeControl.rowCount(); ++i) {
        ASSERT_TRUE(treeView.isExpanded(treeControl.index(i, 0))) << i;
    }
    const QModelIndex lastDetail = treeControl.index(1, 0, treeControl.index(21, 0));
    EXPECT_EQ(lastDetail.data().toString().toStdString(), document.messages()[21]->timeText());
    EXPECT_FALSE(treeView.visualRect(lastDetail).isEmpty()) << "laid out and shown";
    left.CollapseAll();
    QApplication::processEvents();
    for (int i = 0; i < treeControl.rowCount(); ++i) {
        ASSERT_FALSE(treeView.isExpanded(treeControl.index(i, 0))) << i;
    }
    EXPECT_TRUE(treeView.visualRect(lastDetail).isEmpty());
}

TEST_F(ViewsOnQtTest, SelectingAMessageShowsItsTextWithTheNoticeInNavy) {
    treeView.setCurrentIndex(treeControl.index(7, 0));  // the image, body not kept
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

TEST_F(ViewsOnQtTest, AGrowingShownMessageIsRedrawnByTheTimerAndCatchesUp) {
    right.SetRedrawScheduler(
        [this](std::function<void()> redraw) { textControl.ScheduleRedraw(std::move(redraw)); });
    CaptureRecord header;
    header.connectionId = 999;
    header.direction = Direction::Sent;
    const std::string request = "GET /big.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    document.NewRequest(header,
                        {reinterpret_cast<const std::uint8_t*>(request.data()), request.size()});
    header.direction = Direction::Received;
    header.previousDirection = Direction::Sent;
    const std::string status = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    document.NewResponse(header,
                         {reinterpret_cast<const std::uint8_t*>(status.data()), status.size()});
    treeControl.Flush();
    treeView.setCurrentIndex(treeControl.index(treeControl.rowCount() - 1, 0));
    ASSERT_EQ(textControl.Text(), "HTTP/1.1 200 OK\nContent-Type: text/plain\n\n");
    header.previousDirection = Direction::Received;
    for (int i = 0; i < 50; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        document.AppendResponse(header,
                                {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
    }
    EXPECT_EQ(textControl.Text().find("line"), std::string::npos) << "not yet";
    QElapsedTimer waited;
    waited.start();
    while (textControl.Text().find("line 49") == std::string::npos && waited.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    EXPECT_NE(textControl.Text().find("line 49\n"), std::string::npos);
}

TEST_F(ViewsOnQtTest, ADoubleClickOnAHeaderLineOpensItsReferencePage) {
    textEdit.resize(600, 400);
    treeView.setCurrentIndex(treeControl.index(1, 0));
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
    treeView.setCurrentIndex(treeControl.index(0, 0));
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

TEST(HelpBrowserTest, AMissingPageShowsNothingAndMissingPagesAreToldOnce) {
    HelpBrowser help;
    const std::string pages = std::string(VANTOR_SOURCE_DIR) + "/ui/help/";
    help.DisplayTopic(pages + "httphelp.chm::/no-such-page.htm");
    EXPECT_FALSE(help.isVisible());
    help.DisplayTopic(pages + "httphelp.chm");
    EXPECT_TRUE(help.isVisible());
    EXPECT_TRUE(help.browser()->source().toLocalFile().endsWith("httphelp/index.htm"));

    // No help pages at all (no vantor-setup and none beside the program): said the first time.
    std::vector<std::string> told;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&told] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            told.push_back(box->text().toStdString());
            box->accept();
        }
    });
    watch.start();
    HelpBrowser none;
    none.DisplayTopic("vantor.chm::/dlg_cap.htm");
    none.DisplayTopic("/nowhere/httphelp.chm::/1417.htm");
    EXPECT_FALSE(none.isVisible());
    EXPECT_THAT(told, testing::ElementsAre(std::string(kTextNoHelpPages)));
}

}  // namespace
}  // namespace vantor
