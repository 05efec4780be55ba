#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "app/CSnifferApp.h"

class QComboBox;
class QPlainTextEdit;
class QProcess;

namespace vantor {

// Capture > Run Program...: a shell command line and the folder it runs in, each an editable
// list of what was used before, newest first.
class CRunProgramDlg : public QDialog {
public:
    CRunProgramDlg(const InputHistory& commands, const InputHistory& folders, QWidget* parent);

    ProgramToRun chosen() const;

private:
    QComboBox* m_command;
    QComboBox* m_folder;
};

// A top-level window that runs one program and shows what it writes (output and errors, in the
// order they came) and how it ended. Closing the window ends a program still running.
class ProgramLogWindow : public QWidget {
public:
    ProgramLogWindow(const QString& title, QWidget* parent);
    // Starts the program; false when it could not be started.
    bool Start(const std::vector<std::string>& command, const std::string& folder);
    QString Log() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Append(const QString& text);

    QProcess* m_process;
    QPlainTextEdit* m_log;
};

}  // namespace vantor
