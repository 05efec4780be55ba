#pragma once

#include <QMainWindow>
#include <array>
#include <map>
#include <vector>

#include "ui/CLeftView.h"
#include "ui/CSnifferView.h"
#include "ui/FrameCommands.h"
#include "ui/qt/HelpBrowser.h"
#include "ui/qt/QtRichEditControl.h"
#include "ui/qt/QtTreeControl.h"

class QAction;
class QLabel;
class QMenu;
class QStackedWidget;
class QSocketNotifier;
class QSplitter;
class QTimer;
class QToolBar;

namespace vantor {

class CSnifferApp;
class ExchangeListPanel;
class TextFindDialog;

// The main window: the message tree left of the message text, the menu, the toolbar and the
// status bar. Every command goes through OnCommand by its number, from the menu, the toolbar
// or a key.
class CMainFrame : public QMainWindow {
    Q_OBJECT

public:
    explicit CMainFrame(CSnifferApp& app, QWidget* parent = nullptr);
    ~CMainFrame() override;

    void OnCommand(int command);
    // Brings every command's enabled state, and the toolbar's changing positions, up to date.
    void UpdateCommandUI();
    // What the application does whenever the window has nothing else to do.
    void OnIdle();
    // The title, the Save state and the recent files, after the document changed.
    void UpdateDocumentState();
    // Brings the window forward, restoring it when minimised.
    void BringForward();

    // The menu entry of a command (also what its key triggers).
    QAction* action(int command) const;
    QAction* toolbarAction(std::size_t position) const { return m_toolbarActions[position]; }
    // The command a toolbar position carries now (0 for none or a separator).
    int toolbarCommand(std::size_t position) const;
    const std::vector<QAction*>& recentFileActions() const { return m_recentFileActions; }

    FrameCommands& commands() { return m_commands; }
    CLeftView& leftView() { return m_leftView; }
    CSnifferView& textView() { return m_textView; }
    QtTreeControl& treeControl() { return m_treeControl; }
    QtRichEditControl& textControl() { return m_textControl; }
    MessageTreeView* treeWidget() const { return m_treeWidget; }
    MessageTextEdit* textWidget() const { return m_textWidget; }
    QSplitter* splitter() const { return m_splitter; }
    ExchangeListPanel* exchanges() const { return m_exchanges; }
    QLabel* exchangeCount() const { return m_exchangeCount; }
    // Which main view shows: the exchange list, or the message tree and its text.
    bool showsExchangeList() const;
    void ShowMainView(bool exchangeList);
    bool textPaneActive() const { return m_textPaneActive; }
    HelpBrowser& help() { return m_help; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void BuildToolbar();
    QAction* AddCommand(QMenu* menu, int command, const char* text,
                        const QList<QKeySequence>& keys = {});
    void RunWindowCalls();
    void AnswerInstanceSignal();
    void OpenRequestedDocuments();
    void ShowMessageBox(const std::string& text);
    std::string HelpFolder() const;

    // The frame's commands (the others are the application's and the views').
    void OnViewOptions();
    void OnFilterOptions();
    void OnCaptureOptions();
    void OnFindMessage();
    void OnFindNextMessage();
    // In the exchange list, the exchange of the message Find Message found is selected.
    void ShowFoundExchange();
    void OnNextPane();
    // Bodies of this media type are kept from now on (the exchange pane's offer).
    void KeepBodiesOfType(const std::string& mediaType);
    // The pane that last had the keyboard focus: the text view's commands (Copy, Find, Find
    // Next) are served only while it is the text view.
    void FocusChanged(QWidget* now);

    CSnifferApp& m_app;
    FrameCommands m_commands;
    std::vector<QIcon> m_toolbarIcons;
    QStackedWidget* m_views;
    QSplitter* m_splitter;
    MessageTreeView* m_treeWidget;
    MessageTextEdit* m_textWidget;
    QtTreeControl m_treeControl;
    QtRichEditControl m_textControl;
    HelpBrowser m_help;
    CLeftView m_leftView;
    CSnifferView m_textView;
    ExchangeListPanel* m_exchanges = nullptr;
    QLabel* m_exchangeCount = nullptr;
    TextFindDialog* m_textFind = nullptr;
    QToolBar* m_toolbar = nullptr;
    std::map<int, QAction*> m_actions;
    std::array<QAction*, kToolbarPositions> m_toolbarActions{};
    std::vector<QAction*> m_recentFileActions;
    QTimer* m_idleTimer;
    QSocketNotifier* m_instanceNotifier = nullptr;
    bool m_textPaneActive = false;  // the tree is the active pane at start
    QMetaObject::Connection m_focusWatch;
};

}  // namespace vantor
