#include "ui/ExchangeListPresenter.h"

#include <algorithm>
#include <cstdio>

#include "content/MessageParts.h"
#include "document/CSnifferDoc.h"
#include "document/UpdateHint.h"
#include "platform/AsciiText.h"

namespace vantor {

namespace {

// Past this many rows to place at once, the shown rows are sorted anew.
constexpr std::size_t kMostPlacedOneByOne = 512;

bool IsNumeric(ExchangeColumn column) {
    switch (column) {
        case ExchangeColumn::Number:
        case ExchangeColumn::Time:
        case ExchangeColumn::Status:
        case ExchangeColumn::Size:
        case ExchangeColumn::Duration:
            return true;
        default:
            return false;
    }
}

// What a row sorts by in a column: a number, or a lower-cased text.
struct SortKey {
    double number = 0;
    std::string text;
};

SortKey KeyOf(ExchangeColumn column, std::uint32_t row, const Exchange& exchange) {
    SortKey key;
    if (column == ExchangeColumn::Number || column == ExchangeColumn::Time) {
        key.number = row;  // capture order
        return key;
    }
    const ExchangeSummary summary = Summarize(exchange);
    switch (column) {
        case ExchangeColumn::Status:
            key.number = summary.status ? *summary.status : -1.0;
            break;
        case ExchangeColumn::Size:
            key.number = static_cast<double>(summary.size);
            break;
        case ExchangeColumn::Duration:
            key.number = summary.milliseconds.value_or(-1.0);
            break;
        default:
            key.text = AsciiLower(ExchangeCellText(column, row + 1, exchange, summary));
            break;
    }
    return key;
}

bool KeyLess(ExchangeColumn column, const SortKey& a, const SortKey& b) {
    return IsNumeric(column) ? a.number < b.number : a.text < b.text;
}

}  // namespace

std::string_view ExchangeColumnTitle(ExchangeColumn column) {
    static constexpr std::string_view kTitles[kExchangeColumnCount] = {
        "#",      "Time", "Process", "Method",   "Host",     "Path",
        "Status", "Type", "Size",    "Duration", "Protocol", "TLS"};
    const int index = static_cast<int>(column);
    return index >= 0 && index < kExchangeColumnCount ? kTitles[index] : std::string_view();
}

std::string ReadableSize(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string ReadableDuration(double milliseconds) {
    char text[32];
    if (milliseconds < 1000) {
        std::snprintf(text, sizeof text, "%.0f ms", milliseconds);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", milliseconds / 1000.0);
    }
    return text;
}

std::string ExchangeCellText(ExchangeColumn column, std::size_t number, const Exchange& exchange,
                             const ExchangeSummary& summary) {
    switch (column) {
        case ExchangeColumn::Number:
            return std::to_string(number);
        case ExchangeColumn::Time: {
            const SystemTime& time = exchange.first().firstTime();
            return time.year == 0 ? std::string() : TimeOfDay(time);
        }
        case ExchangeColumn::Process:
            return summary.process.empty()
                       ? std::string()
                       : std::string(summary.process) + " (" + std::to_string(summary.pid) + ")";
        case ExchangeColumn::Method:
            return std::string(summary.method);
        case ExchangeColumn::Host:
            return summary.host;
        case ExchangeColumn::Path:
            return std::string(summary.target);
        case ExchangeColumn::Status:
            return summary.status ? std::to_string(*summary.status) : std::string();
        case ExchangeColumn::Type:
            return std::string(summary.mediaType);
        case ExchangeColumn::Size:
            return ReadableSize(summary.size);
        case ExchangeColumn::Duration:
            return summary.milliseconds && exchange.response != nullptr
                       ? ReadableDuration(*summary.milliseconds)
                       : std::string();
        case ExchangeColumn::Protocol:
            return summary.ProtocolText();
        case ExchangeColumn::Tls:
            return std::string(TlsTextName(summary.tls, exchange.first().fromFile()));
    }
    return {};
}

void ExchangeListPresenter::Rebuild(const CSnifferDoc& document) {
    m_rows.clear();
    m_anyProcess = false;
    m_rowOf.Clear();
    m_shown.clear();
    m_position.clear();
    m_pending.clear();
    m_flushed.clear();
    for (const auto& message : document.messages()) {
        if (message->kind() == MessageKind::Request ||
            static_cast<const HTTPResponse&>(*message).request() == nullptr) {
            AddRow(message.get());
            m_rows.back().pending = false;
            m_pending.clear();
        }
    }
    Refilter();
}

void ExchangeListPresenter::Refilter() {
    m_shown.clear();
    for (std::uint32_t row = 0; row < m_rows.size(); ++row) {
        if (Passes(row)) {
            m_shown.push_back(row);
        }
    }
    Resort();
}

void ExchangeListPresenter::AddRow(const HTTPMessage* first) {
    const auto row = static_cast<std::uint32_t>(m_rows.size());
    m_rows.push_back({first, true});
    m_anyProcess = m_anyProcess || first->process() != nullptr;
    m_position.push_back(kHidden);
    m_rowOf.Set(first, row);
    m_pending.push_back(row);
}

std::uint32_t ExchangeListPresenter::RowOf(const HTTPMessage* message) const {
    if (message == nullptr) {
        return kHidden;
    }
    const Exchange exchange = ExchangeOf(*message);
    const std::uint32_t* row = m_rowOf.Find(&exchange.first());
    return row == nullptr ? kHidden : *row;
}

void ExchangeListPresenter::Note(std::intptr_t hint, const HTTPMessage* message) {
    if (message == nullptr) {
        return;
    }
    if (hint == HINT_NEW_REQUEST) {
        AddRow(message);
        return;
    }
    if (hint == HINT_NEW_RESPONSE && message->kind() == MessageKind::Response &&
        static_cast<const HTTPResponse*>(message)->request() == nullptr) {
        AddRow(message);
        return;
    }
    if (hint != HINT_NEW_RESPONSE && hint != HINT_DATA && hint != HINT_CAPTION) {
        return;
    }
    const std::uint32_t row = RowOf(message);
    if (row != kHidden && !m_rows[row].pending) {
        m_rows[row].pending = true;
        m_pending.push_back(row);
    }
}

bool ExchangeListPresenter::Passes(std::uint32_t row) const {
    const Exchange exchange = ExchangeOf(*m_rows[row].first);
    if (m_menuFilter.m_bEnabled) {
        if (exchange.request != nullptr && !m_menuFilter.CheckHost(exchange.request->target())) {
            return false;
        }
        const HTTPResponse* response = exchange.response;
        if (response != nullptr && response->headerEnd() >= 0 &&
            !(m_menuFilter.CheckContentClass(static_cast<std::int32_t>(response->contentClass())) &&
              m_menuFilter.CheckResponseCode(response->statusCode()))) {
            return false;
        }
    }
    return m_query.empty() || ExchangeMatches(m_query, exchange, Summarize(exchange));
}

void ExchangeListPresenter::SetMenuFilter(const FilterOptions& options) {
    m_menuFilter = options;
}

bool ExchangeListPresenter::Before(std::uint32_t a, std::uint32_t b) const {
    if (m_sortColumn == ExchangeColumn::Number || m_sortColumn == ExchangeColumn::Time) {
        return m_descending ? a > b : a < b;
    }
    const SortKey keyA = KeyOf(m_sortColumn, a, ExchangeOf(*m_rows[a].first));
    const SortKey keyB = KeyOf(m_sortColumn, b, ExchangeOf(*m_rows[b].first));
    if (KeyLess(m_sortColumn, keyA, keyB)) {
        return !m_descending;
    }
    if (KeyLess(m_sortColumn, keyB, keyA)) {
        return m_descending;
    }
    return a < b;  // equal keys keep capture order
}

void ExchangeListPresenter::Resort() {
    if (m_sortColumn == ExchangeColumn::Number || m_sortColumn == ExchangeColumn::Time) {
        std::sort(m_shown.begin(), m_shown.end());
        if (m_descending) {
            std::reverse(m_shown.begin(), m_shown.end());
        }
    } else {
        // Each key once, not once per comparison.
        std::vector<std::pair<SortKey, std::uint32_t>> keyed;
        keyed.reserve(m_shown.size());
        for (const std::uint32_t row : m_shown) {
            keyed.emplace_back(KeyOf(m_sortColumn, row, ExchangeOf(*m_rows[row].first)), row);
        }
        const ExchangeColumn column = m_sortColumn;
        const bool descending = m_descending;
        std::sort(keyed.begin(), keyed.end(), [column, descending](const auto& a, const auto& b) {
            if (KeyLess(column, a.first, b.first)) {
                return !descending;
            }
            if (KeyLess(column, b.first, a.first)) {
                return descending;
            }
            return a.second < b.second;
        });
        for (std::size_t i = 0; i < keyed.size(); ++i) {
            m_shown[i] = keyed[i].second;
        }
    }
    std::fill(m_position.begin(), m_position.end(), kHidden);
    Renumber(0);
}

void ExchangeListPresenter::Renumber(std::size_t from) {
    for (std::size_t place = from; place < m_shown.size(); ++place) {
        m_position[m_shown[place]] = static_cast<std::uint32_t>(place);
    }
}

std::size_t ExchangeListPresenter::InsertPlace(std::uint32_t row) const {
    const auto place =
        std::partition_point(m_shown.begin(), m_shown.end(),
                             [this, row](std::uint32_t other) { return Before(other, row); });
    return static_cast<std::size_t>(place - m_shown.begin());
}

ExchangeListPresenter::Change ExchangeListPresenter::Flush() {
    Change change;
    m_flushed.clear();
    if (m_pending.empty()) {
        return change;
    }
    std::sort(m_pending.begin(), m_pending.end());
    m_flushed.swap(m_pending);
    const bool natural =
        m_sortColumn == ExchangeColumn::Number || m_sortColumn == ExchangeColumn::Time;
    std::vector<std::uint32_t> incoming;
    bool removed = false;
    for (const std::uint32_t row : m_flushed) {
        m_rows[row].pending = false;
        const bool was = m_position[row] != kHidden;
        const bool now = Passes(row);
        if (was && now && natural) {
            change.contentChanged = true;
            continue;
        }
        if (was) {
            removed = true;
            m_position[row] = kHidden - 1;  // marked to go
        }
        if (now) {
            incoming.push_back(row);
        }
    }
    if (!removed && incoming.empty()) {
        return change;
    }
    // New rows after every shown one, in capture order: added at the end (or the start).
    const std::size_t before = m_shown.size();
    if (natural && !removed &&
        (m_shown.empty() || incoming.front() > (m_descending ? m_shown.front() : m_shown.back()))) {
        if (m_descending) {
            m_shown.insert(m_shown.begin(), incoming.rbegin(), incoming.rend());
            Renumber(0);
            change.first = 0;
        } else {
            m_shown.insert(m_shown.end(), incoming.begin(), incoming.end());
            Renumber(before);
            change.first = before;
        }
        change.kind = Change::Kind::Inserted;
        change.count = incoming.size();
        return change;
    }
    const std::vector<std::uint32_t> old = m_shown;
    if (removed) {
        std::erase_if(m_shown,
                      [this](std::uint32_t row) { return m_position[row] == kHidden - 1; });
        for (const std::uint32_t row : m_flushed) {
            if (m_position[row] == kHidden - 1) {
                m_position[row] = kHidden;
            }
        }
    }
    if (incoming.size() > kMostPlacedOneByOne) {
        m_shown.insert(m_shown.end(), incoming.begin(), incoming.end());
        Resort();
    } else {
        for (const std::uint32_t row : incoming) {
            m_shown.insert(m_shown.begin() + static_cast<std::ptrdiff_t>(InsertPlace(row)), row);
        }
        Renumber(0);
    }
    if (m_shown == old) {
        change.contentChanged = true;  // rows that changed stayed where they were
        return change;
    }
    change.kind = Change::Kind::Reordered;
    return change;
}

void ExchangeListPresenter::SetQuery(ExchangeQuery query) {
    m_query = std::move(query);
    Refilter();
}

void ExchangeListPresenter::SortBy(ExchangeColumn column, bool descending) {
    m_sortColumn = column;
    m_descending = descending;
    Resort();
}

Exchange ExchangeListPresenter::ExchangeAt(std::size_t shownRow) const {
    return ExchangeOf(*m_rows[m_shown[shownRow]].first);
}

std::optional<std::size_t> ExchangeListPresenter::ShownRowOf(const HTTPMessage* message) const {
    const std::uint32_t row = RowOf(message);
    if (row == kHidden || m_position[row] >= kHidden - 1) {
        return std::nullopt;
    }
    return m_position[row];
}

bool ExchangeListPresenter::ChangedInLastFlush(const HTTPMessage* message) const {
    const std::uint32_t row = RowOf(message);
    return row != kHidden && std::binary_search(m_flushed.begin(), m_flushed.end(), row);
}

}  // namespace vantor
