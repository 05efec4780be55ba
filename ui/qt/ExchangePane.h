#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "content/Exchange.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSplitter;
class QStackedWidget;
class QTabWidget;
class QTableWidget;
class QTreeWidget;

namespace vantor {

class HTTPHelpTopics;
class HTTPMessage;

// One side of an exchange in the pane: a message's header fields as a table (and as they
// came), its body decoded (laid out JSON and its tree, an image, text in a monospace font with
// a wrap switch, or a hex dump), and why a body is not there.
class MessageSide : public QWidget {
    Q_OBJECT

public:
    MessageSide(const QString& title, QWidget* parent = nullptr);

    // Shows message (null: "nothing yet", with the text given).
    void Show(const HTTPMessage* message, const QString& none);
    // Asked to keep bodies of a media type (the body was left out for its type).
    void SetKeepTypeHandler(std::function<void(const std::string&)> keep) {
        m_keepType = std::move(keep);
    }
    void SetHelpTopics(HTTPHelpTopics* topics) { m_topics = topics; }

    QTabWidget* tabs() const { return m_tabs; }
    QTableWidget* headerTable() const { return m_headers; }
    QPlainTextEdit* bodyText() const { return m_bodyText; }
    QTreeWidget* jsonTree() const { return m_jsonTree; }
    QLabel* image() const { return m_image; }
    QLabel* notice() const { return m_notice; }
    QCheckBox* treeSwitch() const { return m_tree; }
    QWidget* shownBody() const;
    QPushButton* keepButton() const { return m_keep; }
    // Which body page shows: "text", "json", "image", "hex" or "none".
    QString bodyKind() const { return m_bodyKind; }

private:
    void ShowBody(const HTTPMessage& message);
    void OpenHeaderHelp(int row);

    QLabel* m_title;
    QTabWidget* m_tabs;
    QTableWidget* m_headers;
    QPlainTextEdit* m_raw;
    QWidget* m_bodyPage;
    QLabel* m_notice;
    QPushButton* m_keep;
    QCheckBox* m_wrap;
    QCheckBox* m_tree;
    QStackedWidget* m_bodyStack;
    QPlainTextEdit* m_bodyText;
    QTreeWidget* m_jsonTree;
    QScrollArea* m_imageArea;
    QLabel* m_image;
    QString m_bodyKind = "none";
    std::string m_typeToKeep;
    std::function<void(const std::string&)> m_keepType;
    HTTPHelpTopics* m_topics = nullptr;
};

// The selected exchange: a summary line (method, URL, status, protocol and stream, TLS,
// process), its timing, and the request beside the response; a WebSocket's messages as a table.
class ExchangePane : public QWidget {
    Q_OBJECT

public:
    explicit ExchangePane(QWidget* parent = nullptr);

    void Show(const Exchange& exchange);
    void Clear();
    const Exchange& exchange() const { return m_exchange; }
    bool empty() const { return m_exchange.request == nullptr && m_exchange.response == nullptr; }

    MessageSide* requestSide() const { return m_request; }
    MessageSide* responseSide() const { return m_response; }
    QLabel* summary() const { return m_summary; }
    QLabel* timing() const { return m_timing; }
    QTableWidget* webSocketTable() const { return m_webSocket; }
    QSplitter* splitter() const { return m_sides; }

private:
    Exchange m_exchange;
    QLabel* m_summary;
    QLabel* m_timing;
    QSplitter* m_sides;
    MessageSide* m_request;
    MessageSide* m_response;
    QTableWidget* m_webSocket;
};

}  // namespace vantor
