#pragma once

#include <QDialog>
#include <string>

#include "app/OptionDialogData.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;

namespace vantor {

class HelpOpener;
struct AppPreferences;

// Capture Options: which bodies are kept, the size limits, the content types whose bodies
// are kept, and a key log to decrypt TLS with. OK commits only when both size fields hold an
// integer from 1 to 8000 and a key log named can be used.
class CCaptureOptionsDlg : public QDialog {
    Q_OBJECT

public:
    CCaptureOptionsDlg(AppPreferences& preferences, HelpOpener& help, const std::string& helpFolder,
                       QWidget* parent = nullptr);

    void accept() override;

private:
    CaptureOptionsFields Exchange() const;

    AppPreferences& m_preferences;
    QCheckBox* m_requestBody;
    QCheckBox* m_responseBody;
    QLineEdit* m_requestLimit;
    QLineEdit* m_responseLimit;
    QCheckBox* m_wholeWord;
    QPlainTextEdit* m_allowedContent;
    QLineEdit* m_keyLog;
};

}  // namespace vantor
