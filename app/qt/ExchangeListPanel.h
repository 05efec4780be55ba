#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "content/Exchange.h"
#include "ui/ExchangeListView.h"
#include "ui/HTTPHelpTopics.h"
#include "ui/qt/ExchangePane.h"
#include "ui/qt/ExchangeTableModel.h"

class QAction;
class QLabel;
class QLineEdit;
class QSplitter;
class QTableView;
class QTimer;

namespace vantor {

class CSnifferDoc;
class HelpOpener;

// The exchange list with its filter bar above it and the selected exchange's pane below: the
// window's main view. It follows the document as one of its views, brings the table up to date
// a few times a second, and serves the exchange commands (copy, save, export, filter on).
class ExchangeListPanel : public QWidget {
    Q_OBJECT

public:
    ExchangeListPanel(CSnifferDoc& document, HelpOpener& help, std::string helpFolder,
                      QWidget* parent = nullptr);
    ~ExchangeListPanel() override;

    ExchangeListView& view() { return m_view; }
    QLineEdit* filterBar() const { return m_filterBar; }
    QLabel* filterError() const { return m_filterError; }
    QTableView* table() const { return m_table; }
    ExchangePane* pane() const { return m_pane; }
    QSplitter* splitter() const { return m_splitter; }
    QAction* action(int command) const;

    // Brings the table (and the pane, when its exchange changed) up to date.
    void Flush();
    // "N of M exchanges shown".
    QString CountText() const;
    // Filters by text at once (typing waits a moment for the next key first).
    void ApplyFilter();
    void SelectRow(int row);
    // Selects the exchange of message; false when the filter hides it.
    bool SelectMessage(const HTTPMessage* message);
    std::vector<Exchange> SelectedExchanges() const;
    // Runs an exchange command on the selection.
    void Run(int command);

    // Where to save a body or an archive (a file dialog unless replaced); nothing when cancelled.
    using PathAsker = std::function<std::optional<std::string>(const QString& title,
                                                               const std::string& suggested)>;
    void SetPathAsker(PathAsker ask) { m_askPath = std::move(ask); }
    // What is done when the user asks to keep bodies of a media type.
    void SetKeepTypeHandler(std::function<void(const std::string&)> keep);
    // Tells the user of a failure (a message box unless replaced).
    void SetFailureReporter(std::function<void(const std::string&)> report) {
        m_report = std::move(report);
    }

    // The columns and pane sizes as one text, for the settings, and back.
    std::string SaveLayout() const;
    void RestoreLayout(const std::string& columns, const std::string& panes);
    std::string SavePanes() const;

Q_SIGNALS:
    void countChanged();

private:
    void BuildActions();
    void ShowContextMenu(const QPoint& at);
    void ShowHeaderMenu(const QPoint& at);
    void SelectionChanged();
    void AfterReset();
    void AddFilterTerm(const std::string& term);
    void ShowFilterError(const ExchangeQuery::Error& error);

    CSnifferDoc& m_document;
    HTTPHelpTopics m_topics;
    ExchangeTableModel m_model;
    ExchangeListView m_view;
    QLineEdit* m_filterBar;
    QLabel* m_filterError;
    QSplitter* m_splitter;
    QTableView* m_table;
    ExchangePane* m_pane;
    QTimer* m_flushTimer;
    QTimer* m_typingTimer;
    std::map<int, QAction*> m_actions;
    // The exchange selected, by its first message, and the document's contents it belongs to.
    const HTTPMessage* m_selected = nullptr;
    std::uint64_t m_generation = 0;
    bool m_processColumnDecided = false;
    // The selected exchange changed since the pane showed it; when it may be shown again.
    bool m_paneStale = false;
    QElapsedTimer m_paneClock;
    qint64 m_paneWait = 0;
    PathAsker m_askPath;
    std::function<void(const std::string&)> m_report;
};

}  // namespace vantor
