#include "ui/qt/ExchangePane.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "content/BodyDecoder.h"
#include "content/MessageParts.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "ui/ExchangeListPresenter.h"
#include "ui/HTTPHelpTopics.h"
#include "ui/MessageTextPresenter.h"

namespace vantor {

namespace {

// What the pane lays out of a text at once: a text widget takes time many times the bytes it
// shows, and the pane is shown again as its exchange grows. Copy and Save Body As take all.
constexpr std::size_t kMostInPane = 256 * 1024;
// A decoded body of more than this is cut; a binary one is dumped up to kMostDumped bytes; a
// JSON tree shows up to kMostNodes values.
constexpr std::size_t kMostDecoded = 8 * 1024 * 1024;
constexpr std::size_t kMostDumped = 64 * 1024;
constexpr int kMostNodes = 20000;
// Images smaller than this many pixels are shown scaled up.
constexpr int kSmallestShown = 96;

QString FromBytes(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Puts text into edit, up to kMostInPane bytes and a line that says how much more there is.
void ShowText(QPlainTextEdit* edit, std::string_view text) {
    const std::size_t shown = std::min(ShownLength(text), kMostInPane);
    QString all = FromBytes(text.substr(0, shown));
    if (shown < text.size()) {
        all += QString("\n[%1 more bytes: Copy Request, Copy Response or Save Body As take all]")
                   .arg(text.size() - shown);
    }
    edit->setPlainText(all);
}

QPlainTextEdit* MonospaceText(QWidget* parent) {
    auto* edit = new QPlainTextEdit(parent);
    edit->setReadOnly(true);
    edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    return edit;
}

QString Scalar(const QJsonValue& value) {
    switch (value.type()) {
        case QJsonValue::String:
            return "\"" + value.toString() + "\"";
        case QJsonValue::Double:
            return QString::number(value.toDouble(), 'g', 15);
        case QJsonValue::Bool:
            return value.toBool() ? "true" : "false";
        case QJsonValue::Null:
            return "null";
        case QJsonValue::Array:
            return QString("[%1]").arg(value.toArray().size());
        case QJsonValue::Object:
            return QString("{%1}").arg(value.toObject().size());
        default:
            return {};
    }
}

void AddJson(QTreeWidgetItem* parent, const QString& name, const QJsonValue& value, int& budget) {
    if (budget <= 0) {
        return;
    }
    --budget;
    auto* item = new QTreeWidgetItem(parent, {name, Scalar(value)});
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end() && budget > 0; ++it) {
            AddJson(item, it.key(), it.value(), budget);
        }
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size() && budget > 0; ++i) {
            AddJson(item, QString::number(i), array.at(i), budget);
        }
    }
}

}  // namespace

MessageSide::MessageSide(const QString& title, QWidget* parent)
    : QWidget(parent),
      m_title(new QLabel(this)),
      m_tabs(new QTabWidget(this)),
      m_headers(new QTableWidget(0, 2, this)),
      m_raw(MonospaceText(this)),
      m_bodyPage(new QWidget(this)),
      m_notice(new QLabel(m_bodyPage)),
      m_keep(new QPushButton(m_bodyPage)),
      m_wrap(new QCheckBox(tr("Wrap"), m_bodyPage)),
      m_tree(new QCheckBox(tr("Tree"), m_bodyPage)),
      m_bodyStack(new QStackedWidget(m_bodyPage)),
      m_bodyText(MonospaceText(m_bodyStack)),
      m_jsonTree(new QTreeWidget(m_bodyStack)),
      m_imageArea(new QScrollArea(m_bodyStack)),
      m_image(new QLabel(m_imageArea)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_title->setText("<b>" + title + "</b>");
    layout->addWidget(m_title);
    layout->addWidget(m_tabs);

    m_headers->setHorizontalHeaderLabels({tr("Name"), tr("Value")});
    m_headers->horizontalHeader()->setStretchLastSection(true);
    m_headers->verticalHeader()->setVisible(false);
    m_headers->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    m_headers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_headers->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_headers->setWordWrap(false);
    m_headers->setToolTip(tr("Double-click a field for its page in the HTTP reference"));
    connect(m_headers, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { OpenHeaderHelp(row); });
    m_tabs->addTab(m_headers, tr("Headers"));

    auto* bodyLayout = new QVBoxLayout(m_bodyPage);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    auto* bar = new QHBoxLayout;
    m_notice->setWordWrap(true);
    bar->addWidget(m_notice, 1);
    bar->addWidget(m_keep);
    bar->addWidget(m_tree);
    bar->addWidget(m_wrap);
    m_tree->setChecked(true);
    m_tree->setVisible(false);
    m_tree->setToolTip(tr("JSON as a tree, or laid out as text"));
    connect(m_tree, &QCheckBox::toggled, this, [this](bool tree) {
        if (m_bodyKind == "json") {
            m_bodyStack->setCurrentWidget(tree && m_jsonTree->topLevelItemCount() > 0
                                              ? static_cast<QWidget*>(m_jsonTree)
                                              : m_bodyText);
        }
    });
    bodyLayout->addLayout(bar);
    bodyLayout->addWidget(m_bodyStack, 1);
    m_keep->setVisible(false);
    connect(m_keep, &QPushButton::clicked, this, [this] {
        if (m_keepType && !m_typeToKeep.empty()) {
            m_keepType(m_typeToKeep);
            m_keep->setEnabled(false);
        }
    });
    connect(m_wrap, &QCheckBox::toggled, this, [this](bool wrap) {
        m_bodyText->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    });
    m_jsonTree->setHeaderLabels({tr("Name"), tr("Value")});
    m_jsonTree->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_imageArea->setWidget(m_image);
    m_imageArea->setAlignment(Qt::AlignCenter);
    m_bodyStack->addWidget(m_bodyText);
    m_bodyStack->addWidget(m_jsonTree);
    m_bodyStack->addWidget(m_imageArea);
    m_tabs->addTab(m_bodyPage, tr("Body"));
    m_tabs->addTab(m_raw, tr("Raw"));
}

void MessageSide::Show(const HTTPMessage* message, const QString& none) {
    m_headers->setRowCount(0);
    m_jsonTree->clear();
    m_image->clear();
    m_keep->setVisible(false);
    m_tree->setVisible(false);
    m_typeToKeep.clear();
    m_bodyKind = "none";
    if (message == nullptr) {
        m_raw->setPlainText(none);
        m_bodyText->setPlainText({});
        m_notice->setText(none);
        m_bodyStack->setCurrentWidget(m_bodyText);
        return;
    }
    const std::vector<HeaderField> fields = HeaderFields(*message);
    m_headers->setRowCount(static_cast<int>(fields.size()));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const int row = static_cast<int>(i);
        auto* name = new QTableWidgetItem(FromBytes(fields[i].name));
        if (m_topics != nullptr && m_topics->TopicForLine(fields[i].name + ":")) {
            QFont font = name->font();
            font.setUnderline(true);
            name->setFont(font);
        }
        m_headers->setItem(row, 0, name);
        m_headers->setItem(row, 1, new QTableWidgetItem(FromBytes(fields[i].value)));
    }
    m_headers->resizeColumnToContents(0);
    const std::string_view text = message->text();
    ShowText(m_raw, text);
    ShowBody(*message);
}

QWidget* MessageSide::shownBody() const {
    return m_bodyStack->currentWidget();
}

void MessageSide::OpenHeaderHelp(int row) {
    const QTableWidgetItem* name = m_headers->item(row, 0);
    if (m_topics != nullptr && name != nullptr) {
        m_topics->HelpForLine(name->text().toStdString() + ":");
    }
}

void MessageSide::ShowBody(const HTTPMessage& message) {
    const HeaderLookup headers = message.headers();
    const std::string contentType(headers.Find("content-type").value_or(""));
    const std::string mediaType = contentType.substr(0, contentType.find(';'));
    QString notice = QString::fromStdString(BodyNotKeptNotice(message));
    if (message.state() == AssemblyState::BodyFiltered && !mediaType.empty()) {
        m_typeToKeep = mediaType;
        m_keep->setText(tr("Keep bodies of type %1").arg(QString::fromStdString(mediaType)));
        m_keep->setEnabled(true);
        m_keep->setVisible(static_cast<bool>(m_keepType));
    }
    if (message.headerEnd() < 0 ||
        message.text().size() <= static_cast<std::size_t>(message.headerEnd())) {
        m_bodyText->setPlainText({});
        m_bodyStack->setCurrentWidget(m_bodyText);
        m_notice->setText(
            notice.isEmpty()
                ? (message.headerEnd() < 0 ? tr("The header is not complete yet.") : tr("No body."))
                : notice);
        return;
    }
    DecodedBody decoded = DecodeMessageBody(message, kMostDecoded);
    if (!decoded.notice.empty()) {
        notice += (notice.isEmpty() ? "" : " ") + QString::fromStdString(decoded.notice);
    }
    const QString kind =
        decoded.decoded ? QString::fromStdString(mediaType) + tr(", codings removed") : QString();
    if (mediaType.starts_with("image/")) {
        QImage picture;
        if (picture.loadFromData(reinterpret_cast<const uchar*>(decoded.bytes.data()),
                                 static_cast<int>(decoded.bytes.size()))) {
            // Icons are shown larger, pixel for pixel, to be seen at all.
            const int scale = std::max(
                1, kSmallestShown / std::max(1, std::max(picture.width(), picture.height())));
            m_image->setPixmap(
                QPixmap::fromImage(scale > 1 ? picture.scaled(picture.size() * scale) : picture));
            m_image->adjustSize();
            m_bodyStack->setCurrentWidget(m_imageArea);
            m_bodyKind = "image";
            m_notice->setText(notice.isEmpty() ? tr("%1, %2 × %3")
                                                     .arg(QString::fromStdString(mediaType))
                                                     .arg(picture.width())
                                                     .arg(picture.height())
                                               : notice);
            return;
        }
    }
    if (LooksLikeJson(contentType, decoded.bytes)) {
        const std::string laidOut = PrettyJson(decoded.bytes, kMostInPane);
        if (!laidOut.empty()) {
            ShowText(m_bodyText, laidOut);
            m_bodyKind = "json";
            // A tree of the whole value for what is not too large to read at once.
            const QJsonDocument json =
                decoded.bytes.size() > kMostInPane * 8
                    ? QJsonDocument()
                    : QJsonDocument::fromJson(QByteArray(
                          decoded.bytes.data(), static_cast<qsizetype>(decoded.bytes.size())));
            if (!json.isNull()) {
                int budget = kMostNodes;
                auto* root = m_jsonTree->invisibleRootItem();
                AddJson(root, tr("(root)"),
                        json.isArray() ? QJsonValue(json.array()) : QJsonValue(json.object()),
                        budget);
                m_jsonTree->expandToDepth(1);
                m_jsonTree->resizeColumnToContents(0);
                m_tree->setVisible(true);
                m_bodyStack->setCurrentWidget(
                    m_tree->isChecked() ? static_cast<QWidget*>(m_jsonTree) : m_bodyText);
            } else {
                m_bodyStack->setCurrentWidget(m_bodyText);
            }
            m_notice->setText(notice.isEmpty()
                                  ? (decoded.decoded ? tr("JSON, codings removed") : tr("JSON"))
                                  : notice);
            return;
        }
    }
    if (!IsUtf8(decoded.bytes)) {
        const std::string_view dumped = std::string_view(decoded.bytes).substr(0, kMostDumped);
        m_bodyText->setPlainText(QString::fromStdString(HexDump(dumped)));
        m_bodyStack->setCurrentWidget(m_bodyText);
        m_bodyKind = "hex";
        if (dumped.size() < decoded.bytes.size()) {
            notice += (notice.isEmpty() ? "" : " ") + tr("The dump shows the first %1 of %2 bytes.")
                                                          .arg(dumped.size())
                                                          .arg(decoded.bytes.size());
        }
        m_notice->setText(
            notice.isEmpty()
                ? tr("Binary, %1").arg(QString::fromStdString(ReadableSize(decoded.bytes.size())))
                : notice);
        return;
    }
    ShowText(m_bodyText, decoded.bytes);
    m_bodyStack->setCurrentWidget(m_bodyText);
    m_bodyKind = "text";
    m_notice->setText(notice.isEmpty() ? (kind.isEmpty() ? QString::fromStdString(mediaType) : kind)
                                       : notice);
}

ExchangePane::ExchangePane(QWidget* parent)
    : QWidget(parent),
      m_summary(new QLabel(this)),
      m_timing(new QLabel(this)),
      m_sides(new QSplitter(Qt::Horizontal, this)),
      m_request(new MessageSide(tr("Request"), m_sides)),
      m_response(new MessageSide(tr("Response"), m_sides)),
      m_webSocket(new QTableWidget(0, 4, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_summary->setWordWrap(true);
    m_timing->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_summary);
    layout->addWidget(m_timing);
    m_sides->setChildrenCollapsible(false);
    layout->addWidget(m_sides, 1);
    m_webSocket->setHorizontalHeaderLabels({tr("Direction"), tr("Kind"), tr("Length"), tr("Data")});
    m_webSocket->horizontalHeader()->setStretchLastSection(true);
    m_webSocket->verticalHeader()->setVisible(false);
    m_webSocket->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    m_webSocket->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_webSocket->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_webSocket->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_response->tabs()->addTab(m_webSocket, tr("Messages"));
    Clear();
}

void ExchangePane::Clear() {
    m_exchange = {};
    m_summary->setText(tr("Select an exchange to see its request and response."));
    m_timing->clear();
    m_request->Show(nullptr, {});
    m_response->Show(nullptr, {});
    m_webSocket->setRowCount(0);
    m_response->tabs()->setTabVisible(3, false);
}

void ExchangePane::Show(const Exchange& exchange) {
    m_exchange = exchange;
    if (empty()) {
        Clear();
        return;
    }
    const ExchangeSummary summary = Summarize(exchange);
    QString line = "<b>" + QString::fromStdString(std::string(summary.method)).toHtmlEscaped() +
                   "</b> " + QString::fromStdString(summary.Url()).toHtmlEscaped();
    if (summary.status) {
        line += " &rarr; <b>" +
                QString::fromStdString(std::to_string(*summary.status) + " " +
                                       std::string(summary.reason))
                    .toHtmlEscaped() +
                "</b>";
    } else {
        line += " &rarr; <i>" + tr("waiting for the response") + "</i>";
    }
    line += " &middot; " + QString::fromStdString(summary.ProtocolText());
    const std::string_view tls = TlsTextName(summary.tls, exchange.first().fromFile());
    if (summary.tls != TlsText::None) {
        line += " &middot; TLS " + QString::fromStdString(std::string(tls));
    }
    if (!summary.process.empty()) {
        line += " &middot; " + QString::fromStdString(std::string(summary.process) + " (pid " +
                                                      std::to_string(summary.pid) + ")")
                                   .toHtmlEscaped();
    }
    m_summary->setText(line);

    const HTTPMessage& first = exchange.first();
    QString timing;
    if (first.firstTime().year != 0) {
        timing = tr("Sent %1").arg(QString::fromStdString(TimeOfDay(first.firstTime())));
        if (exchange.request != nullptr && exchange.response != nullptr) {
            timing += tr(" · request sent in %1 · first byte after %2 · done after %3")
                          .arg(QString::fromStdString(ReadableDuration(MillisecondsBetween(
                              first.firstTime(), exchange.request->lastTime()))))
                          .arg(QString::fromStdString(ReadableDuration(MillisecondsBetween(
                              first.firstTime(), exchange.response->firstTime()))))
                          .arg(QString::fromStdString(ReadableDuration(MillisecondsBetween(
                              first.firstTime(), exchange.response->lastTime()))));
        }
    }
    timing += tr(" · %1 in all").arg(QString::fromStdString(ReadableSize(summary.size)));
    m_timing->setText(timing);

    m_request->Show(exchange.request, tr("No request was captured."));
    m_response->Show(exchange.response, tr("No response yet."));
    const bool webSocket =
        summary.protocol == ExchangeProtocol::WebSocket && exchange.response != nullptr;
    m_response->tabs()->setTabVisible(3, webSocket);
    m_webSocket->setRowCount(0);
    if (webSocket) {
        const std::vector<WebSocketMessage> messages = WebSocketMessages(*exchange.response);
        m_webSocket->setRowCount(static_cast<int>(messages.size()));
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const WebSocketMessage& message = messages[i];
            const int row = static_cast<int>(i);
            const bool notice = message.kind == "notice";
            m_webSocket->setItem(row, 0,
                                 new QTableWidgetItem(notice               ? QString()
                                                      : message.fromClient ? tr("→ sent")
                                                                           : tr("← received")));
            m_webSocket->setItem(row, 1,
                                 new QTableWidgetItem(QString::fromStdString(message.kind)));
            m_webSocket->setItem(
                row, 2, new QTableWidgetItem(notice ? QString() : QString::number(message.length)));
            m_webSocket->setItem(row, 3, new QTableWidgetItem(FromBytes(message.text)));
        }
        m_webSocket->resizeColumnsToContents();
    }
}

}  // namespace vantor
