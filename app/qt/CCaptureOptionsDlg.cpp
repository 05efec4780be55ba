#include "app/qt/CCaptureOptionsDlg.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "options/AppStrings.h"
#include "app/qt/DialogSupport.h"
#include "options/AppPreferences.h"

namespace vantor {

namespace {

QLineEdit* SizeField(QWidget* parent, int id, const std::string& text) {
    auto* field = new QLineEdit(QString::fromStdString(text), parent);
    field->setObjectName(dialog::IdName(id));
    field->setAlignment(Qt::AlignRight);
    field->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), field));
    field->setMaximumWidth(70);
    return field;
}

QGroupBox* BodyGroup(QWidget* parent, const QString& title, QCheckBox* box, QLineEdit* size) {
    auto* group = new QGroupBox(title, parent);
    auto* layout = new QGridLayout(group);
    layout->addWidget(box, 0, 0, 1, 3);
    layout->addWidget(new QLabel(QObject::tr("Maximum size"), group), 1, 0);
    layout->addWidget(size, 1, 1);
    layout->addWidget(new QLabel(QObject::tr("Kb"), group), 1, 2);
    return group;
}

}  // namespace

CCaptureOptionsDlg::CCaptureOptionsDlg(AppPreferences& preferences, HelpOpener& help,
                                       const std::string& helpFolder, QWidget* parent)
    : QDialog(parent), m_preferences(preferences) {
    setWindowTitle(tr("Capture Options"));
    const CaptureOptionsFields fields = CaptureOptionsFields::FromOptions(preferences);
    m_requestBody = dialog::CheckBox(this, 1000, "Capture re&quest body", fields.requestBody);
    m_responseBody = dialog::CheckBox(this, 1001, "Capture re&sponse body", fields.responseBody);
    m_requestLimit = SizeField(this, 1004, fields.requestLimit);
    m_responseLimit = SizeField(this, 1005, fields.responseLimit);
    m_wholeWord = dialog::CheckBox(this, 1035, "Match whole word only", fields.wholeWord);
    m_allowedContent = new QPlainTextEdit(QString::fromStdString(fields.allowedContent), this);
    m_allowedContent->setObjectName(dialog::IdName(1051));
    m_allowedContent->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_allowedContent->setTabChangesFocus(true);

    auto* content = new QGroupBox(tr("Capture Body"), this);
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->addWidget(new QLabel(tr("Content-Type:"), content));
    contentLayout->addWidget(m_allowedContent);
    contentLayout->addWidget(m_wholeWord);

    // HTTPS the hooks do not see is decrypted with the secrets of key logs: those vantor-run
    // asks programs for, and this one (a browser's SSLKEYLOGFILE, say).
    m_keyLog = new QLineEdit(QString::fromStdString(fields.keyLog), this);
    m_keyLog->setObjectName(dialog::IdName(1060));
    m_keyLog->setPlaceholderText(tr("A key log file (SSLKEYLOGFILE)"));
    auto* browse = new QPushButton(tr("&Browse..."), this);
    browse->setObjectName(dialog::IdName(1061));
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen =
            QFileDialog::getOpenFileName(this, tr("TLS Key Log"), m_keyLog->text());
        if (!chosen.isEmpty()) {
            m_keyLog->setText(chosen);
        }
    });
    auto* tls = new QGroupBox(tr("TLS Key Log"), this);
    auto* tlsLayout = new QHBoxLayout(tls);
    tlsLayout->addWidget(m_keyLog, 1);
    tlsLayout->addWidget(browse);

    auto* options = new QGridLayout;
    options->addWidget(BodyGroup(this, tr("Request"), m_requestBody, m_requestLimit), 0, 0);
    options->addWidget(BodyGroup(this, tr("Response"), m_responseBody, m_responseLimit), 0, 1);
    options->addWidget(content, 1, 0, 1, 2);
    options->addWidget(tls, 2, 0, 1, 2);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(options, 1);
    layout->addWidget(dialog::Buttons(this, Qt::Vertical, 1006, help,
                                      helpFolder + std::string(kHelpCaptureOptions)));
    resize(476, 300);
}

CaptureOptionsFields CCaptureOptionsDlg::Exchange() const {
    CaptureOptionsFields fields;
    fields.requestBody = dialog::Checked(m_requestBody);
    fields.responseBody = dialog::Checked(m_responseBody);
    fields.requestLimit = m_requestLimit->text().toStdString();
    fields.responseLimit = m_responseLimit->text().toStdString();
    fields.wholeWord = dialog::Checked(m_wholeWord);
    fields.allowedContent = m_allowedContent->toPlainText().toStdString();
    fields.keyLog = m_keyLog->text().trimmed().toStdString();
    return fields;
}

void CCaptureOptionsDlg::accept() {
    const auto failure = Exchange().Commit(m_preferences);
    if (failure) {
        QMessageBox::warning(this, ToQString(kApplicationName),
                             QString::fromStdString(failure->message));
        QLineEdit* field =
            failure->field == CaptureOptionsFields::Field::RequestLimit    ? m_requestLimit
            : failure->field == CaptureOptionsFields::Field::ResponseLimit ? m_responseLimit
                                                                           : m_keyLog;
        field->setFocus();
        field->selectAll();
        return;
    }
    QDialog::accept();
}

}  // namespace vantor
