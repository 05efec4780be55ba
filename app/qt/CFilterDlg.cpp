#include "app/qt/CFilterDlg.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/qt/DialogSupport.h"
#include "options/FilterOptions.h"

namespace vantor {

namespace {

// The content boxes and the code boxes, in the order of data exchange.
enum Content { kApplication, kAudioVideo, kImage, kText, kWithout, kOtherContent };
enum Code { kClientError, kInformational, kOtherCode, kRedirection, kServerError, kSuccess };

// A group of check boxes in two columns, row by row in the order given.
QGroupBox* BoxGroup(QWidget* parent, const QString& title,
                    std::initializer_list<QCheckBox*> boxes) {
    auto* group = new QGroupBox(title, parent);
    auto* layout = new QGridLayout(group);
    int place = 0;
    for (QCheckBox* box : boxes) {
        layout->addWidget(box, place / 2, place % 2);
        ++place;
    }
    return group;
}

}  // namespace

CFilterDlg::CFilterDlg(FilterOptions& filter, HelpOpener& help, const std::string& helpFolder,
                       QWidget* parent)
    : QDialog(parent), m_filter(filter) {
    setWindowTitle(tr("Filter"));
    const FilterFields fields = FilterFields::FromOptions(filter);
    m_hostEnabled = dialog::CheckBox(this, 1022, "&Enable", fields.hostEnabled);
    m_content[kApplication] =
        dialog::CheckBox(this, 1027, "&Application", fields.contentApplication);
    m_content[kAudioVideo] = dialog::CheckBox(this, 1026, "Audio/&Video", fields.contentAudioVideo);
    m_content[kImage] = dialog::CheckBox(this, 1025, "&Image", fields.contentImage);
    m_content[kText] = dialog::CheckBox(this, 1024, "&Text", fields.contentText);
    m_content[kWithout] = dialog::CheckBox(this, 1028, "&Without Content", fields.contentWithout);
    m_content[kOtherContent] = dialog::CheckBox(this, 1029, "Ot&her", fields.contentOther);
    m_host = new QComboBox(this);
    m_host->setObjectName(dialog::IdName(1032));
    m_host->setEditable(true);
    m_host->setInsertPolicy(QComboBox::NoInsert);
    m_host->setEditText(QString::fromStdString(fields.hostText));
    m_codes[kClientError] = dialog::CheckBox(this, 1021, "Client Error (&4xx)", fields.clientError);
    m_codes[kInformational] =
        dialog::CheckBox(this, 1016, "Informational (&1xx)", fields.informational);
    m_codes[kOtherCode] = dialog::CheckBox(this, 1020, "&Other", fields.otherCode);
    m_codes[kRedirection] = dialog::CheckBox(this, 1019, "Redirection (&3xx)", fields.redirection);
    m_codes[kServerError] = dialog::CheckBox(this, 1018, "Server Error (&5xx)", fields.serverError);
    m_codes[kSuccess] = dialog::CheckBox(this, 1017, "Success (&2xx)", fields.success);

    // The history after the initial exchange, newest first, up to the first empty slot.
    for (std::size_t slot = 0; slot < filter.hostHistory.FilledCount(); ++slot) {
        m_host->addItem(QString::fromStdString(filter.hostHistory[slot]));
    }
    m_host->setEditText(QString::fromStdString(fields.hostText));
    m_host->setEnabled(m_hostEnabled->isChecked());
    connect(m_hostEnabled, &QCheckBox::clicked, this,
            [this] { m_host->setEnabled(m_hostEnabled->isChecked()); });

    auto* host = new QGroupBox(tr("Host"), this);
    auto* hostLayout = new QVBoxLayout(host);
    hostLayout->addWidget(m_hostEnabled);
    hostLayout->addWidget(m_host);
    QGroupBox* codes =
        BoxGroup(this, tr("Response code"),
                 {m_codes[kInformational], m_codes[kSuccess], m_codes[kRedirection],
                  m_codes[kClientError], m_codes[kServerError], m_codes[kOtherCode]});
    QGroupBox* content =
        BoxGroup(this, tr("Content type"),
                 {m_content[kApplication], m_content[kAudioVideo], m_content[kImage],
                  m_content[kText], m_content[kWithout], m_content[kOtherContent]});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(host);
    layout->addWidget(codes);
    layout->addWidget(content);
    layout->addWidget(
        dialog::Buttons(this, Qt::Horizontal, 1042, help, helpFolder + std::string(kHelpFilter)));
}

FilterFields CFilterDlg::Exchange() const {
    FilterFields fields;
    fields.hostEnabled = dialog::Checked(m_hostEnabled);
    fields.contentApplication = dialog::Checked(m_content[kApplication]);
    fields.contentAudioVideo = dialog::Checked(m_content[kAudioVideo]);
    fields.contentImage = dialog::Checked(m_content[kImage]);
    fields.contentText = dialog::Checked(m_content[kText]);
    fields.contentWithout = dialog::Checked(m_content[kWithout]);
    fields.contentOther = dialog::Checked(m_content[kOtherContent]);
    fields.hostText = m_host->currentText().toStdString();
    fields.clientError = dialog::Checked(m_codes[kClientError]);
    fields.informational = dialog::Checked(m_codes[kInformational]);
    fields.otherCode = dialog::Checked(m_codes[kOtherCode]);
    fields.redirection = dialog::Checked(m_codes[kRedirection]);
    fields.serverError = dialog::Checked(m_codes[kServerError]);
    fields.success = dialog::Checked(m_codes[kSuccess]);
    return fields;
}

void CFilterDlg::accept() {
    Exchange().Commit(m_filter);
    QDialog::accept();
}

}  // namespace vantor
