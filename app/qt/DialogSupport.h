#pragma once

#include <QBoxLayout>
#include <QCheckBox>
#include <QDialog>
#include <QPushButton>

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include "ui/qt/QtText.h"

namespace vantor {

class HelpOpener;

// What the option dialogs share: controls named by their control id, so that tests and
// screenshots find them, check boxes held as 0 or 1, and the OK, Help and Cancel buttons.
namespace dialog {

inline QString IdName(int id) {
    return QString::number(id);
}

QCheckBox* CheckBox(QWidget* parent, int id, std::string_view text, std::int32_t checked);
std::int32_t Checked(const QCheckBox* box);

// OK (default), Help and Cancel in a column (vertical) or a row; Help opens topic under the
// help folder and leaves the dialog open. Makes the dialog modal to its window only, so that
// the help window can be used beside it.
// okText: the OK button's text when it is not "OK".
QWidget* Buttons(QDialog* dialog, Qt::Orientation orientation, int helpId, HelpOpener& help,
                 std::string topic, std::string_view okText = "OK");

}  // namespace dialog
}  // namespace vantor
