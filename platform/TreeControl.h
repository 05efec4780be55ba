#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vantor {

// A handle of one item of a tree control; kNoItem is none.
using TreeItem = std::uintptr_t;
inline constexpr TreeItem kNoItem = 0;
// Where InsertItem puts an item among its siblings: after this one, or first, or last.
inline constexpr TreeItem kInsertFirst = ~TreeItem{0} - 1;
inline constexpr TreeItem kInsertLast = ~TreeItem{0};

// The tree control of a window: items with a text and an image index, each under a parent
// (kNoItem: the top level), in the order they were inserted.
class TreeControl {
public:
    virtual ~TreeControl() = default;

    // Inserts an item under parent after `after` (a sibling, kInsertFirst or kInsertLast).
    virtual TreeItem InsertItem(TreeItem parent, TreeItem after, std::string_view text,
                                int image) = 0;
    virtual void SetItem(TreeItem item, std::string_view text, int image) = 0;
    virtual std::string ItemText(TreeItem item) const = 0;
    virtual int ItemImage(TreeItem item) const = 0;
    // Deletes the item with everything below it.
    virtual void DeleteItem(TreeItem item) = 0;
    virtual void DeleteAllItems() = 0;

    virtual TreeItem Parent(TreeItem item) const = 0;
    // The first child of parent (kNoItem: the first top-level item).
    virtual TreeItem FirstChild(TreeItem parent) const = 0;
    virtual TreeItem NextSibling(TreeItem item) const = 0;
    virtual TreeItem PreviousSibling(TreeItem item) const = 0;

    // Selects item (kNoItem: nothing); a change of selection is announced to the handler.
    virtual void Select(TreeItem item) = 0;
    virtual TreeItem Selected() const = 0;
    virtual void Expand(TreeItem item) = 0;
    virtual void Collapse(TreeItem item) = 0;
    virtual bool IsExpanded(TreeItem item) const = 0;
    // Hides the control while many items change, and shows it again.
    virtual void SetVisible(bool visible) = 0;

    // Called with the newly selected item (or kNoItem) whenever the selection changes, by the
    // user or by Select.
    void SetSelectionHandler(std::function<void(TreeItem)> handler) {
        m_selectionHandler = std::move(handler);
    }

protected:
    void SelectionChanged(TreeItem item) {
        if (m_selectionHandler) {
            m_selectionHandler(item);
        }
    }

private:
    std::function<void(TreeItem)> m_selectionHandler;
};

}  // namespace vantor
