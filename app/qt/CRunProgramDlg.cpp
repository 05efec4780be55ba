#include "app/qt/CRunProgramDlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace vantor {

namespace {

QComboBox* HistoryBox(const InputHistory& history, QWidget* parent, const char* name) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumWidth(380);
    for (std::size_t slot = 0; slot < history.FilledCount(); ++slot) {
        box->addItem(QString::fromStdString(history[slot]));
    }
    return box;
}

// The most lines the log keeps: a chatty program cannot fill memory.
constexpr int kMostLogLines = 20000;

}  // namespace

CRunProgramDlg::CRunProgramDlg(const InputHistory& commands, const InputHistory& folders,
                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Run Program"));
    m_command = HistoryBox(commands, this, "commandLine");
    m_folder = HistoryBox(folders, this, "folder");
    if (folders.FilledCount() == 0) {
        m_folder->setEditText(QDir::homePath());
    }
    auto* commandLabel = new QLabel(tr("&Command line:"), this);
    commandLabel->setBuddy(m_command);
    auto* folderLabel = new QLabel(tr("&Working folder:"), this);
    folderLabel->setBuddy(m_folder);
    auto* browse = new QPushButton(tr("&Browse..."), this);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder =
            QFileDialog::getExistingDirectory(this, tr("Working folder"), m_folder->currentText());
        if (!folder.isEmpty()) {
            m_folder->setEditText(folder);
        }
    });
    auto* note = new QLabel(
        tr("The command line runs in /bin/sh through vantor-run, with capture started: the "
           "HTTP it sends and receives appears in the message tree, what it writes in a log "
           "window."),
        this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("&Run"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* fields = new QGridLayout;
    fields->addWidget(commandLabel, 0, 0);
    fields->addWidget(m_command, 0, 1, 1, 2);
    fields->addWidget(folderLabel, 1, 0);
    fields->addWidget(m_folder, 1, 1);
    fields->addWidget(browse, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(note);
    layout->addWidget(buttons);
    m_command->setFocus();
}

ProgramToRun CRunProgramDlg::chosen() const {
    return {m_command->currentText().toStdString(), m_folder->currentText().toStdString()};
}

ProgramLogWindow::ProgramLogWindow(const QString& title, QWidget* parent)
    : QWidget(parent, Qt::Window), m_process(new QProcess(this)), m_log(new QPlainTextEdit(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("programLog");
    setWindowTitle(tr("Run: %1").arg(title));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(kMostLogLines);
    m_log->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_log);
    resize(640, 320);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::readyRead, this,
            [this] { Append(QString::fromLocal8Bit(m_process->readAll())); });
    connect(m_process, &QProcess::finished, this, [this](int status, QProcess::ExitStatus how) {
        Append(QString::fromLocal8Bit(m_process->readAll()));
        Append(how == QProcess::NormalExit
                   ? tr("\n[The program ended with exit status %1.]\n").arg(status)
                   : tr("\n[The program was ended by a signal.]\n"));
    });
}

bool ProgramLogWindow::Start(const std::vector<std::string>& command, const std::string& folder) {
    if (command.empty()) {
        return false;
    }
    QStringList arguments;
    for (std::size_t i = 1; i < command.size(); ++i) {
        arguments << QString::fromStdString(command[i]);
    }
    m_process->setWorkingDirectory(QString::fromStdString(folder));
    m_process->start(QString::fromStdString(command.front()), arguments, QIODevice::ReadOnly);
    return m_process->waitForStarted(10000);
}

QString ProgramLogWindow::Log() const {
    return m_log->toPlainText();
}

void ProgramLogWindow::Append(const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    m_log->moveCursor(QTextCursor::End);
    m_log->insertPlainText(text);
    m_log->moveCursor(QTextCursor::End);
}

void ProgramLogWindow::closeEvent(QCloseEvent* event) {
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(2000)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    event->accept();
}

}  // namespace vantor
