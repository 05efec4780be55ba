#pragma once

#include <QWidget>

#include "platform/HelpOpener.h"

class QTextBrowser;

namespace vantor {

// The program's help window: shows the page a help topic names, and follows its links.
class HelpBrowser : public QWidget, public HelpOpener {
    Q_OBJECT

public:
    explicit HelpBrowser(QWidget* parent = nullptr);

    // Shows the page and brings the window forward; a topic without a page does nothing, but
    // the first time the help files are missing altogether it says so.
    void DisplayTopic(const std::string& topic) override;
    QTextBrowser* browser() const { return m_browser; }

private:
    QTextBrowser* m_browser;
    bool m_toldNoPages = false;
};

}  // namespace vantor
