#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <QTreeView>
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/TreeControl.h"

namespace vantor {

// The view of the message tree: lines join the items (as the tree asks, lines at the root
// too), and its one column is as wide as its widest caption, never cut short: the pane scrolls
// sideways instead. While the tree is hidden for many changes, its layout waits for the end of
// them: expanding a hundred thousand items then costs one layout, not one each.
class MessageTreeView : public QTreeView {
    Q_OBJECT

public:
    explicit MessageTreeView(QWidget* parent = nullptr);

    void DeferLayout() { scheduleDelayedItemsLayout(); }
    // Lays out now what waits to be laid out.
    void LayOutNow() { executeDelayedItemsLayout(); }
    // Makes room for an item's text at its depth (0 for the top level); the column only grows.
    void FitText(const QString& text, int depth);
    // Forgets the widths of the items there were.
    void ResetWidth();
    int columnWidthNeeded() const { return m_widthNeeded; }

protected:
    // Copy belongs to the text pane: the tree does not copy its captions by itself.
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The width of text in the view's font: summed from a table for ASCII (a hundred thousand
    // captions are measured in milliseconds, not seconds), by the font for anything else.
    int TextWidth(const QString& text) const;
    void MeasureAscii();

    int m_widthNeeded = 0;
    std::array<int, 128> m_asciiAdvance{};
    int m_widestAscii = 0;
    int m_frameMargin = -1;  // around a caption, beside indentation and icon; -1: not asked yet
};

// The tree control as the model of a QTreeView, with items of our own.
//
// A tree view lays out all its top-level rows again whenever rows are added at the top level;
// over a hundred thousand messages that is tens of milliseconds. New top-level items therefore
// wait, and join the view together a tenth of a second later (or, once joining them and laying
// the tree out has grown costly, kFlushCostFactor times as long as that took, so that the window
// spends at most a share of its time on it however long the tree), or when the tree is shown
// again after SetVisible(false), or as soon as anything asks where they are (siblings,
// selection, expansion): one layout per batch, not one per message. Every item remembers its
// row, so that stepping to a sibling or inserting after an item never searches the whole tree.
class QtTreeControl : public QAbstractItemModel, public TreeControl {
    Q_OBJECT

public:
    // How long new top-level items may wait while the tree is shown.
    static constexpr int kBatchMilliseconds = 100;
    static constexpr int kFlushCostFactor = 4;
    static constexpr int kLongestBatchMilliseconds = 2000;

    explicit QtTreeControl(MessageTreeView* view, QObject* parent = nullptr);
    ~QtTreeControl() override;

    MessageTreeView* view() const { return m_view; }
    // The item of an index of the view, and back.
    TreeItem ItemAt(const QModelIndex& index) const;
    QModelIndex IndexOf(TreeItem item) const;
    // Puts the waiting items in the view now.
    void Flush() const;

    // TreeControl
    TreeItem InsertItem(TreeItem parent, TreeItem after, std::string_view text, int image) override;
    void SetItem(TreeItem item, std::string_view text, int image) override;
    std::string ItemText(TreeItem item) const override;
    int ItemImage(TreeItem item) const override;
    void DeleteItem(TreeItem item) override;
    void DeleteAllItems() override;
    TreeItem Parent(TreeItem item) const override;
    TreeItem FirstChild(TreeItem parent) const override;
    TreeItem NextSibling(TreeItem item) const override;
    TreeItem PreviousSibling(TreeItem item) const override;
    void Select(TreeItem item) override;
    TreeItem Selected() const override;
    void Expand(TreeItem item) override;
    void Collapse(TreeItem item) override;
    bool IsExpanded(TreeItem item) const override;
    void SetVisible(bool visible) override;

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Node;
    using Nodes = std::vector<std::unique_ptr<Node>>;

    // Where a top-level node is: in the view, waiting at the end, or waiting to go in after a
    // node of the view.
    enum class Place : std::uint8_t { InView, Appended, InsertedAfter };

    static Node* NodeOf(TreeItem item);
    static TreeItem HandleOf(const Node* node);
    // The row of a node among its siblings (in the view, or among those appended), or -1.
    int RowOf(const Node* node) const;
    const Nodes& SiblingsOf(const Node* node) const;
    bool InView(const Node* node) const;
    void ScheduleFlush();

    QPointer<MessageTreeView> m_view;
    std::vector<QIcon> m_icons;
    bool m_hidden = false;
    mutable QTimer m_batchTimer;
    // All mutable: Flush is what asking where an item is implies.
    mutable Nodes m_topLevel;
    mutable Nodes m_appended;
    mutable std::vector<std::pair<Node*, std::unique_ptr<Node>>> m_insertedAfter;
};

}  // namespace vantor
