#include "app/qt/QtAppShell.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QProgressDialog>

#include <algorithm>

#include "options/AppStrings.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/CRunProgramDlg.h"
#include "ui/qt/QtText.h"

namespace vantor {

namespace {

QString FileFilter() {
    return ToQString(kDocumentFilter);
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0, 0, 128));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(0, 0, size, size), size / 6.0, size / 6.0);
        // Two arrows, out and back: what is sent and what is received.
        painter.setBrush(QColor(90, 200, 255));
        const double s = size / 16.0;
        painter.drawPolygon(
            QPolygonF({QPointF(3 * s, 3 * s), QPointF(10 * s, 3 * s), QPointF(10 * s, 1.5 * s),
                       QPointF(13.5 * s, 4.5 * s), QPointF(10 * s, 7.5 * s), QPointF(10 * s, 6 * s),
                       QPointF(3 * s, 6 * s)}));
        painter.setBrush(QColor(120, 230, 120));
        painter.drawPolygon(
            QPolygonF({QPointF(13 * s, 10 * s), QPointF(6 * s, 10 * s), QPointF(6 * s, 8.5 * s),
                       QPointF(2.5 * s, 11.5 * s), QPointF(6 * s, 14.5 * s), QPointF(6 * s, 13 * s),
                       QPointF(13 * s, 13 * s)}));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QtAppShell::QtAppShell() = default;

QtAppShell::~QtAppShell() = default;

void QtAppShell::DestroyMainFrame() {
    m_frame.reset();
}

bool QtAppShell::CreateMainFrame() {
    if (m_app == nullptr) {
        return false;
    }
    m_frame = std::make_unique<CMainFrame>(*m_app);
    return true;
}

void QtAppShell::ShowMainFrame() {
    if (m_frame != nullptr) {
        m_frame->show();
    }
}

void QtAppShell::RaiseMainFrame() {
    if (m_frame != nullptr) {
        m_frame->BringForward();
    }
}

void QtAppShell::ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
    const QMessageBox::Icon shown = icon == MessageIcon::Information   ? QMessageBox::Information
                                    : icon == MessageIcon::Exclamation ? QMessageBox::Warning
                                                                       : QMessageBox::Critical;
    QMessageBox box(shown, ToQString(caption), ToQString(text), QMessageBox::Ok, m_frame.get());
    box.exec();
}

SaveAnswer QtAppShell::AskSaveChanges(std::string_view text) {
    QMessageBox box(QMessageBox::Warning, ToQString(kApplicationName), ToQString(text),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, m_frame.get());
    switch (box.exec()) {
        case QMessageBox::Yes:
            return SaveAnswer::Yes;
        case QMessageBox::No:
            return SaveAnswer::No;
        default:
            return SaveAnswer::Cancel;
    }
}

std::optional<std::string> QtAppShell::AskOpenPath() {
    const QString path = QFileDialog::getOpenFileName(m_frame.get(), QString(), QString(),
                                                      FileFilter() + ";;All Files (*)");
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path.toStdString();
}

std::optional<std::string> QtAppShell::AskSavePath(const std::string& suggested) {
    QFileDialog dialog(m_frame.get(), QString(), QString::fromStdString(suggested),
                       FileFilter() + ";;All Files (*)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(ToQString(kDocumentExtension).mid(1));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front().toStdString();
}

std::optional<std::string> QtAppShell::AskExportPath(const std::string& suggested) {
    QFileDialog dialog(m_frame.get(), QObject::tr("Export HAR"), QString::fromStdString(suggested),
                       "HTTP Archive (*.har);;All Files (*)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("har");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front().toStdString();
}

std::optional<std::string> QtAppShell::AskImportPath() {
    QFileDialog dialog(m_frame.get(), QObject::tr("Import Capture"), QString(),
                       "Packet Captures (*.pcap *.pcapng *.cap *.dmp);;All Files (*)");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front().toStdString();
}

namespace {

// A progress dialog that shows itself once the task has taken half a second; the window stays
// responsive (and capture goes on) while it is told how far the task has come.
class QtProgressTask : public ProgressTask {
public:
    QtProgressTask(std::string_view text, QWidget* parent)
        : m_dialog(ToQString(text), QObject::tr("Cancel"), 0, kSteps, parent) {
        m_dialog.setObjectName("progress");
        m_dialog.setWindowTitle(ToQString(kApplicationName));
        m_dialog.setWindowModality(Qt::WindowModal);
        m_dialog.setMinimumDuration(500);
        m_dialog.setAutoReset(false);
        m_dialog.setAutoClose(false);
        m_dialog.setValue(0);
    }
    bool Update(std::uint64_t done, std::uint64_t total) override {
        if (total == 0) {
            m_dialog.setMaximum(0);  // a busy indicator
        } else {
            m_dialog.setValue(
                static_cast<int>(std::min<std::uint64_t>(done, total) * kSteps / total));
        }
        QCoreApplication::processEvents();
        return !m_dialog.wasCanceled();
    }

private:
    static constexpr int kSteps = 1000;
    QProgressDialog m_dialog;
};

}  // namespace

std::unique_ptr<ProgressTask> QtAppShell::BeginProgress(std::string_view text) {
    return std::make_unique<QtProgressTask>(text, m_frame.get());
}

std::optional<ProgramToRun> QtAppShell::AskProgramToRun(const InputHistory& commands,
                                                        const InputHistory& folders) {
    CRunProgramDlg dialog(commands, folders, m_frame.get());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.chosen();
}

bool QtAppShell::RunInLogWindow(const std::vector<std::string>& command, const std::string& folder,
                                const std::string& title) {
    auto* window = new ProgramLogWindow(QString::fromStdString(title), m_frame.get());
    if (!window->Start(command, folder)) {
        delete window;
        return false;
    }
    window->show();
    return true;
}

bool QtAppShell::StartDetached(const std::vector<std::string>& command) {
    if (command.empty()) {
        return false;
    }
    QStringList arguments;
    for (std::size_t i = 1; i < command.size(); ++i) {
        arguments << QString::fromStdString(command[i]);
    }
    return QProcess::startDetached(QString::fromStdString(command.front()), arguments);
}

void QtAppShell::DocumentChanged() {
    if (m_frame != nullptr) {
        m_frame->UpdateDocumentState();
    }
}

}  // namespace vantor
