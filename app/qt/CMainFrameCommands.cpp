// The main window's commands.
#include <QApplication>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>

#include "app/CSnifferApp.h"
#include "app/qt/AboutBox.h"
#include "app/qt/CCaptureOptionsDlg.h"
#include "app/qt/CFilterDlg.h"
#include "app/qt/CFindMessageDlg.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/CViewOptionsDlg.h"
#include "app/qt/ExchangeListPanel.h"
#include "options/AppStrings.h"
#include "options/Options.h"
#include "ui/qt/QtText.h"
#include "ui/qt/TextFindDialog.h"

namespace vantor {

void CMainFrame::OnCommand(int command) {
    UpdateCommandUI();
    if (command == ID_NONE) {
        return;
    }
    // A command whose entry is disabled is not carried out, whatever triggered it.
    if (const QAction* entry = action(command); entry != nullptr && !entry->isEnabled()) {
        return;
    }
    if (command >= ID_FILE_MRU_FILE1 &&
        command < ID_FILE_MRU_FILE1 + static_cast<int>(m_recentFileActions.size())) {
        m_app.OnOpenRecentFile(static_cast<std::size_t>(command - ID_FILE_MRU_FILE1));
        UpdateCommandUI();
        return;
    }
    CSnifferDoc* document = &m_app.document();
    switch (command) {
        case ID_FILE_NEW:
            m_app.OnFileNew();
            break;
        case ID_FILE_OPEN:
            m_app.OnFileOpen();
            break;
        case ID_FILE_SAVE:
            m_app.OnFileSave();
            break;
        case ID_FILE_SAVE_AS:
            m_app.OnFileSaveAs();
            break;
        case ID_FILE_EXPORT_HAR:
            m_app.OnFileExportHar();
            break;
        case ID_FILE_IMPORT_CAPTURE:
            m_app.OnFileImportCapture();
            break;
        case ID_APP_EXIT:
            close();
            break;
        case ID_CAPTURE_START:
            m_app.StartCapture();
            break;
        case ID_CAPTURE_STOP:
            m_app.StopCapture();
            break;
        case ID_CAPTURE_OPTIONS:
            OnCaptureOptions();
            break;
        case ID_CAPTURE_TERMINAL:
            m_app.OnOpenTerminal();
            UpdateCommandUI();
            break;
        case ID_CAPTURE_RUN_PROGRAM:
            m_app.OnRunProgram();
            UpdateCommandUI();
            break;
        case ID_CAPTURE_ALL_PROGRAMS:
            m_app.OnCaptureAllPrograms();
            UpdateCommandUI();
            break;
        case ID_VIEW_OPTIONS:
            OnViewOptions();
            break;
        case ID_VIEW_EXCHANGE_LIST:
        case ID_VIEW_MESSAGE_TREE:
            ShowMainView(command == ID_VIEW_EXCHANGE_LIST);
            UpdateCommandUI();
            break;
        case ID_VIEW_EXPAND_ALL:
            m_leftView.ExpandAll();
            break;
        case ID_VIEW_COLLAPSE_ALL:
            m_leftView.CollapseAll();
            break;
        case ID_VIEW_DECODED_BODY:
            m_commands.ToggleDecodedBody(document);
            break;
        case ID_VIEW_STATUS_BAR:
            statusBar()->setVisible(!statusBar()->isVisible());
            break;
        case ID_VIEW_TOOLBAR:
            m_toolbar->setVisible(m_toolbar->isHidden());
            break;
        case ID_FILTER_ENABLE:
            m_commands.EnableFilter(document);
            break;
        case ID_FILTER_DISABLE:
            m_commands.DisableFilter(document);
            break;
        case ID_FILTER_OPTIONS:
            OnFilterOptions();
            break;
        case ID_EDIT_COPY:
            m_textView.Copy();
            break;
        case ID_EDIT_FIND:
            if (m_textFind == nullptr) {
                m_textFind = new TextFindDialog(m_textView, m_textWidget, this);
            }
            m_textFind->Open();
            break;
        case ID_EDIT_REPEAT:
            m_textView.RepeatFind();
            break;
        case ID_FIND_MESSAGE:
            OnFindMessage();
            break;
        case ID_FIND_NEXT_MESSAGE:
            OnFindNextMessage();
            break;
        case ID_HELP_CONTENTS:
            m_help.DisplayTopic(HelpFolder() + std::string(kHelpContents));
            break;
        case ID_HELP_HTTP:
            m_help.DisplayTopic(HelpFolder() + std::string(kHelpHttp));
            break;
        case ID_APP_ABOUT:
            ShowAboutBox(this);
            break;
        default:
            break;
    }
    UpdateCommandUI();
}

void CMainFrame::OnCaptureOptions() {
    CCaptureOptionsDlg dialog(GlobalOptions().preferences, m_help, HelpFolder(), this);
    dialog.exec();
    m_app.CaptureOptionsChanged();
}

void CMainFrame::OnViewOptions() {
    CViewOptionsDlg dialog(ViewOptionsFields::FromOptions(GlobalOptions().preferences), m_help,
                           HelpFolder(), this);
    const bool ok = dialog.exec() == QDialog::Accepted;
    const ViewOptionsFields fields = dialog.fields();
    m_commands.ViewOptionsClosed(ok, fields.showRequestBody != 0, fields.showResponseBody != 0,
                                 fields.order, &m_app.document(),
                                 [this](bool show) { m_treeWidget->setVisible(show); });
}

void CMainFrame::OnFilterOptions() {
    CFilterDlg dialog(GlobalOptions().filter, m_help, HelpFolder(), this);
    const bool ok = dialog.exec() == QDialog::Accepted;
    m_commands.FilterOptionsClosed(ok, &m_app.document());
}

void CMainFrame::OnFindMessage() {
    CFindMessageDlg dialog(GlobalOptions().find, m_help, HelpFolder(), this);
    const bool ok = dialog.exec() == QDialog::Accepted;
    if (const auto notFound = m_commands.FindMessageClosed(ok, m_leftView)) {
        ShowMessageBox(*notFound);
    } else if (ok) {
        ShowFoundExchange();
    }
}

void CMainFrame::ShowFoundExchange() {
    const HTTPMessage* found = m_textView.currentMessage();
    if (!showsExchangeList() || found == nullptr) {
        return;
    }
    if (!m_exchanges->SelectMessage(found)) {
        statusBar()->showMessage(
            tr("The message found is in an exchange that the filter bar hides."), 5000);
    }
}

void CMainFrame::OnFindNextMessage() {
    if (const auto notFound = m_commands.FindNextMessage(m_leftView)) {
        ShowMessageBox(*notFound);
    } else {
        ShowFoundExchange();
    }
}

void CMainFrame::OnNextPane() {
    if (m_treeWidget->hasFocus()) {
        m_textWidget->setFocus();
    } else {
        m_treeWidget->setFocus();
    }
}

void CMainFrame::ShowMessageBox(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, ToQString(kApplicationName), QString::fromStdString(text),
                    QMessageBox::Ok, this);
    box.exec();
}

}  // namespace vantor
