#include "ui/qt/ExchangeTableModel.h"

#include <QBrush>
#include <QColor>

#include "http/HTTPResponse.h"

namespace vantor {

namespace {

bool RightAligned(ExchangeColumn column) {
    return column == ExchangeColumn::Number || column == ExchangeColumn::Size ||
           column == ExchangeColumn::Duration || column == ExchangeColumn::Status;
}

}  // namespace

int ExchangeTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || m_view == nullptr) {
        return 0;
    }
    return static_cast<int>(m_view->presenter().shownCount());
}

int ExchangeTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kExchangeColumnCount;
}

QVariant ExchangeTableModel::data(const QModelIndex& index, int role) const {
    if (m_view == nullptr || !index.isValid() ||
        static_cast<std::size_t>(index.row()) >= m_view->presenter().shownCount()) {
        return {};
    }
    const auto column = static_cast<ExchangeColumn>(index.column());
    const auto row = static_cast<std::size_t>(index.row());
    const ExchangeListPresenter& presenter = m_view->presenter();
    switch (role) {
        case Qt::DisplayRole: {
            const Exchange exchange = presenter.ExchangeAt(row);
            return QString::fromStdString(
                ExchangeCellText(column, presenter.NumberAt(row), exchange, Summarize(exchange)));
        }
        case Qt::ToolTipRole: {
            const Exchange exchange = presenter.ExchangeAt(row);
            const ExchangeSummary summary = Summarize(exchange);
            if (column == ExchangeColumn::Status && summary.status) {
                return QString::fromStdString(std::to_string(*summary.status) + " " +
                                              std::string(summary.reason));
            }
            if (column == ExchangeColumn::Path || column == ExchangeColumn::Host) {
                return QString::fromStdString(summary.Url());
            }
            return {};
        }
        case Qt::TextAlignmentRole:
            return RightAligned(column) ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                        : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
        case Qt::ForegroundRole: {
            const Exchange exchange = presenter.ExchangeAt(row);
            if (exchange.response == nullptr || exchange.response->headerEnd() < 0) {
                return QBrush(QColor(0x80, 0x80, 0x80));  // waiting for its answer
            }
            const std::uint32_t status = exchange.response->statusCode();
            if (status >= 500) {
                return QBrush(QColor(0xb0, 0x00, 0x20));
            }
            if (status >= 400) {
                return QBrush(QColor(0xc0, 0x50, 0x00));
            }
            return {};
        }
        default:
            return {};
    }
}

QVariant ExchangeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kExchangeColumnCount) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString::fromStdString(
            std::string(ExchangeColumnTitle(static_cast<ExchangeColumn>(section))));
    }
    if (role == Qt::TextAlignmentRole) {
        return RightAligned(static_cast<ExchangeColumn>(section))
                   ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                   : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

void ExchangeTableModel::sort(int column, Qt::SortOrder order) {
    if (m_view == nullptr || column < 0 || column >= kExchangeColumnCount) {
        return;
    }
    Q_EMIT layoutAboutToBeChanged();
    // Rows selected keep their selection through the new order: the persistent indexes move
    // with their exchanges.
    const QModelIndexList before = persistentIndexList();
    std::vector<const HTTPMessage*> held;
    held.reserve(static_cast<std::size_t>(before.size()));
    const ExchangeListPresenter& presenter = m_view->presenter();
    for (const QModelIndex& index : before) {
        held.push_back(&presenter.ExchangeAt(static_cast<std::size_t>(index.row())).first());
    }
    m_view->presenter().SortBy(static_cast<ExchangeColumn>(column), order == Qt::DescendingOrder);
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const auto row = presenter.ShownRowOf(held[static_cast<std::size_t>(i)]);
        after.push_back(row ? index(static_cast<int>(*row), before[i].column()) : QModelIndex());
    }
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged();
}

void ExchangeTableModel::RowsInserted(std::size_t first, std::size_t count) {
    beginInsertRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
    endInsertRows();
}

void ExchangeTableModel::RowsReset() {
    beginResetModel();
    endResetModel();
}

void ExchangeTableModel::RowsChanged() {
    const int rows = rowCount();
    if (rows > 0) {
        Q_EMIT dataChanged(index(0, 0), index(rows - 1, kExchangeColumnCount - 1),
                           {Qt::DisplayRole, Qt::ForegroundRole, Qt::ToolTipRole});
    }
}

}  // namespace vantor
