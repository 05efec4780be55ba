// The views in real Qt widgets, offscreen: building the tree of 100,000 messages, a search across
// all of them, showing a 1 MiB message, and capture into the views while the message being
// received is the one shown; the exchange list with 500,000 exchanges (capture adding them
// while the list follows, one flush per 2,000 as the window's timer does; a new filter; a new
// order; finding a message's row). Run by hand: build/default/bin/qt_views_bench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <QTreeView>
#include <cstdlib>
#include <memory>
#include <string>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "document/UpdateHint.h"
#include "http/HTTPMessage.h"
#include "options/Options.h"
#include "platform/HelpOpener.h"
#include "ui/CLeftView.h"
#include "ui/CSnifferView.h"
#include "ui/ExchangeListView.h"
#include "ui/MessageTextPresenter.h"
#include "ui/qt/ExchangeTableModel.h"
#include "ui/qt/QtRichEditControl.h"
#include "ui/qt/QtTreeControl.h"

namespace vantor {
namespace {

constexpr std::uint32_t kPairs = 50'000;  // 100,000 messages

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void DefaultOptions() {
    GlobalOptions() = Options{};
    Preferences().ParseContentTypes();
}

struct NoHelp : HelpOpener {
    void DisplayTopic(const std::string&) override {}
};

// A rich-edit control that counts how often the whole text was put in.
class CountingRichEdit : public QtRichEditControl {
public:
    using QtRichEditControl::QtRichEditControl;
    void SetText(std::string_view text) override {
        ++texts;
        QtRichEditControl::SetText(text);
    }
    int texts = 0;
};

// Both views on shown widgets, as in the window.
struct Views {
    Views()
        : treeControl(&treeView),
          textControl(&textEdit),
          left(treeControl),
          right(textControl, help, "", [] {}) {
        treeView.resize(400, 700);
        textEdit.resize(800, 700);
        treeView.show();
        textEdit.show();
        document.AddView(&left);
        document.AddView(&right);
        document.OnNewDocument();
        document.SendInitialUpdate();
    }
    ~Views() {
        document.RemoveView(&right);
        document.RemoveView(&left);
    }

    MessageTreeView treeView;
    MessageTextEdit textEdit;
    QtTreeControl treeControl;
    CountingRichEdit textControl;
    NoHelp help;
    CSnifferDoc document;
    CLeftView left;
    CSnifferView right;
};

CaptureRecord Header(std::uint32_t connection, Direction direction) {
    CaptureRecord header;
    header.connectionId = connection;
    header.direction = direction;
    header.peerAddress.address = {127, 0, 0, 1};
    header.peerAddress.port = {0x1F, 0x90};  // 8080
    return header;
}

std::string Request(std::uint32_t c) {
    return "GET /orders/" + std::to_string(c) +
           " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
           "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
           "Accept: text/html,application/xhtml+xml\r\n\r\n";
}

std::string Response(std::uint32_t c) {
    std::string body = "<html><body>";
    while (body.size() < 1500) {
        body += "<p>order " + std::to_string(c) + " line " + std::to_string(body.size()) + "</p>\n";
    }
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// 100,000 messages, captured before the views were there to see them.
void Fill(CSnifferDoc& document) {
    for (std::uint32_t c = 1; c <= kPairs; ++c) {
        document.NewRequest(Header(c, Direction::Sent), Bytes(Request(c)));
        document.NewResponse(Header(c, Direction::Received), Bytes(Response(c)));
    }
}

// Arg: the view order (0 by time, 1 by peer).
void BM_RebuildTree(benchmark::State& state) {
    DefaultOptions();
    Preferences().view_order = static_cast<std::int32_t>(state.range(0));
    Views views;
    views.document.RemoveView(&views.left);
    Fill(views.document);
    views.document.AddView(&views.left);
    for (auto _ : state) {
        views.document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
        QApplication::processEvents();  // and the first paint
    }
    if (views.treeControl.rowCount() != static_cast<int>(2 * kPairs)) {
        state.SkipWithError("not every message has its item");
    }
    state.SetItemsProcessed(state.iterations() * 2 * kPairs);
}
BENCHMARK(BM_RebuildTree)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Expand All and Collapse All over 100,000 messages.
void BM_ExpandAllCollapseAll(benchmark::State& state) {
    DefaultOptions();
    Views views;
    Fill(views.document);
    views.document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    QApplication::processEvents();
    for (auto _ : state) {
        views.left.ExpandAll();
        QApplication::processEvents();
        views.left.CollapseAll();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kPairs);
}
BENCHMARK(BM_ExpandAllCollapseAll)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg: 1 searches whole texts, 0 the headers alone (the bodies are not shown).
void BM_FindNextMessageWithoutMatch(benchmark::State& state) {
    DefaultOptions();
    Preferences().show_req_body = Preferences().show_res_body = state.range(0) != 0;
    Views views;
    Fill(views.document);
    views.document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    for (auto _ : state) {
        views.treeView.setCurrentIndex(views.treeControl.index(0, 0));
        if (views.left.FindNextMessage("no such words", true, false, false, true, true)) {
            state.SkipWithError("found what is not there");
        }
    }
    state.SetItemsProcessed(state.iterations() * 2 * kPairs);
}
BENCHMARK(BM_FindNextMessageWithoutMatch)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Shows a response with body, kept, again and again; at least shownAtLeast characters must be
// shown (lines past 1 MiB are cut for the view, with a notice).
void ShowResponse(benchmark::State& state, std::string_view contentType, const std::string& body,
                  std::size_t shownAtLeast) {
    DefaultOptions();
    Preferences().max_res_size = 8000;
    Views views;
    views.document.SetCaptureRules(CaptureRules::From(Preferences()));
    views.document.NewRequest(Header(1, Direction::Sent), Bytes(Request(1)));
    views.document.NewResponse(
        Header(1, Direction::Received),
        Bytes("HTTP/1.1 200 OK\r\nContent-Type: " + std::string(contentType) +
              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    HTTPMessage& message = *views.document.messages()[1];
    views.treeView.setCurrentIndex(views.treeControl.index(1, 0));
    for (auto _ : state) {
        ShowText(message, views.textControl, true);
        QApplication::processEvents();
    }
    if (views.textControl.TextLength() < shownAtLeast) {
        state.SkipWithError("the body is not shown");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(message.text().size()));
}

// A response with a 1 MiB text body of short lines.
void BM_ShowText1MiB(benchmark::State& state) {
    std::string body;
    while (body.size() < (1u << 20)) {
        body += "line " + std::to_string(body.size()) + " of a long plain text response\n";
    }
    body.resize(1u << 20);
    ShowResponse(state, "text/plain", body, body.size());
}
BENCHMARK(BM_ShowText1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A response whose body is one line of megabytes (minified JavaScript).
void BM_ShowTextOneLine(benchmark::State& state) {
    std::string body = "[";
    while (body.size() < static_cast<std::size_t>(state.range(0))) {
        body += "{\"id\":" + std::to_string(body.size()) +
                ",\"name\":\"item\",\"tags\":[\"a\",\"b\"]},";
    }
    body.resize(static_cast<std::size_t>(state.range(0)));
    ShowResponse(state, "application/x-javascript", body,
                 std::min<std::size_t>(body.size(), 1'000'000));
}
BENCHMARK(BM_ShowTextOneLine)
    ->Arg(1'000'000)
    ->Arg(4 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Records handed to the document as the capture thread hands them, with the window's event loop
// run after each one, as it is when records arrive from the capture thread.
class Capture {
public:
    explicit Capture(CSnifferDoc& document) : m_dispatch([&document] { return &document; }) {}

    void Send(std::uint32_t connection, Direction direction, Direction previous,
              std::span<const std::uint8_t> data) {
        CaptureRecord header = Header(connection, direction);
        header.previousDirection = previous;
        header.dataLength = static_cast<std::uint32_t>(data.size());
        m_dispatch.Dispatch(header, data);
        QApplication::processEvents();
        ++records;
    }
    void Pair(std::uint32_t connection, const std::string& request, const std::string& response) {
        Send(connection, Direction::Sent, Direction::None, Bytes(request));
        Send(connection, Direction::Received, Direction::Sent, Bytes(response));
    }

    std::int64_t records = 0;

private:
    CaptureDispatch m_dispatch;
};

// The length of a text in the text widget, where CR LF is one line break.
std::size_t ShownLength(std::string_view text) {
    std::size_t length = text.size();
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos;
         at = text.find("\r\n", at + 2)) {
        --length;
    }
    return length;
}

// Capture of 4,000 small pairs while a 2 MiB download arrives in 8 KiB records on a connection
// of its own, with that download the message shown. Arg: 0 redraws the shown message on every
// record, 1 through the text control's 150 ms timer, 2 is capture with another message shown.
void BM_CaptureWhileTheGrowingMessageIsShown(benchmark::State& state) {
    DefaultOptions();
    Preferences().max_res_size = 4096;
    constexpr std::uint32_t kSmallPairs = 4'000;
    constexpr std::size_t kDownload = 2u << 20;
    std::string chunk;  // 8 KiB of 64-byte lines
    while (chunk.size() < (8u << 10)) {
        chunk += "a line of a large plain text download, " + std::to_string(chunk.size() + 100000) +
                 " bytes in\n";
    }
    chunk.resize(8u << 10);
    const std::uint32_t downloadConnection = kSmallPairs + 1;
    std::vector<std::string> requests;
    std::vector<std::string> responses;
    for (std::uint32_t c = 1; c <= kSmallPairs; ++c) {
        requests.push_back(Request(c));
        responses.push_back(Response(c));
    }
    const std::string downloadHeader =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
        std::to_string(kDownload) + "\r\n\r\n";
    std::int64_t records = 0;
    int redraws = 0;
    double catchUpMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto views = std::make_unique<Views>();
        views->document.SetCaptureRules(CaptureRules::From(Preferences()));
        if (state.range(0) == 1) {
            views->right.SetRedrawScheduler(
                [&control = views->textControl](std::function<void()> redraw) {
                    control.ScheduleRedraw(std::move(redraw));
                });
        }
        Capture capture(views->document);
        state.ResumeTiming();

        capture.Pair(downloadConnection, Request(downloadConnection), downloadHeader);
        HTTPMessage* download = views->document.messages().back().get();
        views->treeControl.Flush();
        views->treeView.setCurrentIndex(views->treeControl.index(state.range(0) == 2 ? 0 : 1, 0));
        views->textControl.texts = 0;
        std::size_t received = 0;
        for (std::uint32_t c = 1; c <= kSmallPairs; ++c) {
            capture.Pair(c, requests[c - 1], responses[c - 1]);
            if (received < kDownload && c % 4 == 0) {
                capture.Send(downloadConnection, Direction::Received, Direction::Received,
                             Bytes(chunk));
                received += chunk.size();
            }
        }
        while (received < kDownload) {
            capture.Send(downloadConnection, Direction::Received, Direction::Received,
                         Bytes(chunk));
            received += chunk.size();
        }

        state.PauseTiming();
        // The text shown catches up with the message: the last redraw comes within the timer.
        QElapsedTimer waited;
        waited.start();
        const std::size_t whole = ShownLength(download->text());
        if (state.range(0) != 2) {
            while (views->textControl.TextLength() < whole && waited.elapsed() < 5000) {
                QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            }
            if (views->textControl.TextLength() != whole) {
                state.SkipWithError("the shown text never caught up with the message");
                break;
            }
        }
        catchUpMs = static_cast<double>(waited.elapsed());
        redraws = views->textControl.texts;
        records += capture.records;
        views.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(records);
    state.counters["redraws"] = redraws;
    state.counters["catch-up ms"] = catchUpMs;
}
BENCHMARK(BM_CaptureWhileTheGrowingMessageIsShown)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// Capture of 2,000 more pairs into a document of 100,000 messages shown in the tree: the cost of
// a record must not grow with the document. Arg: the view order (0 by time, 1 by peer, where
// each response goes in right after its request).
void BM_CaptureIntoALargeDocument(benchmark::State& state) {
    DefaultOptions();
    Preferences().view_order = static_cast<std::int32_t>(state.range(0));
    constexpr std::uint32_t kMorePairs = 2'000;
    std::vector<std::string> requests;
    std::vector<std::string> responses;
    for (std::uint32_t c = 0; c < kMorePairs; ++c) {
        requests.push_back(Request(kPairs + 1 + c));
        responses.push_back(Response(kPairs + 1 + c));
    }
    std::int64_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto views = std::make_unique<Views>();
        Fill(views->document);
        views->document.UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
        QApplication::processEvents();
        views->treeView.setCurrentIndex(views->treeControl.index(0, 0));
        Capture capture(views->document);
        state.ResumeTiming();
        // Two connections at a time, their requests first: by peer, each response then goes in
        // after a request that is no longer the last item.
        for (std::uint32_t c = 0; c + 1 < kMorePairs; c += 2) {
            const std::uint32_t id = kPairs + 1 + c;
            capture.Send(id, Direction::Sent, Direction::None, Bytes(requests[c]));
            capture.Send(id + 1, Direction::Sent, Direction::None, Bytes(requests[c + 1]));
            capture.Send(id, Direction::Received, Direction::Sent, Bytes(responses[c]));
            capture.Send(id + 1, Direction::Received, Direction::Sent, Bytes(responses[c + 1]));
        }
        state.PauseTiming();
        views->treeControl.Flush();
        if (views->treeControl.rowCount() != static_cast<int>(2 * (kPairs + kMorePairs))) {
            state.SkipWithError("not every message has its item");
            break;
        }
        records += capture.records;
        views.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(records);
}
BENCHMARK(BM_CaptureIntoALargeDocument)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

constexpr std::uint32_t kExchanges = 500'000;
constexpr std::uint32_t kPerFlush = 2'000;

// Exchanges of a few hosts, types and statuses, as a busy program makes them.
void Exchange(CSnifferDoc& document, std::uint32_t c) {
    static const char* const kHosts[] = {"api.example.test", "cdn.example.test", "auth.test"};
    static const char* const kTypes[] = {"application/json", "text/html", "image/png"};
    const std::string request = "GET /items/" + std::to_string(c) +
                                "?page=" + std::to_string(c % 7) +
                                " HTTP/1.1\r\nHost: " + kHosts[c % 3] + "\r\nAccept: */*\r\n\r\n";
    const int status = c % 50 == 0 ? 404 : c % 97 == 0 ? 503 : 200;
    const std::string body(60 + c % 200, 'x');
    const std::string response =
        "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + kTypes[c % 3] +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    CaptureRecord sent = Header(c, Direction::Sent);
    sent.time = {2026,
                 12,
                 3,
                 9,
                 10,
                 0,
                 static_cast<std::uint16_t>(c / 1000 % 60),
                 static_cast<std::uint16_t>(c % 1000)};
    CaptureRecord received = sent;
    received.direction = Direction::Received;
    document.NewRequest(sent, Bytes(request));
    document.NewResponse(received, Bytes(response));
}

// The exchange list on a shown table, as in the window.
struct List {
    List() : view(model) {
        model.SetView(&view);
        table.setModel(&model);
        table.resize(1000, 600);
        table.show();
        document.AddView(&view);
        document.OnNewDocument();
        document.SendInitialUpdate();
    }
    ~List() { document.RemoveView(&view); }

    CSnifferDoc document;
    ExchangeTableModel model;
    ExchangeListView view;
    QTableView table;
};

void FillList(List& list) {
    for (std::uint32_t c = 1; c <= kExchanges; ++c) {
        Exchange(list.document, c);
    }
    list.view.Flush();
    QApplication::processEvents();
}

// Capture of 500,000 exchanges into the list, which shows the newest as they come; the time
// per exchange, flushes and painting included.
void BM_ExchangeListFollowsCapture(benchmark::State& state) {
    GlobalOptions() = Options{};
    for (auto _ : state) {
        List list;
        for (std::uint32_t c = 1; c <= kExchanges; ++c) {
            Exchange(list.document, c);
            if (c % kPerFlush == 0) {
                list.view.Flush();
                list.table.scrollToBottom();
                QApplication::processEvents();
            }
        }
        if (list.model.rowCount() != static_cast<int>(kExchanges)) {
            state.SkipWithError("not every exchange has its row");
        }
    }
    state.SetItemsProcessed(state.iterations() * kExchanges);
}
BENCHMARK(BM_ExchangeListFollowsCapture)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// A filter typed over 500,000 exchanges, and cleared again: the time per change.
void BM_ExchangeListFilter(benchmark::State& state) {
    GlobalOptions() = Options{};
    List list;
    FillList(list);
    const char* const filters[] = {"status:4xx", "cdn type:html -page=3", "body:none"};
    const std::string filter = filters[state.range(0)];
    for (auto _ : state) {
        list.view.SetFilter(filter);
        QApplication::processEvents();
        list.view.SetFilter("");
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kExchanges);
}
BENCHMARK(BM_ExchangeListFilter)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Sorting 500,000 exchanges by a column, then back to capture order.
void BM_ExchangeListSort(benchmark::State& state) {
    GlobalOptions() = Options{};
    List list;
    FillList(list);
    const auto column = static_cast<ExchangeColumn>(state.range(0));
    for (auto _ : state) {
        list.view.SortBy(column, true);
        QApplication::processEvents();
        list.view.SortBy(ExchangeColumn::Number, false);
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kExchanges);
}
BENCHMARK(BM_ExchangeListSort)
    ->Arg(static_cast<int>(ExchangeColumn::Status))
    ->Arg(static_cast<int>(ExchangeColumn::Host))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Finding the row of a message and the exchange of a row, in a list sorted by size.
void BM_ExchangeListFindRow(benchmark::State& state) {
    GlobalOptions() = Options{};
    List list;
    FillList(list);
    list.view.SortBy(ExchangeColumn::Size, false);
    const auto& messages = list.document.messages();
    std::size_t i = 0;
    for (auto _ : state) {
        const HTTPMessage* message = messages[(i * 7919) % messages.size()].get();
        const auto row = list.view.presenter().ShownRowOf(message);
        benchmark::DoNotOptimize(list.view.presenter().ExchangeAt(*row));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExchangeListFindRow);

}  // namespace
}  // namespace vantor

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
