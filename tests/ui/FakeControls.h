#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/RichEditControl.h"
#include "platform/TreeControl.h"

namespace vantor::test {

// A tree control in memory: what a window's tree would hold, open to inspection.
class FakeTreeControl : public TreeControl {
public:
    struct Node {
        TreeItem parent = kNoItem;
        std::vector<TreeItem> children;
        std::string text;
        int image = 0;
        bool expanded = false;
    };

    TreeItem InsertItem(TreeItem parent, TreeItem after, std::string_view text,
                        int image) override {
        const TreeItem item = ++m_lastHandle;
        m_nodes[item] = Node{parent, {}, std::string(text), image, false};
        std::vector<TreeItem>& siblings = ChildrenOf(parent);
        if (after == kInsertLast) {
            siblings.push_back(item);
        } else if (after == kInsertFirst) {
            siblings.insert(siblings.begin(), item);
        } else {
            const auto at = std::find(siblings.begin(), siblings.end(), after);
            siblings.insert(at == siblings.end() ? at : at + 1, item);
        }
        ++inserts;
        return item;
    }
    void SetItem(TreeItem item, std::string_view text, int image) override {
        m_nodes.at(item).text = std::string(text);
        m_nodes.at(item).image = image;
    }
    std::string ItemText(TreeItem item) const override { return m_nodes.at(item).text; }
    int ItemImage(TreeItem item) const override { return m_nodes.at(item).image; }
    void DeleteItem(TreeItem item) override {
        const Node node = m_nodes.at(item);
        for (const TreeItem child : node.children) {
            m_nodes.erase(child);
        }
        std::erase(ChildrenOf(node.parent), item);
        m_nodes.erase(item);
        if (m_selected == item || std::find(node.children.begin(), node.children.end(),
                                            m_selected) != node.children.end()) {
            m_selected = kNoItem;
        }
    }
    void DeleteAllItems() override {
        m_nodes.clear();
        m_top.clear();
        m_selected = kNoItem;
    }
    TreeItem Parent(TreeItem item) const override { return m_nodes.at(item).parent; }
    TreeItem FirstChild(TreeItem parent) const override {
        const auto& children = parent == kNoItem ? m_top : m_nodes.at(parent).children;
        return children.empty() ? kNoItem : children.front();
    }
    TreeItem NextSibling(TreeItem item) const override { return Sibling(item, +1); }
    TreeItem PreviousSibling(TreeItem item) const override { return Sibling(item, -1); }
    void Select(TreeItem item) override {
        if (item != m_selected) {
            m_selected = item;
            SelectionChanged(item);
        }
    }
    TreeItem Selected() const override { return m_selected; }
    void Expand(TreeItem item) override { m_nodes.at(item).expanded = true; }
    void Collapse(TreeItem item) override { m_nodes.at(item).expanded = false; }
    bool IsExpanded(TreeItem item) const override { return m_nodes.at(item).expanded; }
    void SetVisible(bool visible) override {
        visibleChanges.push_back(visible);
        m_visible = visible;
    }

    // Test helpers.
    const std::vector<TreeItem>& TopLevel() const { return m_top; }
    std::vector<std::string> TopLevelTexts() const {
        std::vector<std::string> texts;
        for (const TreeItem item : m_top) {
            texts.push_back(m_nodes.at(item).text);
        }
        return texts;
    }
    const Node& node(TreeItem item) const { return m_nodes.at(item); }
    bool visible() const { return m_visible; }
    // The user clicks an item.
    void Click(TreeItem item) { Select(item); }

    std::vector<bool> visibleChanges;
    int inserts = 0;

private:
    std::vector<TreeItem>& ChildrenOf(TreeItem parent) {
        return parent == kNoItem ? m_top : m_nodes.at(parent).children;
    }
    TreeItem Sibling(TreeItem item, int step) const {
        const auto& siblings = m_nodes.at(item).parent == kNoItem
                                   ? m_top
                                   : m_nodes.at(m_nodes.at(item).parent).children;
        const auto at = std::find(siblings.begin(), siblings.end(), item);
        const auto index = (at - siblings.begin()) + step;
        return index < 0 || index >= static_cast<std::ptrdiff_t>(siblings.size())
                   ? kNoItem
                   : siblings[static_cast<std::size_t>(index)];
    }

    std::map<TreeItem, Node> m_nodes;
    std::vector<TreeItem> m_top;
    TreeItem m_lastHandle = 100;
    TreeItem m_selected = kNoItem;
    bool m_visible = true;
};

// A rich-edit control in memory: one character per byte, a colour per character.
class FakeRichEditControl : public RichEditControl {
public:
    void SetText(std::string_view text) override {
        m_text = std::string(text);
        m_colors.assign(m_text.size(), m_defaultColor);
        m_selection = {0, 0};
        ++setTextCalls;
    }
    std::string Text() const override { return m_text; }
    std::size_t TextLength() const override { return m_text.size(); }
    void SetSelection(std::size_t start, std::size_t end) override {
        m_selection = {std::min(start, m_text.size()), std::min(end, m_text.size())};
    }
    std::pair<std::size_t, std::size_t> Selection() const override { return m_selection; }
    std::string SelectedText() const override {
        return m_text.substr(m_selection.first, m_selection.second - m_selection.first);
    }
    void ReplaceSelection(std::string_view text) override {
        const auto [start, end] = m_selection;
        m_text.replace(start, end - start, text);
        m_colors.erase(m_colors.begin() + static_cast<std::ptrdiff_t>(start),
                       m_colors.begin() + static_cast<std::ptrdiff_t>(end));
        m_colors.insert(m_colors.begin() + static_cast<std::ptrdiff_t>(start), text.size(),
                        m_typingColor);
        m_selection = {start + text.size(), start + text.size()};
    }
    void SetSelectionColor(Rgb color) override {
        const auto [start, end] = m_selection;
        if (start == end) {
            m_typingColor = color;
        }
        for (std::size_t i = start; i < end; ++i) {
            m_colors[i] = color;
        }
    }
    void SetDefaultColor(Rgb color) override {
        m_defaultColor = color;
        m_typingColor = color;
    }
    void SetReadOnly(bool readOnly) override { m_readOnly = readOnly; }
    void SetVisible(bool visible) override { m_visible = visible; }
    void SetWordWrap(bool wrap) override { m_wordWrap = wrap; }
    std::size_t LineFromChar(std::size_t position) const override {
        return static_cast<std::size_t>(std::count(
            m_text.begin(),
            m_text.begin() + static_cast<std::ptrdiff_t>(std::min(position, m_text.size())), '\n'));
    }
    std::size_t LineIndex(std::size_t line) const override {
        std::size_t position = 0;
        for (std::size_t i = 0; i < line; ++i) {
            position = m_text.find('\n', position);
            if (position == std::string::npos) {
                return m_text.size();
            }
            ++position;
        }
        return position;
    }
    std::string LineText(std::size_t line, std::size_t maxLength) const override {
        const std::size_t start = LineIndex(line);
        const std::size_t end = m_text.find('\n', start);
        const std::size_t stop = end == std::string::npos ? m_text.size() : end + 1;
        return m_text.substr(start, std::min(stop - start, maxLength));
    }
    std::optional<std::pair<std::size_t, std::size_t>> Find(std::string_view what, std::size_t from,
                                                            std::size_t to, bool matchCase,
                                                            bool wholeWord) const override {
        auto equal = [&](char a, char b) {
            return matchCase ? a == b : AsciiToLower(a) == AsciiToLower(b);
        };
        to = std::min(to, m_text.size());
        for (std::size_t i = from; what.size() > 0 && i + what.size() <= to; ++i) {
            if (!std::equal(what.begin(), what.end(),
                            m_text.begin() + static_cast<std::ptrdiff_t>(i), equal)) {
                continue;
            }
            const std::size_t end = i + what.size();
            if (wholeWord && ((i > 0 && IsAsciiAlnum(m_text[i - 1])) ||
                              (end < m_text.size() && IsAsciiAlnum(m_text[end])))) {
                continue;
            }
            return std::pair{i, end};
        }
        return std::nullopt;
    }
    void CopySelection() override { clipboard = SelectedText(); }

    // Test helpers.
    Rgb ColorAt(std::size_t position) const { return m_colors.at(position); }
    bool readOnly() const { return m_readOnly; }
    bool visible() const { return m_visible; }
    bool wordWrap() const { return m_wordWrap; }
    // The user double-clicks at position.
    void DoubleClickAt(std::size_t position) {
        m_selection = {position, position};
        DoubleClicked();
    }

    std::string clipboard;
    int setTextCalls = 0;

private:
    std::string m_text;
    std::vector<Rgb> m_colors;
    std::pair<std::size_t, std::size_t> m_selection{0, 0};
    Rgb m_defaultColor = kBlack;
    Rgb m_typingColor = kBlack;
    bool m_readOnly = false;
    bool m_visible = true;
    bool m_wordWrap = true;
};

}  // namespace vantor::test
