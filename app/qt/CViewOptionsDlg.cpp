#include "app/qt/CViewOptionsDlg.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/qt/DialogSupport.h"

namespace vantor {

CViewOptionsDlg::CViewOptionsDlg(const ViewOptionsFields& fields, HelpOpener& help,
                                 const std::string& helpFolder, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("View Options"));
    m_showRequestBody = dialog::CheckBox(this, 1012, "Show re&quest body", fields.showRequestBody);
    m_showResponseBody =
        dialog::CheckBox(this, 1013, "Show re&sponse body", fields.showResponseBody);
    m_byTime = new QRadioButton(tr("By &Time"), this);
    m_byTime->setObjectName(dialog::IdName(1008));
    m_byPeer = new QRadioButton(tr("By &Peer"), this);
    m_byPeer->setObjectName(dialog::IdName(1009));
    (fields.order == 1 ? m_byPeer : m_byTime)->setChecked(true);

    auto* order = new QGroupBox(tr("View Order"), this);
    auto* orderLayout = new QVBoxLayout(order);
    orderLayout->addWidget(m_byTime);
    orderLayout->addWidget(m_byPeer);
    auto* message = new QGroupBox(tr("Message"), this);
    auto* messageLayout = new QVBoxLayout(message);
    messageLayout->addWidget(m_showRequestBody);
    messageLayout->addWidget(m_showResponseBody);

    auto* groups = new QVBoxLayout;
    groups->addWidget(order);
    groups->addWidget(message);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(groups, 1);
    layout->addWidget(dialog::Buttons(this, Qt::Vertical, 1015, help,
                                      helpFolder + std::string(kHelpViewOptions)));
}

ViewOptionsFields CViewOptionsDlg::fields() const {
    return ViewOptionsFields{dialog::Checked(m_showRequestBody),
                             dialog::Checked(m_showResponseBody), m_byPeer->isChecked() ? 1 : 0};
}

}  // namespace vantor
