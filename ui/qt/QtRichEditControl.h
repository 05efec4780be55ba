#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <functional>

#include "platform/RichEditControl.h"

namespace vantor {

// The text widget of a message: a QPlainTextEdit, which lays out only the lines it shows, so that
// a message of megabytes appears at once. Tells about a double click after its own handling.
class MessageTextEdit : public QPlainTextEdit {
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

Q_SIGNALS:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// The rich-edit control as a MessageTextEdit. Bytes of message text are shown as UTF-8; positions
// count the widget's characters.
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

private:
    MessageTextEdit* m_edit;
    qint64 m_lastRedrawMilliseconds = 0;
    QColor m_defaultColor = Qt::black;
};

}  // namespace vantor
