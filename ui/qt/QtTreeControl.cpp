#include "ui/qt/QtTreeControl.h"

#include <QElapsedTimer>

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QTreeView>
#include <algorithm>
#include <memory>

#include "ui/qt/ClearScrollBars.h"
#include "ui/qt/QtText.h"
#include "ui/qt/TreeImages.h"

namespace vantor {

struct QtTreeControl::Node {
    QString text;
    int image = 0;
    Node* parent = nullptr;
    Nodes children;
    // The row the node was last seen in; checked before it is trusted.
    mutable int row = 0;
    Place place = Place::InView;
};

namespace {

// The row of node among count siblings (at(i) gives the one in row i), or -1. The search goes
// outward from the row the node remembers, so a node with a few rows inserted or taken out
// before it since it was last seen is found in a few steps.
template <typename NodeT, typename At>
int Locate(const NodeT* node, int count, At at) {
    if (count <= 0) {
        return -1;
    }
    const int hint = std::clamp(node->row, 0, count - 1);
    for (int distance = 0; hint - distance >= 0 || hint + distance < count; ++distance) {
        if (hint + distance < count && at(hint + distance) == node) {
            return node->row = hint + distance;
        }
        if (distance > 0 && hint - distance >= 0 && at(hint - distance) == node) {
            return node->row = hint - distance;
        }
    }
    return -1;
}

// The application's style, but for the tree's branches, which are drawn by the classic style
// with its dotted lines and plus and minus boxes: the usual styles draw no lines at all.
class TreeLinesStyle : public QProxyStyle {
public:
    TreeLinesStyle() : m_lines(QStyleFactory::create("Windows")) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_IndicatorBranch && m_lines != nullptr) {
            m_lines->drawPrimitive(element, option, painter, widget);
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

private:
    std::unique_ptr<QStyle> m_lines;
};

}  // namespace

MessageTreeView::MessageTreeView(QWidget* parent) : QTreeView(parent) {
    auto* style = new TreeLinesStyle;
    style->setParent(this);
    setStyle(style);
    // Captions are never elided: the column grows to the widest one, and fills the pane
    // while they are all narrower.
    setTextElideMode(Qt::ElideNone);
    header()->setStretchLastSection(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    UseClearScrollBars(this);
    MeasureAscii();
}

void MessageTreeView::MeasureAscii() {
    const QFontMetrics metrics(font());
    int widest = 0;
    for (char16_t code = 32; code < 127; ++code) {
        m_asciiAdvance[code] = metrics.horizontalAdvance(QChar(code));
        widest = std::max(widest, m_asciiAdvance[code]);
    }
    // Control characters are drawn as something; take the widest to be safe.
    for (char16_t code = 0; code < 32; ++code) {
        m_asciiAdvance[code] = widest;
    }
    m_asciiAdvance[127] = widest;
    m_widestAscii = widest;
}

int MessageTreeView::TextWidth(const QString& text) const {
    int width = 0;
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code >= m_asciiAdvance.size()) {
            return QFontMetrics(font()).horizontalAdvance(text);
        }
        width += m_asciiAdvance[code];
    }
    return width;
}

void MessageTreeView::FitText(const QString& text, int depth) {
    if (m_frameMargin < 0) {  // asked of the style once: through a style sheet it costs
        m_frameMargin = 4 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 8;
    }
    const int levels = depth + (rootIsDecorated() ? 1 : 0);
    const int fixed = levels * indentation() + iconSize().width() + m_frameMargin;
    // Most texts are too short to be the widest, whatever their characters.
    if (fixed + static_cast<int>(text.size()) * m_widestAscii <= m_widthNeeded) {
        return;
    }
    const int needed = fixed + TextWidth(text);
    if (needed > m_widthNeeded) {
        m_widthNeeded = needed;
        header()->setMinimumSectionSize(needed);
    }
}

void MessageTreeView::changeEvent(QEvent* event) {
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        MeasureAscii();
    } else if (event->type() == QEvent::StyleChange) {
        m_frameMargin = -1;
    }
}

void MessageTreeView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy) {
        event->ignore();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void MessageTreeView::ResetWidth() {
    m_widthNeeded = 0;
    header()->setMinimumSectionSize(0);
}

QtTreeControl::QtTreeControl(MessageTreeView* view, QObject* parent)
    : QAbstractItemModel(parent), m_view(view), m_icons(TreeImages::Icons()) {
    m_batchTimer.setSingleShot(true);
    m_batchTimer.setInterval(kBatchMilliseconds);
    connect(&m_batchTimer, &QTimer::timeout, this, [this] {
        if (!m_hidden) {
            QElapsedTimer cost;
            cost.start();
            Flush();
            m_view->LayOutNow();
            m_batchTimer.setInterval(static_cast<int>(std::clamp<qint64>(
                kFlushCostFactor * cost.elapsed(), kBatchMilliseconds, kLongestBatchMilliseconds)));
        }
    });
    m_view->setModel(this);
    m_view->setHeaderHidden(true);
    m_view->setRootIsDecorated(true);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setUniformRowHeights(true);
    m_view->setIconSize(QSize(TreeImages::kWidth, TreeImages::kHeight));
    // Only a real selection shows a message: the view also moves its current item by itself
    // (to the first item when it gains the focus) without selecting it.
    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { SelectionChanged(Selected()); });
}

QtTreeControl::~QtTreeControl() {
    if (m_view != nullptr) {
        m_view->setModel(nullptr);
    }
}

QtTreeControl::Node* QtTreeControl::NodeOf(TreeItem item) {
    return reinterpret_cast<Node*>(item);
}

TreeItem QtTreeControl::HandleOf(const Node* node) {
    return reinterpret_cast<TreeItem>(node);
}

TreeItem QtTreeControl::ItemAt(const QModelIndex& index) const {
    return index.isValid() && index.model() == this
               ? HandleOf(static_cast<const Node*>(index.internalPointer()))
               : kNoItem;
}

QModelIndex QtTreeControl::IndexOf(TreeItem item) const {
    const Node* node = NodeOf(item);
    if (node == nullptr || !InView(node)) {
        return {};
    }
    const int row = RowOf(node);
    return row < 0 ? QModelIndex() : createIndex(row, 0, const_cast<Node*>(node));
}

bool QtTreeControl::InView(const Node* node) const {
    while (node->parent != nullptr) {
        node = node->parent;
    }
    return node->place == Place::InView;
}

const QtTreeControl::Nodes& QtTreeControl::SiblingsOf(const Node* node) const {
    if (node->parent != nullptr) {
        return node->parent->children;
    }
    return node->place == Place::Appended ? m_appended : m_topLevel;
}

int QtTreeControl::RowOf(const Node* node) const {
    if (node->parent == nullptr && node->place == Place::InsertedAfter) {
        return -1;  // not in a list of its own yet
    }
    const Nodes& siblings = SiblingsOf(node);
    return Locate(node, static_cast<int>(siblings.size()),
                  [&siblings](int i) { return siblings[static_cast<std::size_t>(i)].get(); });
}

void QtTreeControl::ScheduleFlush() {
    if (!m_hidden && !m_batchTimer.isActive()) {
        m_batchTimer.start();
    }
}

void QtTreeControl::Flush() const {
    auto* self = const_cast<QtTreeControl*>(this);
    m_batchTimer.stop();
    // Those to go in after a node of the view first, in the order they came: one that is to
    // follow another such node finds it in place.
    for (auto& [after, node] : m_insertedAfter) {
        const int row = RowOf(after) + 1;
        node->place = Place::InView;
        node->row = row;
        self->beginInsertRows({}, row, row);
        m_topLevel.insert(m_topLevel.begin() + row, std::move(node));
        self->endInsertRows();
    }
    m_insertedAfter.clear();
    if (!m_appended.empty()) {
        const auto first = static_cast<int>(m_topLevel.size());
        self->beginInsertRows({}, first, first + static_cast<int>(m_appended.size()) - 1);
        for (auto& node : m_appended) {
            node->place = Place::InView;
            node->row = static_cast<int>(m_topLevel.size());
            m_topLevel.push_back(std::move(node));
        }
        m_appended.clear();
        self->endInsertRows();
    }
}

TreeItem QtTreeControl::InsertItem(TreeItem parent, TreeItem after, std::string_view text,
                                   int image) {
    auto node = std::make_unique<Node>();
    node->text = ToQString(text);
    node->image = image;
    m_view->FitText(node->text, parent == kNoItem ? 0 : 1);
    Node* const created = node.get();
    if (parent != kNoItem) {
        Node* owner = NodeOf(parent);
        const int row = after == kInsertLast             ? static_cast<int>(owner->children.size())
                        : after == kInsertFirst          ? 0
                        : NodeOf(after)->parent == owner ? RowOf(NodeOf(after)) + 1
                                                         : 0;  // not a sibling: first
        node->parent = owner;
        node->row = row;
        const bool shown = InView(owner);
        if (shown) {
            beginInsertRows(IndexOf(parent), row, row);
        }
        owner->children.insert(owner->children.begin() + row, std::move(node));
        if (shown) {
            endInsertRows();
        }
        return HandleOf(created);
    }
    Node* const previous = after == kInsertLast || after == kInsertFirst ? nullptr : NodeOf(after);
    if (after == kInsertLast || (previous != nullptr && previous->place == Place::Appended)) {
        const int row =
            previous == nullptr ? static_cast<int>(m_appended.size()) : RowOf(previous) + 1;
        node->place = Place::Appended;
        node->row = row;
        m_appended.insert(m_appended.begin() + row, std::move(node));
    } else if (previous != nullptr && previous->parent == nullptr) {
        node->place = Place::InsertedAfter;
        m_insertedAfter.emplace_back(previous, std::move(node));
    } else {
        // First, or after an item that is no sibling: first.
        Flush();
        beginInsertRows({}, 0, 0);
        m_topLevel.insert(m_topLevel.begin(), std::move(node));
        endInsertRows();
        return HandleOf(created);
    }
    ScheduleFlush();
    return HandleOf(created);
}

void QtTreeControl::SetItem(TreeItem item, std::string_view text, int image) {
    Node* node = NodeOf(item);
    node->text = ToQString(text);
    node->image = image;
    m_view->FitText(node->text, node->parent == nullptr ? 0 : 1);
    if (const QModelIndex index = IndexOf(item); index.isValid()) {
        Q_EMIT dataChanged(index, index, {Qt::DisplayRole, Qt::DecorationRole});
    }
}

std::string QtTreeControl::ItemText(TreeItem item) const {
    return NodeOf(item)->text.toStdString();
}

int QtTreeControl::ItemImage(TreeItem item) const {
    return NodeOf(item)->image;
}

void QtTreeControl::DeleteItem(TreeItem item) {
    Node* node = NodeOf(item);
    if (!m_insertedAfter.empty()) {
        Flush();  // the item may be one that others are to follow
    }
    const int row = RowOf(node);
    if (row < 0) {
        return;
    }
    Node* parentNode = node->parent;
    const bool shown = InView(node);
    Nodes& siblings = const_cast<Nodes&>(SiblingsOf(node));
    if (shown) {
        beginRemoveRows(parentNode != nullptr ? IndexOf(HandleOf(parentNode)) : QModelIndex(), row,
                        row);
    }
    siblings.erase(siblings.begin() + row);
    if (shown) {
        endRemoveRows();
    }
}

void QtTreeControl::DeleteAllItems() {
    m_batchTimer.stop();
    m_view->ResetWidth();
    beginResetModel();
    m_topLevel.clear();
    m_appended.clear();
    m_insertedAfter.clear();
    endResetModel();
}

TreeItem QtTreeControl::Parent(TreeItem item) const {
    return HandleOf(NodeOf(item)->parent);
}

TreeItem QtTreeControl::FirstChild(TreeItem parent) const {
    if (parent == kNoItem) {
        Flush();
        if (m_topLevel.empty()) {
            return kNoItem;
        }
        m_topLevel.front()->row = 0;
        return HandleOf(m_topLevel.front().get());
    }
    const Nodes& children = NodeOf(parent)->children;
    return children.empty() ? kNoItem : HandleOf(children.front().get());
}

TreeItem QtTreeControl::NextSibling(TreeItem item) const {
    Flush();
    const Node* node = NodeOf(item);
    const int row = RowOf(node);
    const Nodes& siblings = SiblingsOf(node);
    if (row < 0 || static_cast<std::size_t>(row) + 1 >= siblings.size()) {
        return kNoItem;
    }
    const Node* next = siblings[static_cast<std::size_t>(row) + 1].get();
    next->row = row + 1;
    // A walk through the tree goes on: fetch the nodes ahead while this one is looked at.
    if (static_cast<std::size_t>(row) + 4 < siblings.size()) {
        __builtin_prefetch(siblings[static_cast<std::size_t>(row) + 4].get(), 1);
    }
    return HandleOf(next);
}

TreeItem QtTreeControl::PreviousSibling(TreeItem item) const {
    Flush();
    const Node* node = NodeOf(item);
    const int row = RowOf(node);
    if (row <= 0) {
        return kNoItem;
    }
    const Node* previous = SiblingsOf(node)[static_cast<std::size_t>(row) - 1].get();
    previous->row = row - 1;
    return HandleOf(previous);
}

void QtTreeControl::Select(TreeItem item) {
    Flush();
    if (item == kNoItem) {
        m_view->selectionModel()->clear();
        return;
    }
    const QModelIndex index = IndexOf(item);
    m_view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    m_view->scrollTo(index);
}

TreeItem QtTreeControl::Selected() const {
    const QModelIndexList selected = m_view->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? kNoItem : ItemAt(selected.front());
}

void QtTreeControl::Expand(TreeItem item) {
    Flush();
    m_view->expand(IndexOf(item));
}

void QtTreeControl::Collapse(TreeItem item) {
    Flush();
    m_view->collapse(IndexOf(item));
}

bool QtTreeControl::IsExpanded(TreeItem item) const {
    Flush();
    return m_view->isExpanded(IndexOf(item));
}

void QtTreeControl::SetVisible(bool visible) {
    m_hidden = !visible;
    if (visible) {
        Flush();
    } else {
        m_view->DeferLayout();
    }
    m_view->setUpdatesEnabled(visible);
}

QModelIndex QtTreeControl::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) {
        return {};
    }
    const Nodes& nodes = parent.isValid()
                             ? static_cast<const Node*>(parent.internalPointer())->children
                             : m_topLevel;
    if (static_cast<std::size_t>(row) >= nodes.size()) {
        return {};
    }
    Node* node = nodes[static_cast<std::size_t>(row)].get();
    node->row = row;
    return createIndex(row, 0, node);
}

QModelIndex QtTreeControl::parent(const QModelIndex& child) const {
    const auto* node = static_cast<const Node*>(child.internalPointer());
    if (!child.isValid() || node->parent == nullptr) {
        return {};
    }
    return createIndex(RowOf(node->parent), 0, node->parent);
}

int QtTreeControl::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(m_topLevel.size());
    }
    if (parent.column() != 0) {
        return 0;
    }
    return static_cast<int>(static_cast<const Node*>(parent.internalPointer())->children.size());
}

int QtTreeControl::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant QtTreeControl::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const auto* node = static_cast<const Node*>(index.internalPointer());
    if (role == Qt::DisplayRole) {
        return node->text;
    }
    if (role == Qt::DecorationRole && node->image >= 0 &&
        static_cast<std::size_t>(node->image) < m_icons.size()) {
        return m_icons[static_cast<std::size_t>(node->image)];
    }
    return {};
}

Qt::ItemFlags QtTreeControl::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

}  // namespace vantor
