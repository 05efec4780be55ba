#include "app/qt/CMainFrame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>

#include "app/CSnifferApp.h"
#include "app/qt/ExchangeListPanel.h"
#include "framework/RecentFileList.h"
#include "options/AppStrings.h"
#include "options/Options.h"
#include "platform/InstanceSignal.h"
#include "ui/qt/QtText.h"
#include "ui/qt/TextFindDialog.h"
#include "ui/qt/ToolbarImages.h"

namespace vantor {

namespace {

constexpr int kIdleMilliseconds = 200;
constexpr int kInitialPaneWidth = 100;

}  // namespace

CMainFrame::CMainFrame(CSnifferApp& app, QWidget* parent)
    : QMainWindow(parent),
      m_app(app),
      m_commands(GlobalOptions()),
      m_toolbarIcons(ToolbarImages::Icons()),
      m_views(new QStackedWidget(this)),
      m_splitter(new QSplitter(Qt::Horizontal, m_views)),
      m_treeWidget(new MessageTreeView(m_splitter)),
      m_textWidget(new MessageTextEdit(m_splitter)),
      m_treeControl(m_treeWidget),
      m_textControl(m_textWidget),
      m_leftView(m_treeControl),
      m_textView(m_textControl, m_help, GlobalOptions().helpFolder, [] { QApplication::beep(); }),
      m_idleTimer(new QTimer(this)) {
    setWindowTitle(ToQString(kApplicationName));
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setSizes({kInitialPaneWidth, 600});
    m_splitter->setStretchFactor(1, 1);
    m_exchanges =
        new ExchangeListPanel(m_app.document(), m_help, GlobalOptions().helpFolder, m_views);
    m_exchanges->SetKeepTypeHandler(
        [this](const std::string& mediaType) { KeepBodiesOfType(mediaType); });
    m_exchanges->RestoreLayout(Preferences().exchange_columns, Preferences().exchange_panes);
    m_views->addWidget(m_exchanges);
    m_views->addWidget(m_splitter);
    setCentralWidget(m_views);
    m_textView.SetRedrawScheduler(
        [this](std::function<void()> redraw) { m_textControl.ScheduleRedraw(std::move(redraw)); });
    connect(m_textWidget, &QPlainTextEdit::copyAvailable, this, [this] { UpdateCommandUI(); });
    m_focusWatch = connect(qApp, &QApplication::focusChanged, this,
                           [this](QWidget*, QWidget* now) { FocusChanged(now); });

    statusBar()->setObjectName("59393");
    m_exchangeCount = new QLabel(this);
    statusBar()->addPermanentWidget(m_exchangeCount);
    connect(m_exchanges, &ExchangeListPanel::countChanged, this,
            [this] { m_exchangeCount->setText(m_exchanges->CountText()); });
    m_exchangeCount->setText(m_exchanges->CountText());
    BuildMenus();
    ShowMainView(Preferences().main_view == 0);
    BuildToolbar();
    auto* nextPane = new QShortcut(QKeySequence(Qt::Key_F6), this);
    auto* previousPane = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6), this);
    connect(nextPane, &QShortcut::activated, this, [this] { OnNextPane(); });
    connect(previousPane, &QShortcut::activated, this, [this] { OnNextPane(); });

    CSnifferDoc& document = m_app.document();
    document.AddView(&m_leftView);
    document.AddView(&m_textView);

    // Records from the capture reader reach the document on this thread. (The reader has
    // ended before the window goes: the exit sequence stops capture first. A wake-up still
    // queued then is dropped with the window.)
    m_app.windowCalls().SetWakeHandler([this] {
        QMetaObject::invokeMethod(
            this, [this] { RunWindowCalls(); }, Qt::QueuedConnection);
    });
    if (InstanceSignal* signal = m_app.instanceSignal()) {
        m_instanceNotifier = new QSocketNotifier(signal->fd(), QSocketNotifier::Read, this);
        connect(m_instanceNotifier, &QSocketNotifier::activated, this,
                [this] { AnswerInstanceSignal(); });
    }
    connect(m_idleTimer, &QTimer::timeout, this, [this] { OnIdle(); });
    m_idleTimer->start(kIdleMilliseconds);
    resize(900, 600);
    OnIdle();
}

CMainFrame::~CMainFrame() {
    // Focus moves while the widgets go; this frame is no frame any more by then.
    disconnect(m_focusWatch);
    m_app.windowCalls().SetWakeHandler({});
    m_app.document().RemoveView(&m_leftView);
    m_app.document().RemoveView(&m_textView);
}

QAction* CMainFrame::AddCommand(QMenu* menu, int command, const char* text,
                                const QList<QKeySequence>& keys) {
    auto* item = new QAction(QString::fromUtf8(text), this);
    item->setData(command);
    const CommandPrompt prompt = PromptOf(command);
    item->setStatusTip(ToQString(prompt.status));
    if (!keys.isEmpty()) {
        item->setShortcuts(keys);
        item->setShortcutContext(Qt::WindowShortcut);
    }
    connect(item, &QAction::triggered, this, [this, command] { OnCommand(command); });
    menu->addAction(item);
    m_actions[command] = item;
    return item;
}

void CMainFrame::BuildMenus() {
    using QKS = QKeySequence;
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(tr("&File"));
    AddCommand(file, ID_FILE_NEW, "&New\tCtrl+N", {QKS(Qt::CTRL | Qt::Key_N)});
    AddCommand(file, ID_FILE_OPEN, "&Open...\tCtrl+O", {QKS(Qt::CTRL | Qt::Key_O)});
    AddCommand(file, ID_FILE_SAVE, "&Save\tCtrl+S", {QKS(Qt::CTRL | Qt::Key_S)});
    AddCommand(file, ID_FILE_SAVE_AS, "Save &As...");
    AddCommand(file, ID_FILE_IMPORT_CAPTURE, "&Import Capture...");
    AddCommand(file, ID_FILE_EXPORT_HAR, "&Export HAR...");
    file->addSeparator();
    for (int entry = 0; entry < 4; ++entry) {
        QAction* recent = AddCommand(file, ID_FILE_MRU_FILE1 + entry, "");
        recent->setStatusTip(ToQString(PromptOf(ID_FILE_MRU_FILE1).status));
        recent->setVisible(false);
        m_recentFileActions.push_back(recent);
    }
    file->addSeparator();
    AddCommand(file, ID_APP_EXIT, "E&xit");

    QMenu* capture = bar->addMenu(tr("&Capture"));
    AddCommand(capture, ID_CAPTURE_START, "&Start\tCtrl+F5", {QKS(Qt::CTRL | Qt::Key_F5)});
    AddCommand(capture, ID_CAPTURE_STOP, "Sto&p\tCtrl+F6", {QKS(Qt::CTRL | Qt::Key_F6)});
    capture->addSeparator();
    AddCommand(capture, ID_CAPTURE_RUN_PROGRAM, "&Run Program...");
    AddCommand(capture, ID_CAPTURE_TERMINAL, "Open &Terminal");
    AddCommand(capture, ID_CAPTURE_ALL_PROGRAMS, "Capture &All Programs...");
    capture->addSeparator();
    AddCommand(capture, ID_CAPTURE_OPTIONS, "&Options...");

    QMenu* view = bar->addMenu(tr("&View"));
    auto* mainViews = new QActionGroup(this);
    mainViews
        ->addAction(AddCommand(view, ID_VIEW_EXCHANGE_LIST, "Exchange &List\tCtrl+1",
                               {QKS(Qt::CTRL | Qt::Key_1)}))
        ->setCheckable(true);
    mainViews
        ->addAction(AddCommand(view, ID_VIEW_MESSAGE_TREE, "Message &Tree\tCtrl+2",
                               {QKS(Qt::CTRL | Qt::Key_2)}))
        ->setCheckable(true);
    view->addSeparator();
    AddCommand(view, ID_VIEW_OPTIONS, "&Options...");
    view->addSeparator();
    AddCommand(view, ID_VIEW_EXPAND_ALL, "&Expand All");
    AddCommand(view, ID_VIEW_COLLAPSE_ALL, "&Collapse All");
    view->addSeparator();
    AddCommand(view, ID_VIEW_DECODED_BODY, "&Decoded Body")->setCheckable(true);
    view->addSeparator();
    AddCommand(view, ID_VIEW_STATUS_BAR, "&Status Bar")->setCheckable(true);
    AddCommand(view, ID_VIEW_TOOLBAR, "&Toolbar")->setCheckable(true);

    QMenu* filter = bar->addMenu(tr("Filte&r"));
    AddCommand(filter, ID_FILTER_ENABLE, "&Enable");
    AddCommand(filter, ID_FILTER_DISABLE, "&Disable");
    filter->addSeparator();
    AddCommand(filter, ID_FILTER_OPTIONS, "&Options...");

    QMenu* edit = bar->addMenu(tr("&Edit"));
    AddCommand(edit, ID_EDIT_COPY, "&Copy\tCtrl+C",
               {QKS(Qt::CTRL | Qt::Key_C), QKS(Qt::CTRL | Qt::Key_Insert)});
    edit->addSeparator();
    AddCommand(edit, ID_EDIT_FIND, "&Find...\tCtrl+F", {QKS(Qt::CTRL | Qt::Key_F)});
    AddCommand(edit, ID_EDIT_REPEAT, "Find &Next\tF3", {QKS(Qt::Key_F3)});
    edit->addSeparator();
    AddCommand(edit, ID_FIND_MESSAGE, "Find Message...\tCtrl+Shift+F",
               {QKS(Qt::CTRL | Qt::SHIFT | Qt::Key_F)});
    AddCommand(edit, ID_FIND_NEXT_MESSAGE, "Find Next Message\tCtrl+Shift+F3",
               {QKS(Qt::CTRL | Qt::SHIFT | Qt::Key_F3)});

    QMenu* help = bar->addMenu(tr("&Help"));
    AddCommand(help, ID_HELP_CONTENTS, "&Contents\tF1", {QKS(Qt::Key_F1)});
    AddCommand(help, ID_HELP_HTTP, "&HTTP Help");
    help->addSeparator();
    AddCommand(help, ID_APP_ABOUT, "&About Vantor...");

    for (QMenu* menu : {file, capture, view, filter, edit, help}) {
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateCommandUI(); });
        connect(menu, &QMenu::aboutToHide, this,
                [this] { statusBar()->showMessage(ToQString(kTextReady)); });
    }
}

void CMainFrame::BuildToolbar() {
    m_toolbar = addToolBar(tr("Toolbar"));
    m_toolbar->setObjectName("59392");
    m_toolbar->setIconSize(QSize(ToolbarImages::kWidth, ToolbarImages::kHeight));
    m_toolbar->setContentsMargins(0, 0, 0, 0);
    const auto& positions = m_commands.toolbar();
    for (std::size_t position = 0; position < positions.size(); ++position) {
        if (positions[position].separator) {
            m_toolbar->addSeparator();
            continue;
        }
        auto* button = new QAction(this);
        connect(button, &QAction::triggered, this,
                [this, position] { OnCommand(toolbarCommand(position)); });
        m_toolbar->addAction(button);
        m_toolbarActions[position] = button;
    }
    UpdateCommandUI();
}

int CMainFrame::toolbarCommand(std::size_t position) const {
    const ToolbarPosition& entry = m_commands.toolbar()[position];
    return entry.separator ? ID_NONE : entry.command;
}

QAction* CMainFrame::action(int command) const {
    const auto found = m_actions.find(command);
    return found == m_actions.end() ? nullptr : found->second;
}

void CMainFrame::UpdateCommandUI() {
    const bool capturing = m_app.IsCapturing();
    m_commands.UpdateCaptureButtons(capturing);
    for (const auto& [command, item] : m_actions) {
        bool enabled = m_commands.IsEnabled(command, capturing);
        // The text view's commands reach it only while it is the active pane.
        if (command == ID_EDIT_COPY) {
            enabled = m_textPaneActive && m_textView.CanCopy();
        } else if (command == ID_EDIT_FIND) {
            enabled = m_textPaneActive && m_textView.CanFind();
        } else if (command == ID_EDIT_REPEAT) {
            enabled = m_textPaneActive && m_textView.CanFindNext();
        }
        item->setEnabled(enabled);
    }
    action(ID_VIEW_STATUS_BAR)->setChecked(statusBar()->isVisible() || !isVisible());
    action(ID_VIEW_TOOLBAR)->setChecked(!m_toolbar->isHidden());
    action(ID_VIEW_DECODED_BODY)->setChecked(m_commands.decodedBody());
    action(ID_VIEW_EXCHANGE_LIST)->setChecked(showsExchangeList());
    action(ID_VIEW_MESSAGE_TREE)->setChecked(!showsExchangeList());
    const auto& positions = m_commands.toolbar();
    for (std::size_t position = 0; position < positions.size(); ++position) {
        QAction* button = m_toolbarActions[position];
        if (button == nullptr) {
            continue;
        }
        const ToolbarPosition& entry = positions[position];
        button->setIcon(m_toolbarIcons[static_cast<std::size_t>(entry.image)]);
        const CommandPrompt prompt = PromptOf(entry.command);
        button->setToolTip(ToQString(prompt.tooltip));
        button->setStatusTip(ToQString(prompt.status));
        button->setData(entry.command);
        // A position without a command keeps its grey picture and does nothing.
        const QAction* menuEntry = action(entry.command);
        button->setEnabled(entry.command == ID_NONE || menuEntry == nullptr ||
                           menuEntry->isEnabled());
    }
}

void CMainFrame::FocusChanged(QWidget* now) {
    if (now == nullptr) {
        return;
    }
    const bool inTree = now == m_treeWidget || m_treeWidget->isAncestorOf(now);
    const bool inText = now == m_textWidget || m_textWidget->isAncestorOf(now);
    if (inTree || inText) {
        m_textPaneActive = inText;
        UpdateCommandUI();
    }
}

void CMainFrame::OnIdle() {
    m_app.OnIdle();
    if (QApplication::activePopupWidget() == nullptr) {
        statusBar()->showMessage(
            ToQString(CaptureStatusText(m_app.IsCapturing(), m_app.LostRecords(),
                                        m_app.UncapturedPrograms())));
    }
    UpdateCommandUI();
}

void CMainFrame::UpdateDocumentState() {
    setWindowTitle(QString::fromStdString(m_app.DocumentTitle()) + " - " +
                   ToQString(kApplicationName));
    const auto& entries = m_app.recentFiles().entries();
    for (std::size_t index = 0; index < m_recentFileActions.size(); ++index) {
        QAction* recent = m_recentFileActions[index];
        if (index < entries.size()) {
            const std::string shown =
                RecentFileList::AbbreviatePath(entries[index], RecentFileList::kMenuTextLength);
            QString text = QString::fromStdString(shown);
            text.replace('&', "&&");
            recent->setText(QString("&%1 %2").arg(index + 1).arg(text));
            recent->setVisible(true);
        } else {
            recent->setVisible(false);
        }
    }
}

void CMainFrame::BringForward() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void CMainFrame::RunWindowCalls() {
    m_app.windowCalls().RunPending();
}

void CMainFrame::AnswerInstanceSignal() {
    if (m_app.AnswerInstanceCallers()) {
        BringForward();
    }
    OpenRequestedDocuments();
}

void CMainFrame::OpenRequestedDocuments() {
    if (!m_app.HasRequestedDocuments()) {
        return;
    }
    // Asked while a dialog of ours is open: opened once it closes, so that the document does
    // not change under it.
    if (QApplication::activeModalWidget() != nullptr) {
        QTimer::singleShot(200, this, [this] { OpenRequestedDocuments(); });
        return;
    }
    m_app.OpenRequestedDocuments();
}

bool CMainFrame::showsExchangeList() const {
    return m_views->currentWidget() == m_exchanges;
}

void CMainFrame::ShowMainView(bool exchangeList) {
    m_views->setCurrentWidget(exchangeList ? static_cast<QWidget*>(m_exchanges) : m_splitter);
    Preferences().main_view = exchangeList ? 0 : 1;
    if (exchangeList) {
        m_exchanges->table()->setFocus();
    } else {
        m_treeWidget->setFocus();
    }
}

void CMainFrame::KeepBodiesOfType(const std::string& mediaType) {
    std::string type;
    for (const char c : mediaType) {
        if (c != '"' && c != '\\') {
            type += c;
        }
    }
    AppPreferences& preferences = Preferences();
    preferences.allowed_content += " \"" + type + "\"";
    preferences.ParseContentTypes();
    m_app.CaptureOptionsChanged();
    statusBar()->showMessage(tr("Bodies of type %1 are kept from now on (Capture > Options).")
                                 .arg(QString::fromStdString(type)),
                             5000);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!m_app.SaveModified()) {
        event->ignore();
        return;
    }
    Preferences().exchange_columns = m_exchanges->SaveLayout();
    Preferences().exchange_panes = m_exchanges->SavePanes();
    if (m_textFind != nullptr) {
        m_textFind->close();
    }
    m_help.close();
    event->accept();
}

std::string CMainFrame::HelpFolder() const {
    return GlobalOptions().helpFolder;
}

}  // namespace vantor
