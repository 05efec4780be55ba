#include "ui/qt/QtTreeControl.h"

#include <QTreeWidget>

#include "ui/qt/TreeImages.h"

namespace vantor {

namespace {

constexpr int kImageRole = Qt::UserRole + 1;

QTreeWidgetItem* ItemOf(TreeItem item) {
    return reinterpret_cast<QTreeWidgetItem*>(item);
}
TreeItem HandleOf(QTreeWidgetItem* item) {
    return reinterpret_cast<TreeItem>(item);
}
QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtTreeControl::QtTreeControl(QTreeWidget* widget, QObject* parent)
    : QObject(parent), m_widget(widget), m_icons(TreeImages::Icons()) {
    m_widget->setHeaderHidden(true);
    m_widget->setRootIsDecorated(true);
    m_widget->setSelectionMode(QAbstractItemView::SingleSelection);
    m_widget->setUniformRowHeights(true);
    m_widget->setIconSize(QSize(TreeImages::kWidth, TreeImages::kHeight));
    connect(m_widget, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { OnCurrentItemChanged(current); });
}

QtTreeControl::~QtTreeControl() {
    qDeleteAll(m_pending);
}

void QtTreeControl::Flush() const {
    if (!m_pending.isEmpty()) {
        QList<QTreeWidgetItem*> items;
        items.swap(m_pending);
        m_widget->addTopLevelItems(items);
    }
}

TreeItem QtTreeControl::InsertItem(TreeItem parent, TreeItem after, std::string_view text,
                                   int image) {
    auto* item = new QTreeWidgetItem(QStringList{Text(text)});
    item->setData(0, kImageRole, image);
    if (image >= 0 && image < static_cast<int>(m_icons.size())) {
        item->setIcon(0, m_icons[static_cast<std::size_t>(image)]);
    }
    if (parent != kNoItem) {
        QTreeWidgetItem* owner = ItemOf(parent);
        const int index = after == kInsertLast    ? owner->childCount()
                          : after == kInsertFirst ? 0
                                                  : owner->indexOfChild(ItemOf(after)) + 1;
        owner->insertChild(index, item);
        return HandleOf(item);
    }
    if (m_hidden) {
        // Collected; an item to insert after may itself be waiting.
        const qsizetype at = after == kInsertLast    ? m_pending.size()
                             : after == kInsertFirst ? -1
                                                     : m_pending.indexOf(ItemOf(after));
        if (after == kInsertLast || (at >= 0 && after != kInsertFirst)) {
            m_pending.insert(after == kInsertLast ? m_pending.size() : at + 1, item);
            return HandleOf(item);
        }
    }
    Flush();
    const int index = after == kInsertLast    ? m_widget->topLevelItemCount()
                      : after == kInsertFirst ? 0
                                              : m_widget->indexOfTopLevelItem(ItemOf(after)) + 1;
    m_widget->insertTopLevelItem(index, item);
    return HandleOf(item);
}

void QtTreeControl::SetItem(TreeItem item, std::string_view text, int image) {
    QTreeWidgetItem* widgetItem = ItemOf(item);
    widgetItem->setText(0, Text(text));
    widgetItem->setData(0, kImageRole, image);
    if (image >= 0 && image < static_cast<int>(m_icons.size())) {
        widgetItem->setIcon(0, m_icons[static_cast<std::size_t>(image)]);
    }
}

std::string QtTreeControl::ItemText(TreeItem item) const {
    return ItemOf(item)->text(0).toStdString();
}

int QtTreeControl::ItemImage(TreeItem item) const {
    return ItemOf(item)->data(0, kImageRole).toInt();
}

void QtTreeControl::DeleteItem(TreeItem item) {
    QTreeWidgetItem* widgetItem = ItemOf(item);
    if (m_pending.removeOne(widgetItem)) {
        delete widgetItem;
        return;
    }
    delete widgetItem;  // takes its children and itself out of the tree
}

void QtTreeControl::DeleteAllItems() {
    qDeleteAll(m_pending);
    m_pending.clear();
    m_widget->clear();
}

TreeItem QtTreeControl::Parent(TreeItem item) const {
    return HandleOf(ItemOf(item)->parent());
}

TreeItem QtTreeControl::FirstChild(TreeItem parent) const {
    if (parent == kNoItem) {
        Flush();
        return HandleOf(m_widget->topLevelItem(0));
    }
    return HandleOf(ItemOf(parent)->child(0));
}

TreeItem QtTreeControl::NextSibling(TreeItem item) const {
    Flush();
    QTreeWidgetItem* widgetItem = ItemOf(item);
    if (QTreeWidgetItem* parent = widgetItem->parent()) {
        return HandleOf(parent->child(parent->indexOfChild(widgetItem) + 1));
    }
    return HandleOf(m_widget->topLevelItem(m_widget->indexOfTopLevelItem(widgetItem) + 1));
}

TreeItem QtTreeControl::PreviousSibling(TreeItem item) const {
    Flush();
    QTreeWidgetItem* widgetItem = ItemOf(item);
    if (QTreeWidgetItem* parent = widgetItem->parent()) {
        const int index = parent->indexOfChild(widgetItem);
        return index > 0 ? HandleOf(parent->child(index - 1)) : kNoItem;
    }
    const int index = m_widget->indexOfTopLevelItem(widgetItem);
    return index > 0 ? HandleOf(m_widget->topLevelItem(index - 1)) : kNoItem;
}

void QtTreeControl::Select(TreeItem item) {
    Flush();
    if (item == kNoItem) {
        m_widget->clearSelection();
    }
    m_widget->setCurrentItem(ItemOf(item));
}

TreeItem QtTreeControl::Selected() const {
    return HandleOf(m_widget->currentItem());
}

void QtTreeControl::Expand(TreeItem item) {
    ItemOf(item)->setExpanded(true);
}

void QtTreeControl::Collapse(TreeItem item) {
    ItemOf(item)->setExpanded(false);
}

bool QtTreeControl::IsExpanded(TreeItem item) const {
    return ItemOf(item)->isExpanded();
}

void QtTreeControl::SetVisible(bool visible) {
    m_hidden = !visible;
    if (visible) {
        Flush();
    }
    m_widget->setUpdatesEnabled(visible);
}

void QtTreeControl::OnCurrentItemChanged(QTreeWidgetItem* current) {
    SelectionChanged(HandleOf(current));
}

}  // namespace vantor
