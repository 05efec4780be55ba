#include "ui/qt/HelpBrowser.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/qt/QtText.h"

namespace vantor {

HelpBrowser::HelpBrowser(QWidget* parent)
    : QWidget(parent, Qt::Window), m_browser(new QTextBrowser(this)) {
    setWindowTitle(tr("Vantor Help"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    m_browser->setOpenLinks(true);
    m_browser->setOpenExternalLinks(false);
    resize(640, 520);
}

void HelpBrowser::DisplayTopic(const std::string& topic) {
    const auto page = ResolveTopic(topic);
    if (!page) {
        if (!m_toldNoPages && !HelpFileExists(topic)) {
            m_toldNoPages = true;
            QMessageBox box(QMessageBox::Information, tr("Vantor Help"),
                            ToQString(kTextNoHelpPages), QMessageBox::Ok,
                            QApplication::activeWindow());
            box.exec();
        }
        return;
    }
    m_browser->setSource(QUrl::fromLocalFile(QString::fromStdString(page->string())));
    show();
    raise();
    activateWindow();
}

}  // namespace vantor
