#include "app/qt/CFindMessageDlg.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>

#include "app/qt/DialogSupport.h"
#include "options/FindOptions.h"

namespace vantor {

CFindMessageDlg::CFindMessageDlg(FindOptions& find, HelpOpener& help, const std::string& helpFolder,
                                 QWidget* parent)
    : QDialog(parent), m_find(find) {
    setWindowTitle(tr("Find message"));
    const FindMessageFields fields = FindMessageFields::FromOptions(find);
    m_text = new QComboBox(this);
    m_text->setObjectName(dialog::IdName(1034));
    m_text->setEditable(true);
    m_text->setInsertPolicy(QComboBox::NoInsert);
    m_text->setMinimumWidth(220);
    for (std::size_t slot = 0; slot < find.history.FilledCount(); ++slot) {
        m_text->addItem(QString::fromStdString(find.history[slot]));
    }
    m_text->setEditText(QString::fromStdString(fields.text));
    auto* label = new QLabel(tr("Fi&nd what:"), this);
    label->setBuddy(m_text);
    m_inRequests = dialog::CheckBox(this, 1039, "In re&quests", fields.inRequests);
    m_inResponses = dialog::CheckBox(this, 1038, "In re&sponses", fields.inResponses);
    m_matchCase = dialog::CheckBox(this, 1036, "Match &case", fields.matchCase);
    m_wholeWord = dialog::CheckBox(this, 1035, "Match &whole word only", fields.wholeWord);
    m_up = new QRadioButton(tr("&Up"), this);
    m_up->setObjectName(dialog::IdName(1040));
    m_down = new QRadioButton(tr("&Down"), this);
    m_down->setObjectName(dialog::IdName(1041));
    (fields.direction == 0 ? m_up : m_down)->setChecked(true);

    auto* direction = new QGroupBox(tr("Direction"), this);
    auto* directionLayout = new QHBoxLayout(direction);
    directionLayout->addWidget(m_up);
    directionLayout->addWidget(m_down);
    auto* fieldsLayout = new QGridLayout;
    fieldsLayout->addWidget(label, 0, 0);
    fieldsLayout->addWidget(m_text, 0, 1, 1, 2);
    fieldsLayout->addWidget(m_inRequests, 1, 0);
    fieldsLayout->addWidget(m_matchCase, 1, 1);
    fieldsLayout->addWidget(direction, 1, 2, 2, 1);
    fieldsLayout->addWidget(m_inResponses, 2, 0);
    fieldsLayout->addWidget(m_wholeWord, 2, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(fieldsLayout, 1);
    layout->addWidget(dialog::Buttons(this, Qt::Vertical, 1031, help,
                                      helpFolder + std::string(kHelpFindMessage), "&Find Message"));
}

void CFindMessageDlg::accept() {
    FindMessageFields fields;
    fields.text = m_text->currentText().toStdString();
    fields.inRequests = dialog::Checked(m_inRequests);
    fields.inResponses = dialog::Checked(m_inResponses);
    fields.matchCase = dialog::Checked(m_matchCase);
    fields.wholeWord = dialog::Checked(m_wholeWord);
    fields.direction = m_down->isChecked() ? 1 : 0;
    fields.Commit(m_find);
    QDialog::accept();
}

}  // namespace vantor
