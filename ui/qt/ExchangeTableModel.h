#pragma once

#include <QAbstractTableModel>

#include "ui/ExchangeListView.h"

namespace vantor {

// The exchange list's rows as a Qt table: it reads every cell from the presenter when asked
// (only the rows on screen are), and passes sorting on to the view.
class ExchangeTableModel : public QAbstractTableModel, public ExchangeTable {
    Q_OBJECT

public:
    explicit ExchangeTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    // The view whose presenter holds the rows; set once, before the view is used.
    void SetView(ExchangeListView* view) { m_view = view; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    void RowsInserted(std::size_t first, std::size_t count) override;
    void RowsReset() override;
    void RowsChanged() override;

private:
    ExchangeListView* m_view = nullptr;
};

}  // namespace vantor
