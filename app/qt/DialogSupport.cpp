#include "app/qt/DialogSupport.h"

#include "platform/HelpOpener.h"

namespace vantor::dialog {

QCheckBox* CheckBox(QWidget* parent, int id, std::string_view text, std::int32_t checked) {
    auto* box = new QCheckBox(ToQString(text), parent);
    box->setObjectName(IdName(id));
    box->setChecked(checked != 0);
    return box;
}

std::int32_t Checked(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

QWidget* Buttons(QDialog* dialog, Qt::Orientation orientation, int helpId, HelpOpener& help,
                 std::string topic, std::string_view okText) {
    // Modal to the main window only: the help window its Help button opens takes clicks and
    // scrolling while the dialog stays open.
    dialog->setWindowModality(Qt::WindowModal);
    auto* column = new QWidget(dialog);
    auto* layout = new QBoxLayout(
        orientation == Qt::Vertical ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight, column);
    layout->setContentsMargins(0, 0, 0, 0);
    if (orientation == Qt::Horizontal) {
        layout->addStretch();
    }
    auto* ok = new QPushButton(ToQString(okText), column);
    ok->setObjectName(IdName(1));
    ok->setDefault(true);
    auto* helpButton = new QPushButton(QObject::tr("&Help"), column);
    helpButton->setObjectName(IdName(helpId));
    helpButton->setAutoDefault(false);
    auto* cancel = new QPushButton(QObject::tr("Cancel"), column);
    cancel->setObjectName(IdName(2));
    cancel->setAutoDefault(false);
    layout->addWidget(ok);
    layout->addWidget(helpButton);
    layout->addWidget(cancel);
    if (orientation == Qt::Vertical) {
        layout->addStretch();
    }
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    QObject::connect(helpButton, &QPushButton::clicked, dialog,
                     [&help, topic = std::move(topic)] { help.DisplayTopic(topic); });
    return column;
}

}  // namespace vantor::dialog
