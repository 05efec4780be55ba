#include "ui/ExchangeListView.h"

#include <variant>

#include "document/CSnifferDoc.h"
#include "options/Options.h"

namespace vantor {

CSnifferDoc* ExchangeListView::document() const {
    return dynamic_cast<CSnifferDoc*>(GetDocument());
}

void ExchangeListView::OnInitialUpdate() {
    if (const CSnifferDoc* doc = document()) {
        m_presenter.SetMenuFilter(Filter());
        m_presenter.Rebuild(*doc);
        m_table.RowsReset();
    }
}

void ExchangeListView::OnUpdate(CView* /*sender*/, std::intptr_t hint, CObject* object) {
    if (hint == HINT_REBUILD) {
        OnInitialUpdate();
        return;
    }
    m_presenter.Note(hint, HTTPMessage::Of(object));
}

ExchangeListPresenter::Change ExchangeListView::Flush() {
    const ExchangeListPresenter::Change change = m_presenter.Flush();
    switch (change.kind) {
        case ExchangeListPresenter::Change::Kind::Inserted:
            m_table.RowsInserted(change.first, change.count);
            if (change.contentChanged) {
                m_table.RowsChanged();
            }
            break;
        case ExchangeListPresenter::Change::Kind::Reordered:
            m_table.RowsReset();
            break;
        case ExchangeListPresenter::Change::Kind::None:
            if (change.contentChanged) {
                m_table.RowsChanged();
            }
            break;
    }
    return change;
}

std::optional<ExchangeQuery::Error> ExchangeListView::SetFilter(std::string_view text) {
    auto parsed = ExchangeQuery::Parse(text);
    if (auto* error = std::get_if<ExchangeQuery::Error>(&parsed)) {
        return *error;
    }
    // What was noted is applied first: the new filter then starts from every row as it is.
    Flush();
    m_presenter.SetQuery(std::get<ExchangeQuery>(std::move(parsed)));
    m_table.RowsReset();
    return std::nullopt;
}

void ExchangeListView::SortBy(ExchangeColumn column, bool descending) {
    Flush();
    m_presenter.SortBy(column, descending);
    m_table.RowsReset();
}

}  // namespace vantor
