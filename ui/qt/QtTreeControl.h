#pragma once

#include <QList>
#include <QObject>
#include <vector>

#include "platform/TreeControl.h"

class QIcon;
class QTreeWidget;
class QTreeWidgetItem;

namespace vantor {

// The tree control as a QTreeWidget. While hidden (SetVisible(false)) new top-level items are
// collected and added to the widget in one go when it is shown again, which is what makes a
// rebuild of a hundred thousand items quick.
class QtTreeControl : public QObject, public TreeControl {
    Q_OBJECT

public:
    explicit QtTreeControl(QTreeWidget* widget, QObject* parent = nullptr);
    ~QtTreeControl() override;

    QTreeWidget* widget() const { return m_widget; }

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

private:
    void Flush() const;
    void OnCurrentItemChanged(QTreeWidgetItem* current);

    QTreeWidget* m_widget;
    std::vector<QIcon> m_icons;
    bool m_hidden = false;
    // Top-level items made while hidden, in order, not yet in the widget.
    mutable QList<QTreeWidgetItem*> m_pending;
};

}  // namespace vantor
