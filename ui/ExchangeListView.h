#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "document/ExchangeQuery.h"
#include "framework/CView.h"
#include "ui/ExchangeListPresenter.h"

namespace vantor {

class CSnifferDoc;

// What shows the exchange list's rows: told when they change, it reads them from the presenter.
class ExchangeTable {
public:
    virtual ~ExchangeTable() = default;
    // count shown rows were inserted at first.
    virtual void RowsInserted(std::size_t first, std::size_t count) = 0;
    // Any other change of the shown rows: their number, order or all of them.
    virtual void RowsReset() = 0;
    // The shown rows stay, some of them show something new.
    virtual void RowsChanged() = 0;
};

// The exchange list: one row per exchange, filtered by the query of the filter bar, sorted by
// a column. It notes every hint of the document and brings the table up to date on Flush (a
// window's timer), so that a busy capture costs the list a pass over what changed a few times a
// second, not a redraw per record.
class ExchangeListView : public CView {
public:
    explicit ExchangeListView(ExchangeTable& table) : m_table(table) {}

    ExchangeListPresenter& presenter() { return m_presenter; }
    const ExchangeListPresenter& presenter() const { return m_presenter; }
    CSnifferDoc* document() const;

    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;
    // Applies what was noted; whether the shown rows changed.
    ExchangeListPresenter::Change Flush();

    // Filters by text (the query language); a mistake keeps the filter that was and is
    // returned.
    std::optional<ExchangeQuery::Error> SetFilter(std::string_view text);
    void SortBy(ExchangeColumn column, bool descending);

private:
    ExchangeTable& m_table;
    ExchangeListPresenter m_presenter;
};

}  // namespace vantor
