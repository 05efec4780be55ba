// The exchange list in the real window, driven as a user drives it: the list, sorting, the
// filter bar, the pane for each kind of exchange, and the exchange commands.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <fstream>

#include "app/qt/ExchangeListPanel.h"
#include "capture/CaptureDispatch.h"
#include "capture/RecordReplay.h"
#include "options/Options.h"
#include "qt/MainWindowFixture.h"

namespace vantor {
namespace {

class ExchangeListWindowTest : public test::MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        // JSON and images kept; other application types (the download) are not.
        Preferences().allowed_content = R"("" "text/" "image/" "application/json")";
        Preferences().ParseContentTypes();
        app.CaptureOptionsChanged();
        frame->OnCommand(ID_VIEW_EXCHANGE_LIST);
        frame->show();
        app.document().OnNewDocument();
        std::ifstream input(std::string(VANTOR_SOURCE_DIR) + "/samples/exchanges.records",
                            std::ios::binary);
        CaptureDispatch dispatch([this] { return &app.document(); });
        ASSERT_TRUE(ReplayRecordStream(input, dispatch).ok());
        panel = frame->exchanges();
        panel->Flush();
        QApplication::processEvents();
    }
    QTableView* table() const { return panel->table(); }
    QString Cell(int row, ExchangeColumn column) const {
        return table()->model()->index(row, static_cast<int>(column)).data().toString();
    }
    int Rows() const { return table()->model()->rowCount(); }
    // Selects the row whose path is path, as a click does.
    void SelectPath(const QString& path) {
        for (int row = 0; row < Rows(); ++row) {
            if (Cell(row, ExchangeColumn::Path) == path) {
                const QRect place = table()->visualRect(table()->model()->index(row, 1));
                QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, place.center());
                return;
            }
        }
        ADD_FAILURE() << "no row for " << path.toStdString();
    }
    void Type(const QString& filter) {
        panel->filterBar()->clear();
        QTest::keyClicks(panel->filterBar(), filter);
        QTest::qWait(300);  // the list waits for the typing to pause
    }
    void ClickHeader(ExchangeColumn column) {
        QHeaderView* header = table()->horizontalHeader();
        const int x = header->sectionViewportPosition(static_cast<int>(column)) + 5;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }
    MessageSide* Response() const { return panel->pane()->responseSide(); }

    ExchangeListPanel* panel = nullptr;
};

TEST_F(ExchangeListWindowTest, TheListSortsAndFiltersAsTheUserTypes) {
    ASSERT_EQ(Rows(), 9);
    EXPECT_EQ(frame->exchangeCount()->text(), "9 of 9 exchanges shown");
    EXPECT_EQ(Cell(0, ExchangeColumn::Path), "/v1/users?page=1");
    EXPECT_EQ(Cell(5, ExchangeColumn::Protocol), "HTTP/2 stream 1");
    EXPECT_EQ(Cell(5, ExchangeColumn::Tls), "hooked");
    EXPECT_TRUE(
        table()->horizontalHeader()->isSectionHidden(static_cast<int>(ExchangeColumn::Process)))
        << "no process is known";

    ClickHeader(ExchangeColumn::Status);
    EXPECT_EQ(Cell(0, ExchangeColumn::Status), "101");
    ClickHeader(ExchangeColumn::Status);
    EXPECT_EQ(Cell(0, ExchangeColumn::Status), "503");
    ClickHeader(ExchangeColumn::Number);
    EXPECT_EQ(Cell(0, ExchangeColumn::Number), "1");

    Type("status:4xx | status:5xx");
    EXPECT_EQ(Rows(), 2);
    EXPECT_EQ(frame->exchangeCount()->text(), "2 of 9 exchanges shown");
    EXPECT_FALSE(panel->filterError()->isVisible());

    // A mistake is pointed at, and the last good filter stays.
    Type("status:4x5 host:cdn");
    EXPECT_EQ(Rows(), 2);
    EXPECT_TRUE(panel->filterError()->isVisible());
    EXPECT_TRUE(panel->filterError()->text().contains("a status is a code (404)"));
    EXPECT_TRUE(panel->filterError()->text().contains("text-decoration:underline'>status:4x5<"));

    Type("body:linus");  // inside the gzip-coded JSON
    EXPECT_EQ(Rows(), 1);
    EXPECT_FALSE(panel->filterError()->isVisible());

    // Filter on this host adds to the filter.
    Type("");
    EXPECT_EQ(Rows(), 9);
    SelectPath("/static/logo.png");
    panel->action(ID_EXCHANGE_FILTER_HOST)->trigger();
    EXPECT_EQ(panel->filterBar()->text(), "host:cdn.example.test");
    EXPECT_EQ(Rows(), 2);

    // The Filter menu combines with the bar.
    Filter().rescode_client_error = 0;
    frame->OnCommand(ID_FILTER_ENABLE);
    panel->Flush();
    EXPECT_EQ(Rows(), 1);
    frame->OnCommand(ID_FILTER_DISABLE);
}

TEST_F(ExchangeListWindowTest, ThePaneShowsEachKindOfExchange) {
    SelectPath("/v1/users?page=1");
    Response()->tabs()->setCurrentIndex(1);  // Body
    EXPECT_TRUE(panel->pane()->summary()->text().contains("200 OK"));
    EXPECT_EQ(Response()->bodyKind(), "json");
    ASSERT_TRUE(Response()->treeSwitch()->isVisible());
    EXPECT_EQ(Response()->shownBody(), Response()->jsonTree());
    EXPECT_EQ(Response()->jsonTree()->topLevelItem(0)->text(1), "{3}");
    Response()->treeSwitch()->click();
    EXPECT_EQ(Response()->shownBody(), Response()->bodyText());
    EXPECT_TRUE(Response()->bodyText()->toPlainText().contains("  \"users\": [\n"));
    EXPECT_EQ(Response()->headerTable()->item(1, 0)->text(), "Content-Encoding");

    SelectPath("/static/logo.png");
    EXPECT_EQ(Response()->bodyKind(), "image");
    EXPECT_FALSE(Response()->image()->pixmap().isNull());

    SelectPath("/chat");
    QTableWidget* messages = panel->pane()->webSocketTable();
    EXPECT_TRUE(Response()->tabs()->isTabVisible(3));
    ASSERT_EQ(messages->rowCount(), 8);
    EXPECT_EQ(messages->item(1, 0)->text(), "← received");
    EXPECT_EQ(messages->item(1, 3)->text(), R"({"joined": "general", "members": 3})");

    SelectPath("/cart");
    EXPECT_TRUE(panel->pane()->summary()->text().contains("HTTP/2 stream 1 &middot; TLS hooked"));
    EXPECT_FALSE(Response()->tabs()->isTabVisible(3));

    // A body left out for its type: one click keeps such bodies from now on.
    SelectPath("/files/firmware.bin");
    EXPECT_TRUE(Response()->notice()->text().contains("not among those kept"));
    ASSERT_TRUE(Response()->keepButton()->isVisible());
    EXPECT_EQ(Response()->keepButton()->text(), "Keep bodies of type application/octet-stream");
    Response()->keepButton()->click();
    EXPECT_NE(Preferences().allowed_content.find("\"application/octet-stream\""),
              std::string::npos);
    EXPECT_TRUE(app.document().captureRules().responseBodies);
}

TEST_F(ExchangeListWindowTest, CommandsCopySaveAndExportTheSelection) {
    SelectPath("/v1/users");
    panel->action(ID_EXCHANGE_COPY_CURL)->trigger();
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith(
        "curl -X 'POST' 'http://api.example.test/v1/users' -H 'Host: api.example.test'"));
    EXPECT_TRUE(QApplication::clipboard()->text().endsWith(
        "--data-binary '{\"name\": \"margaret\", \"admin\": false}'"));
    panel->action(ID_EXCHANGE_COPY_URL)->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "http://api.example.test/v1/users");
    panel->action(ID_EXCHANGE_COPY_RESPONSE)->trigger();
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith("HTTP/1.1 201 Created\r\n"));

    // Save Body As writes the body decoded, for the user alone.
    const std::string folder = testing::TempDir();
    std::string asked;
    panel->SetPathAsker([&](const QString&, const std::string& suggested) {
        asked = suggested;
        return std::optional<std::string>(folder + "/saved-" + suggested);
    });
    SelectPath("/v1/users?page=1");
    panel->action(ID_EXCHANGE_SAVE_BODY)->trigger();
    EXPECT_EQ(asked, "users");
    std::ifstream saved(folder + "/saved-users");
    const std::string body((std::istreambuf_iterator<char>(saved)), {});
    EXPECT_TRUE(body.starts_with("{\"users\": [{\"id\": 1, \"name\": \"ada\"")) << body;
    struct stat status {};
    ASSERT_EQ(::stat((folder + "/saved-users").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // Export Selected as HAR: the rows selected, no others.
    table()->selectAll();
    table()->selectionModel()->select(table()->model()->index(0, 0),
                                      QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    panel->action(ID_EXCHANGE_EXPORT_HAR)->trigger();
    std::ifstream archive(folder + "/saved-exchanges.har");
    const std::string har((std::istreambuf_iterator<char>(archive)), {});
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = har.find("\"startedDateTime\"", at)) != std::string::npos;
         ++at) {
        ++entries;
    }
    EXPECT_EQ(entries, 8u);
    EXPECT_EQ(har.find("page=1"), std::string::npos);
}

TEST_F(ExchangeListWindowTest, TheChosenViewAndTheColumnsAreRemembered) {
    QHeaderView* header = table()->horizontalHeader();
    header->setSectionHidden(static_cast<int>(ExchangeColumn::Time), true);
    header->moveSection(static_cast<int>(ExchangeColumn::Status), 1);
    header->resizeSection(static_cast<int>(ExchangeColumn::Host), 222);
    frame->OnCommand(ID_VIEW_MESSAGE_TREE);
    EXPECT_EQ(Preferences().main_view, 1);
    EXPECT_TRUE(frame->treeWidget()->isVisible());
    app.document().SetModifiedFlag(false);
    frame->close();
    EXPECT_FALSE(Preferences().exchange_columns.empty());

    // A window made with those settings lays the list out as it was.
    ExchangeListPanel again(app.document(), frame->help(), "");
    again.RestoreLayout(Preferences().exchange_columns, Preferences().exchange_panes);
    QHeaderView* restored = again.table()->horizontalHeader();
    EXPECT_TRUE(restored->isSectionHidden(static_cast<int>(ExchangeColumn::Time)));
    EXPECT_EQ(restored->visualIndex(static_cast<int>(ExchangeColumn::Status)), 1);
    EXPECT_EQ(restored->sectionSize(static_cast<int>(ExchangeColumn::Host)), 222);
}

}  // namespace
}  // namespace vantor
