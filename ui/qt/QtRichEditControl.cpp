#include "ui/qt/QtRichEditControl.h"

#include <algorithm>

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMimeData>
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

// text with a line feed after every lineLength characters of a longer line (never between
// the halves of a surrogate pair); breaks gets the text positions they stand before.
QString WithDisplayBreaks(const QString& text, qsizetype lineLength,
                          std::vector<qsizetype>& breaks) {
    breaks.clear();
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n') {
            run = 0;
            continue;
        }
        if (run >= lineLength && !text[i].isLowSurrogate()) {
            breaks.push_back(i);
            run = 0;
        }
        ++run;
    }
    if (breaks.empty()) {
        return text;
    }
    QString shown;
    shown.reserve(text.size() + static_cast<qsizetype>(breaks.size()));
    qsizetype from = 0;
    for (const qsizetype at : breaks) {
        shown.append(QStringView(text).mid(from, at - from));
        shown.append(u'\n');
        from = at;
    }
    shown.append(QStringView(text).mid(from));
    return shown;
}

bool IsWordCharacter(QChar c) {
    return c.isLetterOrNumber() || c == u'_';
}

}  // namespace

void MessageTextEdit::mouseDoubleClickEvent(QMouseEvent* event) {
    QPlainTextEdit::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked();
}

QMimeData* MessageTextEdit::createMimeDataFromSelection() const {
    if (!m_selectedText) {
        return QPlainTextEdit::createMimeDataFromSelection();
    }
    auto* mime = new QMimeData;
    mime->setText(m_selectedText());
    return mime;
}

QtRichEditControl::QtRichEditControl(MessageTextEdit* edit, QObject* parent)
    : QObject(parent), m_edit(edit) {
    m_edit->setUndoRedoEnabled(false);
    // Message text lines up as it was written: headers, laid-out JSON, hex dumps.
    m_edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    UseClearScrollBars(m_edit);
    connect(m_edit, &MessageTextEdit::doubleClicked, this, [this] { DoubleClicked(); });
    m_edit->SetSelectedTextSource([this] { return ToQString(SelectedText()); });
}

int QtRichEditControl::ToWidget(std::size_t position) const {
    const auto before =
        std::upper_bound(m_breaks.begin(), m_breaks.end(), static_cast<qsizetype>(position)) -
        m_breaks.begin();
    return static_cast<int>(static_cast<qsizetype>(position) + before);
}

std::size_t QtRichEditControl::ToText(int position) const {
    // Break k stands at widget position m_breaks[k] + k.
    std::size_t low = 0;
    std::size_t high = m_breaks.size();
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (m_breaks[middle] + static_cast<qsizetype>(middle) < position) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return static_cast<std::size_t>(position) - low;
}

QString QtRichEditControl::PlainText() const {
    QString shown = m_edit->toPlainText();
    if (m_breaks.empty()) {
        return shown;
    }
    QString text;
    text.reserve(shown.size());
    qsizetype from = 0;
    for (std::size_t k = 0; k < m_breaks.size(); ++k) {
        const qsizetype at = m_breaks[k] + static_cast<qsizetype>(k);
        text.append(QStringView(shown).mid(from, at - from));
        from = at + 1;
    }
    text.append(QStringView(shown).mid(from));
    return text;
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
    cursor.insertText(WithDisplayBreaks(ToQString(text), kDisplayLine, m_breaks), format);
    cursor.endEditBlock();
    cursor.setPosition(0);
    m_edit->setTextCursor(cursor);
}

std::string QtRichEditControl::Text() const {
    return PlainText().toStdString();
}

std::size_t QtRichEditControl::TextLength() const {
    const auto shown =
        static_cast<std::size_t>(std::max(0, m_edit->document()->characterCount() - 1));
    return shown - std::min(shown, m_breaks.size());
}

void QtRichEditControl::SetSelection(std::size_t start, std::size_t end) {
    const auto length = static_cast<std::size_t>(TextLength());
    QTextCursor cursor(m_edit->document());
    cursor.setPosition(ToWidget(std::min(start, length)));
    cursor.setPosition(ToWidget(std::min(end, length)), QTextCursor::KeepAnchor);
    m_edit->setTextCursor(cursor);
}

std::pair<std::size_t, std::size_t> QtRichEditControl::Selection() const {
    const QTextCursor cursor = m_edit->textCursor();
    return {ToText(cursor.selectionStart()), ToText(cursor.selectionEnd())};
}

std::string QtRichEditControl::SelectedText() const {
    if (m_breaks.empty()) {
        // The widget marks paragraph ends in a selection with U+2029; the text has line breaks.
        return m_edit->textCursor()
            .selectedText()
            .replace(QChar::ParagraphSeparator, u'\n')
            .toStdString();
    }
    const auto [start, end] = Selection();
    return PlainText()
        .mid(static_cast<qsizetype>(start), static_cast<qsizetype>(end - start))
        .toStdString();
}

void QtRichEditControl::ReplaceSelection(std::string_view text) {
    QTextCursor cursor = m_edit->textCursor();
    const QString inserted = ToQString(text);
    if (!m_breaks.empty()) {
        // Breaks inside the selection go with it; those after it move with the text.
        const int start = cursor.selectionStart();
        const int end = cursor.selectionEnd();
        const qsizetype removed = static_cast<qsizetype>(ToText(end) - ToText(start));
        std::vector<qsizetype> kept;
        for (std::size_t k = 0; k < m_breaks.size(); ++k) {
            const qsizetype at = m_breaks[k] + static_cast<qsizetype>(k);
            if (at < start) {
                kept.push_back(m_breaks[k]);
            } else if (at >= end) {
                kept.push_back(m_breaks[k] + inserted.size() - removed);
            }
        }
        m_breaks = std::move(kept);
    }
    cursor.insertText(inserted);
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
    if (!m_breaks.empty()) {
        const QString text = PlainText();
        return static_cast<std::size_t>(
            QStringView(text).left(static_cast<qsizetype>(position)).count(u'\n'));
    }
    const QTextBlock block = m_edit->document()->findBlock(static_cast<int>(position));
    return block.isValid() ? static_cast<std::size_t>(block.blockNumber()) : 0;
}

std::size_t QtRichEditControl::LineIndex(std::size_t line) const {
    if (!m_breaks.empty()) {
        const QString text = PlainText();
        qsizetype at = 0;
        for (std::size_t i = 0; i < line; ++i) {
            at = text.indexOf(u'\n', at);
            if (at < 0) {
                return static_cast<std::size_t>(text.size());
            }
            ++at;
        }
        return static_cast<std::size_t>(at);
    }
    const QTextBlock block = m_edit->document()->findBlockByNumber(static_cast<int>(line));
    return block.isValid() ? static_cast<std::size_t>(block.position()) : TextLength();
}

std::string QtRichEditControl::LineText(std::size_t line, std::size_t maxLength) const {
    if (!m_breaks.empty()) {
        const QString text = PlainText();
        const auto start = static_cast<qsizetype>(LineIndex(line));
        if (start >= text.size()) {
            return {};
        }
        const qsizetype feed = text.indexOf(u'\n', start);
        const qsizetype end = feed < 0 ? text.size() : feed + 1;
        return text.mid(start, std::min(end - start, static_cast<qsizetype>(maxLength)))
            .toStdString();
    }
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
    if (!m_breaks.empty()) {
        // In the text itself: a match may span a display break.
        const QString text = PlainText();
        const QString needle = ToQString(what);
        if (needle.isEmpty()) {
            return std::nullopt;
        }
        const auto sensitivity = matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
        for (qsizetype at = text.indexOf(needle, static_cast<qsizetype>(from), sensitivity);
             at >= 0; at = text.indexOf(needle, at + 1, sensitivity)) {
            const qsizetype end = at + needle.size();
            if (static_cast<std::size_t>(end) > to) {
                return std::nullopt;
            }
            if (!wholeWord || ((at == 0 || !IsWordCharacter(text[at - 1])) &&
                               (end == text.size() || !IsWordCharacter(text[end])))) {
                return std::pair{static_cast<std::size_t>(at), static_cast<std::size_t>(end)};
            }
        }
        return std::nullopt;
    }
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
