#pragma once

// The main window as the window tests drive it: a user of their own, the sample document open,
// and helpers that answer the modal windows a step opens, as a user's clicks would.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "ScopedUserFolders.h"
#include "TestSupport.h"
#include "UserSettings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/QtAppShell.h"

namespace vantor::test {

inline const std::string kSample = std::string(VANTOR_SOURCE_DIR) + "/samples/sample.vtr";

// Answers the next modal window that opens other than skip, while the returned watch lives:
// answer runs inside the window's event loop, as a user's clicks would.
[[nodiscard]] inline std::unique_ptr<QTimer> WhenModal(std::function<void(QWidget*)> answer,
                                                       QWidget* skip = nullptr) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(10);
    QTimer* watch = timer.get();
    QObject::connect(watch, &QTimer::timeout, [watch, answer = std::move(answer), skip] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != skip && modal->isVisible()) {
            watch->stop();
            answer(modal);
        }
    });
    timer->start();
    return timer;
}

template <typename Widget>
Widget* Control(QWidget* dialog, int id) {
    auto* control = dialog->findChild<Widget*>(QString::number(id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
}

inline void Click(QWidget* dialog, int id) {
    Control<QAbstractButton>(dialog, id)->click();
}

// The text of the message box that the next step shows, which is then closed.
inline std::string CloseMessageBoxOf(const std::function<void()>& step, QWidget* skip = nullptr) {
    std::string text;
    const auto watch = WhenModal(
        [&text](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                text = box->text().toStdString();
                box->reject();
            }
        },
        skip);
    step();
    return text;
}

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StoreReturningUser(std::string(VANTOR_SOURCE_DIR) + "/ui/help/"));
        shell.SetApp(&app);
        ASSERT_TRUE(app.InitInstance({kSample}));
        frame = shell.frame();
        ASSERT_NE(frame, nullptr);
        // These tests drive the message tree and its text; the exchange list has its own.
        frame->OnCommand(ID_VIEW_MESSAGE_TREE);
        frame->treeControl().Flush();
    }
    void TearDown() override {
        app.document().SetModifiedFlag(false);
        app.ExitInstance();
        shell.DestroyMainFrame();
    }

    bool Enabled(int command) {
        frame->UpdateCommandUI();
        return frame->action(command)->isEnabled();
    }
    void Select(int row) {
        frame->treeWidget()->setCurrentIndex(frame->treeControl().index(row, 0));
    }
    std::string ShownCaption() {
        const HTTPMessage* message = frame->textView().currentMessage();
        return message == nullptr ? "" : message->caption();
    }

    ScopedDefaultOptions defaults;
    ScopedUserFolders user;
    QtAppShell shell;
    CSnifferApp app{shell, AppPaths::ForCurrentUser()};
    CMainFrame* frame = nullptr;
};

}  // namespace vantor::test
