#include "ui/qt/QtRichEditControl.h"

#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "ui/qt/ClearScrollBars.h"
#include "ui/qt/QtText.h"

namespace vantor {

namespace {

QColor ColorOf(Rgb rgb) {
    return QColor(rgb.red, rgb.green, rgb.blue);
}

}  // namespace

void MessageTextEdit::mouseDoubleClickEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked();
}

QtRichEditControl::QtRichEditControl(MessageTextEdit* edit, QObject* parent)
    : QObject(parent), m_edit(edit) {
    m_edit->setUndoRedoEnabled(false);
    UseClearScrollBars(m_edit);
    connect(m_edit, &MessageTextEdit::doubleClicked, this, [this] { DoubleClicked(); });
}

void QtRichEditControl::ScheduleRedraw(std::function<void()> redraw) {
    const qint64 wait =
        std::max<qint64>(kRedrawMilliseconds, kRedrawCostFactor * m_lastRedrawMilliseconds);
    QTimer::singleShot(std::chrono::milliseconds(wait), this, [this, redraw = std::move(redraw)] {
        QElapsedTimer cost;
        cost.start();
        redraw();
        m_lastRedrawMilliseconds = cost.elapsed();
    });
}

void QtRichEditControl::SetText(std::string_view text) {
    // The text goes in with the default format: formatting it afterwards would cost as much
    // again for a large message.
    QTextDocument* document = m_edit->document();
    document->clear();
    QTextCharFormat format;
    format.setForeground(m_defaultColor);
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.insertText(ToQString(text), format);
    cursor.endEditBlock();
    cursor.setPosition(0);
    m_edit->setTextCursor(cursor);
}

std::string QtRichEditControl::Text() const {
    return m_edit->toPlainText().toStdString();
}

std::size_t QtRichEditControl::TextLength() const {
    return static_cast<std::size_t>(std::max(0, m_edit->document()->characterCount() - 1));
}

void QtRichEditControl::SetSelection(std::size_t start, std::size_t end) {
    const auto length = static_cast<int>(TextLength());
    QTextCursor cursor(m_edit->document());
    cursor.setPosition(std::min(static_cast<int>(start), length));
    cursor.setPosition(std::min(static_cast<int>(end), length), QTextCursor::KeepAnchor);
    m_edit->setTextCursor(cursor);
}

std::pair<std::size_t, std::size_t> QtRichEditControl::Selection() const {
    const QTextCursor cursor = m_edit->textCursor();
    return {static_cast<std::size_t>(cursor.selectionStart()),
            static_cast<std::size_t>(cursor.selectionEnd())};
}

std::string QtRichEditControl::SelectedText() const {
    // The widget marks paragraph ends in a selection with U+2029; the text has line breaks.
    return m_edit->textCursor()
        .selectedText()
        .replace(QChar::ParagraphSeparator, u'\n')
        .toStdString();
}

void QtRichEditControl::ReplaceSelection(std::string_view text) {
    QTextCursor cursor = m_edit->textCursor();
    cursor.insertText(ToQString(text));
    m_edit->setTextCursor(cursor);
}

void QtRichEditControl::SetSelectionColor(Rgb color) {
    QTextCursor cursor = m_edit->textCursor();
    QTextCharFormat format;
    format.setForeground(ColorOf(color));
    if (cursor.hasSelection()) {
        cursor.mergeCharFormat(format);
    } else {
        m_edit->mergeCurrentCharFormat(format);
    }
}

void QtRichEditControl::SetDefaultColor(Rgb color) {
    m_defaultColor = ColorOf(color);
    QTextCharFormat format;
    format.setForeground(m_defaultColor);
    m_edit->mergeCurrentCharFormat(format);
}

void QtRichEditControl::SetReadOnly(bool readOnly) {
    m_edit->setReadOnly(readOnly);
}

void QtRichEditControl::SetVisible(bool visible) {
    m_edit->setUpdatesEnabled(visible);
}

void QtRichEditControl::SetWordWrap(bool wrap) {
    m_edit->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

std::size_t QtRichEditControl::LineFromChar(std::size_t position) const {
    const QTextBlock block = m_edit->document()->findBlock(static_cast<int>(position));
    return block.isValid() ? static_cast<std::size_t>(block.blockNumber()) : 0;
}

std::size_t QtRichEditControl::LineIndex(std::size_t line) const {
    const QTextBlock block = m_edit->document()->findBlockByNumber(static_cast<int>(line));
    return block.isValid() ? static_cast<std::size_t>(block.position()) : TextLength();
}

std::string QtRichEditControl::LineText(std::size_t line, std::size_t maxLength) const {
    const QTextBlock block = m_edit->document()->findBlockByNumber(static_cast<int>(line));
    if (!block.isValid()) {
        return {};
    }
    QString text = block.text();
    if (block.next().isValid()) {
        text += u'\n';
    }
    return text.left(static_cast<qsizetype>(maxLength)).toStdString();
}

std::optional<std::pair<std::size_t, std::size_t>> QtRichEditControl::Find(
    std::string_view what, std::size_t from, std::size_t to, bool matchCase, bool wholeWord) const {
    QTextDocument::FindFlags flags;
    if (matchCase) {
        flags |= QTextDocument::FindCaseSensitively;
    }
    if (wholeWord) {
        flags |= QTextDocument::FindWholeWords;
    }
    QTextCursor start(m_edit->document());
    start.setPosition(static_cast<int>(std::min(from, TextLength())));
    const QTextCursor found = m_edit->document()->find(ToQString(what), start, flags);
    if (found.isNull() || static_cast<std::size_t>(found.selectionEnd()) > to) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::size_t>(found.selectionStart()),
                     static_cast<std::size_t>(found.selectionEnd())};
}

void QtRichEditControl::CopySelection() {
    m_edit->copy();
}

}  // namespace vantor
