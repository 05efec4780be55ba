#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <functional>
#include <vector>

#include "platform/RichEditControl.h"

namespace vantor {

// The text widget of a message: a QPlainTextEdit, which lays out only the lines it shows, so that
// a message of megabytes appears at once. Tells about a double click after its own handling.
class MessageTextEdit : public QPlainTextEdit {
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

    // What Copy and dragging take from a selection, when the shown text is not the text.
    void SetSelectedTextSource(std::function<QString()> source) {
        m_selectedText = std::move(source);
    }

Q_SIGNALS:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;

private:
    std::function<QString()> m_selectedText;
};

// The rich-edit control as a MessageTextEdit. Bytes of message text are shown as UTF-8; positions
// count the text's characters (UTF-16 units). A line longer than kDisplayLine characters is shown
// in pieces of that length, each a line of the widget: laying out one line of megabytes takes
// the widget seconds. Those breaks are the display's alone: positions, selections, lines, Find
// and Copy are the text's, as if they were not there.
class QtRichEditControl : public QObject, public RichEditControl {
    Q_OBJECT

public:
    explicit QtRichEditControl(MessageTextEdit* edit, QObject* parent = nullptr);

    MessageTextEdit* widget() const { return m_edit; }

    // How long a message that grows record by record may wait to be shown again.
    static constexpr int kRedrawMilliseconds = 150;
    // A redraw waits at least this many times as long as the last one took, so that redrawing
    // a very large text never takes more than a quarter of the window's time.
    static constexpr int kRedrawCostFactor = 3;
    // Runs redraw once, kRedrawMilliseconds from now (or later, after a costly redraw), unless
    // the control is gone by then: the scheduler of a CSnifferView on this control.
    void ScheduleRedraw(std::function<void()> redraw);

    void SetText(std::string_view text) override;
    std::string Text() const override;
    std::size_t TextLength() const override;
    void SetSelection(std::size_t start, std::size_t end) override;
    std::pair<std::size_t, std::size_t> Selection() const override;
    std::string SelectedText() const override;
    void ReplaceSelection(std::string_view text) override;
    void SetSelectionColor(Rgb color) override;
    void SetDefaultColor(Rgb color) override;
    void SetReadOnly(bool readOnly) override;
    void SetVisible(bool visible) override;
    void SetWordWrap(bool wrap) override;
    std::size_t LineFromChar(std::size_t position) const override;
    std::size_t LineIndex(std::size_t line) const override;
    std::string LineText(std::size_t line, std::size_t maxLength) const override;
    std::optional<std::pair<std::size_t, std::size_t>> Find(std::string_view what, std::size_t from,
                                                            std::size_t to, bool matchCase,
                                                            bool wholeWord) const override;
    void CopySelection() override;

    static constexpr qsizetype kDisplayLine = 2048;

private:
    // Widget position of a text position, and back.
    int ToWidget(std::size_t position) const;
    std::size_t ToText(int position) const;
    // The widget's text without the display breaks.
    QString PlainText() const;

    MessageTextEdit* m_edit;
    qint64 m_lastRedrawMilliseconds = 0;
    QColor m_defaultColor = Qt::black;
    // Text positions before which a display break stands, ascending.
    std::vector<qsizetype> m_breaks;
};

}  // namespace vantor
