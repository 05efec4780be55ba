#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vantor {

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kNavy{0, 0, 128};

// The rich-text control of a window. Positions count characters of the control's text; a text
// is given and taken as UTF-8 bytes.
class RichEditControl {
public:
    virtual ~RichEditControl() = default;

    virtual void SetText(std::string_view text) = 0;
    virtual std::string Text() const = 0;
    virtual std::size_t TextLength() const = 0;

    // The selection runs from start to end (start == end: the caret).
    virtual void SetSelection(std::size_t start, std::size_t end) = 0;
    virtual std::pair<std::size_t, std::size_t> Selection() const = 0;
    virtual std::string SelectedText() const = 0;
    // Replaces the selection; the caret ends after the new text.
    virtual void ReplaceSelection(std::string_view text) = 0;
    // Colours the selected characters, or, with an empty selection, what is typed there.
    virtual void SetSelectionColor(Rgb color) = 0;
    // The colour of new text wherever no other colour was set.
    virtual void SetDefaultColor(Rgb color) = 0;
    virtual void SetReadOnly(bool readOnly) = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual void SetWordWrap(bool wrap) = 0;

    virtual std::size_t LineFromChar(std::size_t position) const = 0;
    virtual std::size_t LineIndex(std::size_t line) const = 0;
    // The text of a line, at most maxLength characters, with its line end when it has one.
    virtual std::string LineText(std::size_t line, std::size_t maxLength) const = 0;

    // The first match of what in [from, to), as (start, end); nothing when there is none.
    virtual std::optional<std::pair<std::size_t, std::size_t>> Find(std::string_view what,
                                                                    std::size_t from,
                                                                    std::size_t to, bool matchCase,
                                                                    bool wholeWord) const = 0;
    // Puts the selected text on the clipboard.
    virtual void CopySelection() = 0;

    // Called after the control's own handling of a double click with the left button (which
    // places the caret and selects the word).
    void SetDoubleClickHandler(std::function<void()> handler) {
        m_doubleClickHandler = std::move(handler);
    }

protected:
    void DoubleClicked() {
        if (m_doubleClickHandler) {
            m_doubleClickHandler();
        }
    }

private:
    std::function<void()> m_doubleClickHandler;
};

}  // namespace vantor
