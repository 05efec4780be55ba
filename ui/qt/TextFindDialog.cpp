#include "ui/qt/TextFindDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

#include "ui/CSnifferView.h"
#include "ui/FindDialogPlacement.h"

namespace vantor {

TextFindDialog::TextFindDialog(CSnifferView& view, QWidget* textWidget, QWidget* parent)
    : QDialog(parent),
      m_view(view),
      m_textWidget(textWidget),
      m_findWhat(new QLineEdit(this)),
      m_wholeWord(new QCheckBox(tr("Match &whole word only"), this)),
      m_matchCase(new QCheckBox(tr("Match &case"), this)),
      m_findNext(new QPushButton(tr("&Find Next"), this)) {
    setWindowTitle(tr("Find"));
    setModal(false);
    auto* label = new QLabel(tr("Fi&nd what:"), this);
    label->setBuddy(m_findWhat);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    auto* layout = new QGridLayout(this);
    layout->addWidget(label, 0, 0);
    layout->addWidget(m_findWhat, 0, 1);
    layout->addWidget(m_findNext, 0, 2);
    layout->addWidget(m_wholeWord, 1, 0, 1, 2);
    layout->addWidget(cancel, 1, 2);
    layout->addWidget(m_matchCase, 2, 0, 1, 2);
    m_findNext->setDefault(true);
    m_findNext->setEnabled(false);
    connect(m_findWhat, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_findNext->setEnabled(!text.isEmpty()); });
    connect(m_findNext, &QPushButton::clicked, this, [this] { FindNext(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::close);
}

void TextFindDialog::Open() {
    m_view.BeginFind();
    show();
    raise();
    activateWindow();
    m_findWhat->setFocus();
    m_findWhat->selectAll();
}

bool TextFindDialog::FindNext() {
    const std::string what = m_findWhat->text().toStdString();
    if (what.empty()) {
        return false;
    }
    const bool found = m_view.Find(what, m_matchCase->isChecked(), m_wholeWord->isChecked());
    if (found) {
        MoveOutOfTheWay();
    }
    return found;
}

void TextFindDialog::MoveOutOfTheWay() {
    auto* edit = qobject_cast<QPlainTextEdit*>(m_textWidget);
    if (edit == nullptr || !isVisible()) {
        return;
    }
    QTextCursor start = edit->textCursor();
    start.setPosition(start.selectionStart());
    const QPoint match = edit->viewport()->mapToGlobal(edit->cursorRect(start).topLeft());
    const QRect frame = frameGeometry();
    const QScreen* screen = this->screen();
    const int screenHeight = screen != nullptr ? screen->geometry().height() : 0;
    if (const auto top =
            MovedFindDialogTop({frame.left(), frame.top(), frame.width(), frame.height()},
                               match.x(), match.y(), screenHeight)) {
        move(frame.left(), *top);
    }
}

}  // namespace vantor
