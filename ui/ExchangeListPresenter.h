#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "content/Exchange.h"
#include "document/ExchangeQuery.h"
#include "framework/FlatHandleMap.h"
#include "options/FilterOptions.h"

namespace vantor {

class CSnifferDoc;
class HTTPMessage;

// The columns of the exchange list, in their first order.
enum class ExchangeColumn : int {
    Number,
    Time,
    Process,
    Method,
    Host,
    Path,
    Status,
    Type,
    Size,
    Duration,
    Protocol,
    Tls,
};
inline constexpr int kExchangeColumnCount = 12;

std::string_view ExchangeColumnTitle(ExchangeColumn column);
// What a cell shows of an exchange (number counts from 1).
std::string ExchangeCellText(ExchangeColumn column, std::size_t number, const Exchange& exchange,
                             const ExchangeSummary& summary);
// Sizes as people read them: "512 B", "1.5 KB", "12 MB" (1024 multiples).
std::string ReadableSize(std::uint64_t bytes);
// "35 ms", "1.20 s".
std::string ReadableDuration(double milliseconds);

// The exchange list's picture of a document: one row per exchange, in the order their first
// messages were made, and the rows shown (those the query passes) in the order asked for.
// The document's hints are noted as they come and applied by Flush, a few times a second, so
// that a capture of thousands of messages a second costs the list one pass per flush over
// what changed. Finding a message's row and a row's place take constant time.
class ExchangeListPresenter {
public:
    // What Flush changed, for the table that shows the rows.
    struct Change {
        enum class Kind { None, Inserted, Reordered };
        Kind kind = Kind::None;
        std::size_t first = 0;  // Inserted: count new shown rows at first
        std::size_t count = 0;
        bool contentChanged = false;  // some shown row may show something else
    };

    // Forgets everything and takes the document's exchanges as they are.
    void Rebuild(const CSnifferDoc& document);
    // A hint of the document (UpdateHint), for Flush to apply.
    void Note(std::intptr_t hint, const HTTPMessage* message);
    Change Flush();

    // Shows only the exchanges query passes (all for an empty one).
    void SetQuery(ExchangeQuery query);
    const ExchangeQuery& query() const { return m_query; }
    // The Filter menu's tests, applied with the query while they are enabled: the request's
    // host, and the response's content class and status once its header came.
    void SetMenuFilter(const FilterOptions& options);
    void SortBy(ExchangeColumn column, bool descending);
    ExchangeColumn sortColumn() const { return m_sortColumn; }
    bool descending() const { return m_descending; }

    std::size_t total() const { return m_rows.size(); }
    // Whether some exchange's process is known.
    bool anyProcess() const { return m_anyProcess; }
    std::size_t shownCount() const { return m_shown.size(); }
    Exchange ExchangeAt(std::size_t shownRow) const;
    // The row's number in capture order, from 1.
    std::size_t NumberAt(std::size_t shownRow) const { return m_shown[shownRow] + 1; }
    // Where the exchange of message is shown, if it is.
    std::optional<std::size_t> ShownRowOf(const HTTPMessage* message) const;
    // Whether the last Flush applied a change of message's exchange (for the pane that shows
    // it).
    bool ChangedInLastFlush(const HTTPMessage* message) const;

private:
    static constexpr std::uint32_t kHidden = UINT32_MAX;
    struct Row {
        const HTTPMessage* first = nullptr;
        bool pending = false;  // noted since the last Flush
    };
    // The row of a message's exchange, or kHidden.
    std::uint32_t RowOf(const HTTPMessage* message) const;
    void AddRow(const HTTPMessage* first);
    bool Passes(std::uint32_t row) const;
    // Whether row a comes before row b in the order asked for.
    bool Before(std::uint32_t a, std::uint32_t b) const;
    // Shows the rows that pass, sorted.
    void Refilter();
    // Sorts m_shown anew and renumbers the positions.
    void Resort();
    void Renumber(std::size_t from);
    std::size_t InsertPlace(std::uint32_t row) const;

    std::vector<Row> m_rows;
    FlatHandleMap<const HTTPMessage*, std::uint32_t> m_rowOf;
    std::vector<std::uint32_t> m_shown;     // rows, in the order shown
    std::vector<std::uint32_t> m_position;  // per row: its place in m_shown, or kHidden
    std::vector<std::uint32_t> m_pending;   // rows noted since the last Flush
    std::vector<std::uint32_t> m_flushed;   // those the last Flush applied, in order
    ExchangeQuery m_query;
    FilterOptions m_menuFilter;
    ExchangeColumn m_sortColumn = ExchangeColumn::Number;
    bool m_anyProcess = false;
    bool m_descending = false;
};

}  // namespace vantor
