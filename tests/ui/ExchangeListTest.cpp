// The exchange list over a document fed as capture feeds it: rows, live changes, filter, order.
#include "ui/ExchangeListView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "UserSettings.h"
#include "document/CSnifferDoc.h"
#include "options/Options.h"

namespace vantor {
namespace {

using test::Bytes;
using test::Header;
using Kind = ExchangeListPresenter::Change::Kind;

// Records what the table is told.
struct RecordingTable : ExchangeTable {
    void RowsInserted(std::size_t first, std::size_t count) override {
        calls.push_back("insert " + std::to_string(first) + "+" + std::to_string(count));
    }
    void RowsReset() override { calls.push_back("reset"); }
    void RowsChanged() override { calls.push_back("changed"); }
    std::vector<std::string> calls;
};

std::string Get(std::string_view path, std::string_view host = "example.test") {
    return "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
}

std::string Answer(int status, std::string_view type, std::string_view body = "") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

class ExchangeListTest : public testing::Test {
protected:
    ExchangeListTest() {
        document.AddView(&view);
        document.OnNewDocument();
        document.SendInitialUpdate();
        table.calls.clear();
    }
    void Send(std::uint32_t connection, const std::string& text, std::uint32_t previous = 0) {
        document.NewRequest(Header(1, previous, connection), Bytes(text));
    }
    void Receive(std::uint32_t connection, const std::string& text, std::uint32_t previous = 1) {
        document.NewResponse(Header(2, previous, connection), Bytes(text));
    }
    // The numbers of the shown rows, in order.
    std::vector<std::size_t> Shown() const {
        std::vector<std::size_t> numbers;
        for (std::size_t row = 0; row < view.presenter().shownCount(); ++row) {
            numbers.push_back(view.presenter().NumberAt(row));
        }
        return numbers;
    }
    // Four exchanges: a page, a missing image, a JSON answer, one still waiting.
    void FeedFour() {
        Send(1, Get("/index.html"));
        Receive(1, Answer(200, "text/html", "<p>hi</p>"));
        Send(2, Get("/logo.png", "cdn.test"));
        Receive(2, Answer(404, "text/html"));
        Send(3, Get("/api/items"));
        Receive(3, Answer(200, "application/json; charset=utf-8", "[1,2,3]"));
        Send(4, Get("/slow"));
        view.Flush();
        table.calls.clear();
    }

    test::ScopedDefaultOptions options;
    CSnifferDoc document;
    RecordingTable table;
    ExchangeListView view{table};
};

TEST_F(ExchangeListTest, AnExchangeIsOneRowThatGrowsWithItsResponse) {
    Send(1, Get("/a"));
    EXPECT_EQ(view.presenter().shownCount(), 0u) << "shown on Flush";
    EXPECT_EQ(view.Flush().kind, Kind::Inserted);
    EXPECT_EQ(table.calls, std::vector<std::string>({"insert 0+1"}));

    // An interim response, then the final one: still one row, which changed.
    Receive(1, "HTTP/1.1 100 Continue\r\n\r\n");
    Receive(1, Answer(200, "text/plain", "ok"), 2);
    const auto change = view.Flush();
    EXPECT_EQ(change.kind, Kind::None);
    EXPECT_TRUE(change.contentChanged);
    EXPECT_EQ(view.presenter().total(), 1u);
    const Exchange exchange = view.presenter().ExchangeAt(0);
    ASSERT_NE(exchange.response, nullptr);
    EXPECT_EQ(exchange.response->statusCode(), 200u);
    EXPECT_EQ(view.presenter().ShownRowOf(exchange.response), 0u);
    EXPECT_TRUE(view.presenter().ChangedInLastFlush(exchange.request));

    // A response without a request is a row of its own; the next flush with nothing new
    // changes nothing.
    Receive(7, Answer(500, "text/plain"), 0);
    EXPECT_EQ(view.Flush().count, 1u);
    EXPECT_EQ(view.presenter().total(), 2u);
    EXPECT_EQ(view.presenter().ExchangeAt(1).request, nullptr);
    EXPECT_EQ(view.Flush().kind, Kind::None);
    EXPECT_FALSE(view.presenter().ChangedInLastFlush(exchange.request));
}

TEST_F(ExchangeListTest, FilterAndOrderPickAndPlaceTheRows) {
    FeedFour();
    struct Case {
        std::string filter;
        ExchangeColumn column;
        bool descending;
        std::vector<std::size_t> shown;
    };
    const Case cases[] = {
        {"", ExchangeColumn::Number, false, {1, 2, 3, 4}},
        {"", ExchangeColumn::Number, true, {4, 3, 2, 1}},
        {"", ExchangeColumn::Status, true, {2, 1, 3, 4}},  // no status yet sorts lowest
        {"", ExchangeColumn::Path, false, {3, 1, 2, 4}},
        {"", ExchangeColumn::Host, false, {2, 1, 3, 4}},  // equal keys keep capture order
        {"status:2xx", ExchangeColumn::Number, false, {1, 3}},
        {"type:json | host:cdn", ExchangeColumn::Number, false, {2, 3}},
        {"-status:404 example", ExchangeColumn::Size, true, {3, 1, 4}},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(view.SetFilter(c.filter)) << c.filter;
        view.SortBy(c.column, c.descending);
        EXPECT_EQ(Shown(), c.shown) << c.filter << " by column " << static_cast<int>(c.column);
        for (std::size_t row = 0; row < c.shown.size(); ++row) {
            EXPECT_EQ(view.presenter().ShownRowOf(&view.presenter().ExchangeAt(row).first()), row);
        }
    }

    // A mistake keeps the filter that was.
    const auto error = view.SetFilter("status:4x5");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->at, 0u);
    EXPECT_EQ(Shown(), std::vector<std::size_t>({3, 1, 4}));

    // The Filter menu's tests apply with the bar's.
    EXPECT_FALSE(view.SetFilter(""));
    view.SortBy(ExchangeColumn::Number, false);
    Filter().m_bEnabled = true;
    Filter().rescode_client_error = 0;
    document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    EXPECT_EQ(Shown(), std::vector<std::size_t>({1, 3, 4}));
}

TEST_F(ExchangeListTest, LiveChangesMoveRowsInAndOutOfAFilteredSortedList) {
    FeedFour();
    EXPECT_FALSE(view.SetFilter("status:2xx"));
    view.SortBy(ExchangeColumn::Size, false);
    table.calls.clear();
    EXPECT_EQ(Shown(), std::vector<std::size_t>({1, 3}));
    // The waiting exchange gets a short answer: it joins the filtered list at its size's place.
    Receive(4, Answer(200, "text/plain"));
    EXPECT_EQ(view.Flush().kind, Kind::Reordered);
    EXPECT_EQ(table.calls, std::vector<std::string>({"reset"}));
    EXPECT_EQ(Shown(), std::vector<std::size_t>({4, 1, 3}));

    // In capture order, new rows that pass are added at the end; one that stops passing goes.
    view.SortBy(ExchangeColumn::Number, false);
    Send(5, Get("/new"));
    Receive(5, Answer(201, "text/plain"));
    const auto added = view.Flush();
    EXPECT_EQ(added.kind, Kind::Inserted);
    EXPECT_EQ(added.first, 3u);
    EXPECT_EQ(Shown(), std::vector<std::size_t>({1, 3, 4, 5}));
    Send(1, Get("/index.html?again"), 2);  // a second request on connection 1
    Receive(1, Answer(503, "text/plain"));
    view.Flush();
    EXPECT_EQ(Shown(), std::vector<std::size_t>({1, 3, 4, 5})) << "the new one fails";
    EXPECT_EQ(view.presenter().total(), 6u);

    // A document with other contents starts over.
    document.OnNewDocument();
    EXPECT_EQ(view.presenter().total(), 0u);
    EXPECT_EQ(table.calls.back(), "reset");
}

}  // namespace
}  // namespace vantor
