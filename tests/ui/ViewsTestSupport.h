#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"
#include "document/CSnifferDoc.h"
#include "platform/HelpOpener.h"
#include "ui/CLeftView.h"
#include "ui/CSnifferView.h"
#include "ui/FakeControls.h"

namespace vantor::test {

class RecordingHelpOpener : public HelpOpener {
public:
    void DisplayTopic(const std::string& topic) override { topics.push_back(topic); }
    std::vector<std::string> topics;
};

// A document with both views over fake controls, fed as capture feeds it.
class ViewsFixture {
public:
    ViewsFixture() : left(tree), right(text, help, "/help/", [this] { ++beeps; }) {
        document.AddView(&left);
        document.AddView(&right);
        document.OnNewDocument();
        document.SendInitialUpdate();
    }

    HTTPRequest* Send(std::uint32_t connection, std::string_view data, std::uint32_t previous = 0) {
        document.NewRequest(Header(1, previous, connection), Bytes(data));
        return document.requests().back();
    }
    HTTPResponse* Receive(std::uint32_t connection, std::string_view data,
                          std::uint32_t previous = 1) {
        const CaptureRecord header = Header(2, previous, connection);
        if (previous == 2) {
            document.AppendResponse(header, Bytes(data));
        } else {
            document.NewResponse(header, Bytes(data));
        }
        return document.responses().back();
    }
    void SendMore(std::uint32_t connection, std::string_view data) {
        document.AppendRequest(Header(1, 1, connection), Bytes(data));
    }
    void ReceiveMore(std::uint32_t connection, std::string_view data) {
        document.AppendResponse(Header(2, 2, connection), Bytes(data));
    }

    ScopedDefaultOptions options;
    CSnifferDoc document;
    FakeTreeControl tree;
    FakeRichEditControl text;
    RecordingHelpOpener help;
    int beeps = 0;
    CLeftView left;
    CSnifferView right;
};

inline std::string Get(const std::string& path, const std::string& host = "h") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

inline std::string Status(int code, const std::string& type = "text/html",
                          const std::string& body = "") {
    return "HTTP/1.1 " + std::to_string(code) + " X\r\nContent-Type: " + type + "\r\n\r\n" + body;
}

}  // namespace vantor::test
