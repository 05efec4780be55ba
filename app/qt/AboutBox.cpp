#include "app/qt/AboutBox.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/CSnifferApp.h"
#include "ui/qt/QtText.h"

namespace vantor {

void ShowAboutBox(QWidget* parent) {
    QDialog box(parent);
    box.setObjectName("100");
    box.setWindowTitle(ToQString(kAboutTitle));
    auto* icon = new QLabel(&box);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    auto* text = new QLabel(ToQString(kAboutText), &box);
    text->setObjectName("text");
    auto* ok = new QPushButton(QObject::tr("OK"), &box);
    ok->setObjectName("1");
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    row->addWidget(ok);
    auto* layout = new QVBoxLayout(&box);
    layout->addLayout(row);
    box.exec();
}

}  // namespace vantor
