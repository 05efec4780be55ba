#include "app/qt/ExchangeListPanel.h"

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "content/BodyDecoder.h"
#include "content/MessageParts.h"
#include "document/CSnifferDoc.h"
#include "exporters/HarWriter.h"
#include "framework/CommandIds.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "platform/UserFiles.h"
#include "ui/FrameCommands.h"

namespace vantor {

namespace {

constexpr int kFlushMilliseconds = 150;
constexpr int kTypingMilliseconds = 120;
// Bodies saved are decoded up to this size.
constexpr std::size_t kMostSaved = 512 * 1024 * 1024;

// The initial widths of the columns, in characters.
constexpr int kColumnCharacters[kExchangeColumnCount] = {6, 14, 16, 7, 20, 30, 6, 22, 8, 9, 17, 9};

QString FromBytes(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A value as a filter term takes it: in quotes when it holds anything but a plain word.
std::string Quoted(std::string_view value) {
    if (!value.empty() && value.find_first_of(" \t:\"|()") == std::string_view::npos) {
        return std::string(value);
    }
    std::string quoted = "\"";
    for (const char c : value) {
        if (c != '"') {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// The last segment of a path, as a file name for a saved body.
std::string SuggestedName(std::string_view path) {
    path = path.substr(0, path.find_first_of("?#"));
    std::string_view name = path.substr(path.find_last_of('/') + 1);
    std::string safe;
    for (const char c : name) {
        safe += (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
    }
    return safe.empty() || safe == "." || safe == ".." ? std::string("body") : safe;
}

}  // namespace

ExchangeListPanel::ExchangeListPanel(CSnifferDoc& document, HelpOpener& help,
                                     std::string helpFolder, QWidget* parent)
    : QWidget(parent),
      m_document(document),
      m_topics(std::move(helpFolder), help),
      m_view(m_model),
      m_filterBar(new QLineEdit(this)),
      m_filterError(new QLabel(this)),
      m_splitter(new QSplitter(Qt::Vertical, this)),
      m_table(new QTableView(m_splitter)),
      m_pane(new ExchangePane(m_splitter)),
      m_flushTimer(new QTimer(this)),
      m_typingTimer(new QTimer(this)) {
    m_model.SetView(&m_view);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_filterBar->setPlaceholderText(
        tr("Filter (Ctrl+L): words in the URL, host:, status:4xx, method:, type:json, header:, "
           "body:, proto:h2, process:, size>10k, dur>200ms, -term, a | b"));
    m_filterBar->setClearButtonEnabled(true);
    m_filterBar->setObjectName("exchangeFilter");
    layout->addWidget(m_filterBar);
    m_filterError->setVisible(false);
    m_filterError->setTextFormat(Qt::RichText);
    layout->addWidget(m_filterError);
    layout->addWidget(m_splitter, 1);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({260, 340});

    m_table->setModel(&m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setShowGrid(false);
    m_table->setWordWrap(false);
    m_table->setAlternatingRowColors(true);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    QHeaderView* header = m_table->horizontalHeader();
    header->setSectionsMovable(true);
    header->setHighlightSections(false);
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    const int character = m_table->fontMetrics().averageCharWidth();
    for (int column = 0; column < kExchangeColumnCount; ++column) {
        header->resizeSection(column, kColumnCharacters[column] * character + 12);
    }
    // Hidden until some exchange's process is known (vantor-run's records do not say).
    header->setSectionHidden(static_cast<int>(ExchangeColumn::Process), true);
    header->setSortIndicator(0, Qt::AscendingOrder);
    m_table->setSortingEnabled(true);
    m_pane->requestSide()->SetHelpTopics(&m_topics);
    m_pane->responseSide()->SetHelpTopics(&m_topics);

    // Ctrl+L goes to the filter bar, as to a browser's address bar.
    auto* toFilter = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
    toFilter->setContext(Qt::WidgetWithChildrenShortcut);
    connect(toFilter, &QShortcut::activated, this, [this] {
        m_filterBar->setFocus(Qt::ShortcutFocusReason);
        m_filterBar->selectAll();
    });
    connect(m_filterBar, &QLineEdit::textChanged, this, [this] { m_typingTimer->start(); });
    connect(m_filterBar, &QLineEdit::returnPressed, this, [this] { ApplyFilter(); });
    m_typingTimer->setSingleShot(true);
    m_typingTimer->setInterval(kTypingMilliseconds);
    connect(m_typingTimer, &QTimer::timeout, this, [this] { ApplyFilter(); });
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { SelectionChanged(); });
    connect(&m_model, &QAbstractItemModel::modelReset, this, [this] { AfterReset(); });
    connect(&m_model, &QAbstractItemModel::layoutChanged, this, [this] { AfterReset(); });
    connect(m_table, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ShowContextMenu(at); });
    connect(header, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ShowHeaderMenu(at); });
    BuildActions();

    m_generation = m_document.contentsGeneration();
    m_document.AddView(&m_view);
    m_view.OnInitialUpdate();
    connect(m_flushTimer, &QTimer::timeout, this, [this] { Flush(); });
    m_flushTimer->start(kFlushMilliseconds);
}

ExchangeListPanel::~ExchangeListPanel() {
    m_document.RemoveView(&m_view);
}

void ExchangeListPanel::BuildActions() {
    struct Entry {
        int command;
        const char* text;
        QKeySequence key;
    };
    const Entry entries[] = {
        {ID_EXCHANGE_COPY_URL, "Copy &URL", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)},
        {ID_EXCHANGE_COPY_CURL, "Copy as &curl", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_C)},
        {ID_EXCHANGE_COPY_REQUEST, "Copy &Request", {}},
        {ID_EXCHANGE_COPY_RESPONSE, "Copy Res&ponse", {}},
        {ID_EXCHANGE_SAVE_BODY, "&Save Body As...", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S)},
        {ID_EXCHANGE_EXPORT_HAR, "&Export Selected as HAR...", {}},
        {ID_EXCHANGE_FILTER_HOST, "Filter on This &Host", {}},
        {ID_EXCHANGE_FILTER_STATUS, "Filter on This S&tatus", {}},
        {ID_EXCHANGE_FILTER_TYPE, "Filter on This T&ype", {}},
    };
    for (const Entry& entry : entries) {
        auto* item = new QAction(tr(entry.text), this);
        item->setData(entry.command);
        item->setStatusTip(
            QString::fromUtf8(PromptOf(entry.command).status.data(),
                              static_cast<qsizetype>(PromptOf(entry.command).status.size())));
        if (!entry.key.isEmpty()) {
            item->setShortcut(entry.key);
            item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        const int command = entry.command;
        connect(item, &QAction::triggered, this, [this, command] { Run(command); });
        m_table->addAction(item);
        m_actions[command] = item;
    }
}

QAction* ExchangeListPanel::action(int command) const {
    const auto found = m_actions.find(command);
    return found == m_actions.end() ? nullptr : found->second;
}

void ExchangeListPanel::SetKeepTypeHandler(std::function<void(const std::string&)> keep) {
    m_pane->requestSide()->SetKeepTypeHandler(keep);
    m_pane->responseSide()->SetKeepTypeHandler(std::move(keep));
}

void ExchangeListPanel::Flush() {
    QScrollBar* scroll = m_table->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum() && m_model.rowCount() > 0 &&
                       !m_view.presenter().descending();
    const ExchangeListPresenter::Change change = m_view.Flush();
    if (change.kind == ExchangeListPresenter::Change::Kind::Inserted && atEnd) {
        m_table->scrollToBottom();  // following a live capture
    }
    if (!m_processColumnDecided && m_view.presenter().anyProcess()) {
        m_table->horizontalHeader()->setSectionHidden(static_cast<int>(ExchangeColumn::Process),
                                                      false);
        m_processColumnDecided = true;
    }
    if (m_selected != nullptr && m_generation == m_document.contentsGeneration() &&
        m_view.presenter().ChangedInLastFlush(m_selected)) {
        m_paneStale = true;
    }
    // The exchange shown grows: shown again, but a large one that takes long to lay out only
    // now and then, so that the window keeps answering (at most an eighth of the time).
    if (m_paneStale && m_selected != nullptr && !m_paneClock.isValid()) {
        m_paneClock.start();
    }
    if (m_paneStale && m_selected != nullptr && m_paneClock.elapsed() >= m_paneWait) {
        QElapsedTimer took;
        took.start();
        m_pane->Show(ExchangeOf(*m_selected));
        m_paneStale = false;
        m_paneWait = 8 * took.elapsed();
        m_paneClock.restart();
    }
    Q_EMIT countChanged();
}

QString ExchangeListPanel::CountText() const {
    const ExchangeListPresenter& presenter = m_view.presenter();
    return tr("%1 of %2 exchanges shown").arg(presenter.shownCount()).arg(presenter.total());
}

void ExchangeListPanel::ApplyFilter() {
    m_typingTimer->stop();
    const std::string text = m_filterBar->text().toStdString();
    if (const auto error = m_view.SetFilter(text)) {
        ShowFilterError(*error);
        return;
    }
    m_filterBar->setStyleSheet({});
    m_filterError->setVisible(false);
    Q_EMIT countChanged();
}

void ExchangeListPanel::ShowFilterError(const ExchangeQuery::Error& error) {
    const QString text = m_filterBar->text();
    // Places count bytes of the UTF-8 text; the bar counts UTF-16 units.
    const QByteArray bytes = text.toUtf8();
    const auto size = static_cast<std::size_t>(bytes.size());
    const std::size_t start = std::min(error.at, size);
    const auto at = static_cast<qsizetype>(start);
    const auto length =
        static_cast<qsizetype>(std::min(std::max<std::size_t>(error.length, 1), size - start));
    const QString before = QString::fromUtf8(bytes.left(at));
    const QString wrong = QString::fromUtf8(bytes.mid(at, length));
    const QString after = QString::fromUtf8(bytes.mid(at + length));
    m_filterError->setText(
        "<span style='color:#b00020'>" + QString::fromStdString(error.message).toHtmlEscaped() +
        "</span> &nbsp; <tt>" + before.toHtmlEscaped() +
        "<span style='background:#ffd0d0;text-decoration:underline'>" +
        (wrong.isEmpty() ? QString("&nbsp;") : wrong.toHtmlEscaped()) + "</span>" +
        after.toHtmlEscaped() + "</tt> &nbsp; " + tr("(the last good filter stays)"));
    m_filterError->setVisible(true);
    m_filterBar->setStyleSheet("QLineEdit { background: #fff0f0; }");
}

void ExchangeListPanel::AddFilterTerm(const std::string& term) {
    QString text = m_filterBar->text().trimmed();
    const QString added = QString::fromStdString(term);
    if (!text.split(' ').contains(added)) {
        text += (text.isEmpty() ? "" : " ") + added;
    }
    m_filterBar->setText(text);
    ApplyFilter();
}

void ExchangeListPanel::SelectRow(int row) {
    m_table->selectRow(row);
    m_table->setCurrentIndex(m_model.index(row, 0));
}

bool ExchangeListPanel::SelectMessage(const HTTPMessage* message) {
    Flush();  // a message captured a moment ago has its row
    const auto row = m_view.presenter().ShownRowOf(message);
    if (!row) {
        return false;
    }
    SelectRow(static_cast<int>(*row));
    m_table->scrollTo(m_model.index(static_cast<int>(*row), 0));
    return true;
}

void ExchangeListPanel::SelectionChanged() {
    const QModelIndex current = m_table->currentIndex();
    if (!current.isValid() ||
        static_cast<std::size_t>(current.row()) >= m_view.presenter().shownCount()) {
        return;
    }
    const Exchange exchange =
        m_view.presenter().ExchangeAt(static_cast<std::size_t>(current.row()));
    m_selected = &exchange.first();
    m_pane->Show(exchange);
    m_paneStale = false;
}

void ExchangeListPanel::AfterReset() {
    Q_EMIT countChanged();
    if (m_generation != m_document.contentsGeneration()) {
        // Other contents: what was selected is gone.
        m_generation = m_document.contentsGeneration();
        m_selected = nullptr;
        m_paneStale = false;
        m_pane->Clear();
        return;
    }
    if (m_selected == nullptr) {
        return;
    }
    if (const auto row = m_view.presenter().ShownRowOf(m_selected)) {
        const QModelIndex index = m_model.index(static_cast<int>(*row), 0);
        const QSignalBlocker quiet(m_table->selectionModel());
        m_table->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        m_table->scrollTo(index);
    }
}

std::vector<Exchange> ExchangeListPanel::SelectedExchanges() const {
    std::vector<int> rows;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    std::vector<Exchange> exchanges;
    for (const int row : rows) {
        if (static_cast<std::size_t>(row) < m_view.presenter().shownCount()) {
            exchanges.push_back(m_view.presenter().ExchangeAt(static_cast<std::size_t>(row)));
        }
    }
    if (exchanges.empty() && !m_pane->empty()) {
        exchanges.push_back(m_pane->exchange());
    }
    return exchanges;
}

void ExchangeListPanel::Run(int command) {
    const std::vector<Exchange> selected = SelectedExchanges();
    if (selected.empty()) {
        return;
    }
    const Exchange& first = selected.front();
    const ExchangeSummary summary = Summarize(first);
    const auto report = [this](const std::string& text) {
        if (m_report) {
            m_report(text);
        } else {
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(text));
        }
    };
    const auto askPath = [this](const QString& title, const std::string& suggested) {
        if (m_askPath) {
            return m_askPath(title, suggested);
        }
        const QString chosen =
            QFileDialog::getSaveFileName(this, title, QString::fromStdString(suggested));
        return chosen.isEmpty() ? std::optional<std::string>() : chosen.toStdString();
    };
    QString copied;
    switch (command) {
        case ID_EXCHANGE_COPY_URL:
            for (const Exchange& exchange : selected) {
                copied += QString::fromStdString(Summarize(exchange).Url()) + "\n";
            }
            break;
        case ID_EXCHANGE_COPY_CURL:
            for (const Exchange& exchange : selected) {
                if (exchange.request != nullptr) {
                    copied += FromBytes(CurlCommand(*exchange.request)) + "\n";
                }
            }
            break;
        case ID_EXCHANGE_COPY_REQUEST:
        case ID_EXCHANGE_COPY_RESPONSE: {
            const HTTPMessage* message = command == ID_EXCHANGE_COPY_REQUEST
                                             ? static_cast<const HTTPMessage*>(first.request)
                                             : static_cast<const HTTPMessage*>(first.response);
            if (message != nullptr) {
                copied = FromBytes(message->BytesAsTheyCame(0, message->text().size()));
            }
            break;
        }
        case ID_EXCHANGE_SAVE_BODY: {
            const HTTPMessage* message = first.response != nullptr
                                             ? static_cast<const HTTPMessage*>(first.response)
                                             : first.request;
            if (message == nullptr || message->headerEnd() < 0) {
                return;
            }
            const auto path = askPath(tr("Save Body As"), SuggestedName(summary.path));
            if (!path) {
                return;
            }
            const DecodedBody decoded = DecodeMessageBody(*message, kMostSaved);
            if (const auto failure = WriteUserFile(*path, decoded.bytes)) {
                report(*failure);
            }
            return;
        }
        case ID_EXCHANGE_EXPORT_HAR: {
            std::vector<const HTTPRequest*> requests;
            for (const Exchange& exchange : selected) {
                if (exchange.request != nullptr) {
                    requests.push_back(exchange.request);
                }
            }
            const auto path = askPath(tr("Export Selected as HAR"), "exchanges.har");
            if (!path) {
                return;
            }
            if (const auto failure = ExportHarFile(*path, requests)) {
                report(*failure);
            }
            return;
        }
        case ID_EXCHANGE_FILTER_HOST:
            AddFilterTerm("host:" + Quoted(summary.host));
            return;
        case ID_EXCHANGE_FILTER_STATUS:
            if (summary.status) {
                AddFilterTerm("status:" + std::to_string(*summary.status));
            }
            return;
        case ID_EXCHANGE_FILTER_TYPE:
            if (!summary.mediaType.empty()) {
                AddFilterTerm("type:" + Quoted(summary.mediaType));
            }
            return;
        default:
            return;
    }
    if (copied.endsWith('\n') && selected.size() == 1) {
        copied.chop(1);
    }
    QGuiApplication::clipboard()->setText(copied);
}

void ExchangeListPanel::ShowContextMenu(const QPoint& at) {
    if (!m_table->indexAt(at).isValid()) {
        return;
    }
    QMenu menu(this);
    for (const int command : {ID_EXCHANGE_COPY_URL, ID_EXCHANGE_COPY_CURL, ID_EXCHANGE_COPY_REQUEST,
                              ID_EXCHANGE_COPY_RESPONSE}) {
        menu.addAction(action(command));
    }
    menu.addSeparator();
    menu.addAction(action(ID_EXCHANGE_SAVE_BODY));
    menu.addAction(action(ID_EXCHANGE_EXPORT_HAR));
    menu.addSeparator();
    for (const int command :
         {ID_EXCHANGE_FILTER_HOST, ID_EXCHANGE_FILTER_STATUS, ID_EXCHANGE_FILTER_TYPE}) {
        menu.addAction(action(command));
    }
    menu.exec(m_table->viewport()->mapToGlobal(at));
}

void ExchangeListPanel::ShowHeaderMenu(const QPoint& at) {
    QHeaderView* header = m_table->horizontalHeader();
    QMenu menu(this);
    for (int column = 0; column < kExchangeColumnCount; ++column) {
        QAction* shown = menu.addAction(QString::fromUtf8(
            ExchangeColumnTitle(static_cast<ExchangeColumn>(column)).data(),
            static_cast<qsizetype>(
                ExchangeColumnTitle(static_cast<ExchangeColumn>(column)).size())));
        shown->setCheckable(true);
        shown->setChecked(!header->isSectionHidden(column));
        connect(shown, &QAction::toggled, this, [this, header, column](bool on) {
            header->setSectionHidden(column, !on);
            m_processColumnDecided = true;  // the user chooses from now on
        });
    }
    menu.exec(header->mapToGlobal(at));
}

std::string ExchangeListPanel::SaveLayout() const {
    return m_table->horizontalHeader()->saveState().toHex().toStdString();
}

std::string ExchangeListPanel::SavePanes() const {
    return (m_splitter->saveState().toHex() + "," + m_pane->splitter()->saveState().toHex())
        .toStdString();
}

void ExchangeListPanel::RestoreLayout(const std::string& columns, const std::string& panes) {
    if (!columns.empty()) {
        QHeaderView* header = m_table->horizontalHeader();
        if (header->restoreState(QByteArray::fromHex(QByteArray::fromStdString(columns)))) {
            m_processColumnDecided = true;
            // The order a saved header asks for is the list's order.
            m_model.sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
        }
    }
    const QList<QByteArray> parts = QByteArray::fromStdString(panes).split(',');
    if (parts.size() == 2) {
        m_splitter->restoreState(QByteArray::fromHex(parts[0]));
        m_pane->splitter()->restoreState(QByteArray::fromHex(parts[1]));
    }
}

}  // namespace vantor
