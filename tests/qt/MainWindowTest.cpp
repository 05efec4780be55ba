// The main window, driven by its commands as a user drives it, with the real dialogs.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTimer>
#include <functional>
#include <memory>

#include "ScopedUserFolders.h"
#include "TestSupport.h"
#include "UserSettings.h"
#include "options/AppStrings.h"
#include "app/CSnifferApp.h"
#include "app/qt/CMainFrame.h"
#include "app/qt/QtAppShell.h"
#include "framework/Profile.h"
#include "options/Options.h"
#include "platform/SettingsStore.h"
#include "qt/MainWindowFixture.h"

namespace vantor {
namespace {

using test::Click;
using test::CloseMessageBoxOf;
using test::Control;
using test::kSample;
using test::MainWindowTest;
using test::WhenModal;

TEST_F(MainWindowTest, CaptureCommandsAndTheirToolbarPositionsFollowTheCaptureState) {
    EXPECT_EQ(frame->windowTitle(), "sample.vtr - Vantor");
    EXPECT_EQ(frame->treeControl().rowCount(), 20);
    EXPECT_TRUE(Enabled(ID_CAPTURE_START));
    EXPECT_FALSE(Enabled(ID_CAPTURE_STOP));
    EXPECT_FALSE(Enabled(ID_FIND_NEXT_MESSAGE));
    EXPECT_EQ(frame->toolbarCommand(kStartPosition), ID_CAPTURE_START);
    EXPECT_EQ(frame->toolbarCommand(kStopPosition), ID_NONE);
    frame->OnIdle();
    EXPECT_EQ(frame->statusBar()->currentMessage(), "Capture disabled");

    frame->toolbarAction(kStartPosition)->trigger();
    ASSERT_TRUE(app.IsCapturing());
    EXPECT_FALSE(Enabled(ID_CAPTURE_START));
    EXPECT_TRUE(Enabled(ID_CAPTURE_STOP));
    EXPECT_EQ(frame->toolbarCommand(kStartPosition), ID_NONE);
    EXPECT_EQ(frame->toolbarCommand(kStopPosition), ID_CAPTURE_STOP);
    EXPECT_EQ(frame->toolbarAction(kStopPosition)->toolTip(), "Stop");
    frame->OnIdle();
    EXPECT_EQ(frame->statusBar()->currentMessage(), "Capture enabled");
    frame->toolbarAction(kStartPosition)->trigger();  // the grey position does nothing
    frame->action(ID_CAPTURE_START)->trigger();       // nor does the disabled entry
    EXPECT_TRUE(app.IsCapturing());

    frame->toolbarAction(kStopPosition)->trigger();
    EXPECT_FALSE(app.IsCapturing());
    EXPECT_EQ(frame->toolbarCommand(kStartPosition), ID_CAPTURE_START);
}

TEST_F(MainWindowTest, TheFilterButtonSwapsBetweenEnableAndDisable) {
    QAction* button = frame->toolbarAction(kFilterPosition);
    EXPECT_EQ(button->toolTip(), "Enable filter");
    Filter().rescode_success = 0;
    button->trigger();
    EXPECT_TRUE(Filter().m_bEnabled);
    EXPECT_EQ(frame->toolbarCommand(kFilterPosition), ID_FILTER_DISABLE);
    EXPECT_EQ(button->toolTip(), "Disable filter");
    frame->treeControl().Flush();
    EXPECT_EQ(frame->treeControl().rowCount(), 6) << "only the 404, 301 and 500 exchanges";
    frame->action(ID_FILTER_DISABLE)->trigger();
    EXPECT_FALSE(Filter().m_bEnabled);
    EXPECT_EQ(frame->toolbarCommand(kFilterPosition), ID_FILTER_ENABLE);
    frame->treeControl().Flush();
    EXPECT_EQ(frame->treeControl().rowCount(), 20);
}

TEST_F(MainWindowTest, ViewOptionsRedrawAndRebuildOnlyWhenTheOrderChanged) {
    Select(1);
    ASSERT_EQ(ShownCaption(), "200 OK");
    const auto dialogAnswer1 = WhenModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "View Options");
        Control<QCheckBox>(dialog, 1013)->setChecked(false);
        Click(dialog, 1);
    });
    frame->action(ID_VIEW_OPTIONS)->trigger();
    EXPECT_FALSE(Preferences().show_res_body);
    EXPECT_EQ(ShownCaption(), "200 OK") << "same order: the message is only redrawn";
    EXPECT_EQ(frame->textControl().Text().find("0123456789abcdef"), std::string::npos);

    const auto dialogAnswer2 = WhenModal([](QWidget* dialog) {
        Control<QRadioButton>(dialog, 1009)->setChecked(true);
        Click(dialog, 2);
    });
    frame->action(ID_VIEW_OPTIONS)->trigger();
    EXPECT_EQ(Preferences().view_order, 0) << "Cancel changes nothing";
    EXPECT_EQ(ShownCaption(), "200 OK");

    const auto dialogAnswer3 = WhenModal([](QWidget* dialog) {
        Control<QRadioButton>(dialog, 1009)->click();
        Click(dialog, 1);
    });
    frame->action(ID_VIEW_OPTIONS)->trigger();
    EXPECT_EQ(Preferences().view_order, 1);
    EXPECT_EQ(ShownCaption(), "") << "a rebuilt tree shows no message";
    EXPECT_EQ(frame->textControl().TextLength(), 0U);
    EXPECT_TRUE(frame->treeWidget()->isVisible());
}

TEST_F(MainWindowTest, DecodedBodyIsACheckedEntryThatRedrawsTheMessage) {
    Select(1);
    QAction* decoded = frame->action(ID_VIEW_DECODED_BODY);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(decoded->isCheckable());
    EXPECT_TRUE(Preferences().decoded_body) << "on from the start";
    const std::string before = frame->textControl().Text();
    decoded->trigger();
    EXPECT_FALSE(Preferences().decoded_body);
    EXPECT_EQ(frame->textControl().Text(), before) << "plain text needs no decoding";
    frame->UpdateCommandUI();
    EXPECT_FALSE(decoded->isChecked());
    decoded->trigger();
    EXPECT_TRUE(Preferences().decoded_body);
}

TEST_F(MainWindowTest, CaptureOptionsRefuseABadSizeAndKeepTheDialogOpen) {
    std::vector<std::string> messages;
    const auto dialogAnswer4 = WhenModal([&messages](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Capture Options");
        auto* request = Control<QLineEdit>(dialog, 1004);
        EXPECT_EQ(request->text(), "256");
        Control<QCheckBox>(dialog, 1000)->setChecked(false);
        EXPECT_TRUE(request->isEnabled());
        for (const char* bad : {"0", "8001", ""}) {
            request->setText(bad);
            messages.push_back(CloseMessageBoxOf([&] { Click(dialog, 1); }, dialog));
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(dialog->focusWidget(), request);
        }
        Click(dialog, 2);
    });
    frame->action(ID_CAPTURE_OPTIONS)->trigger();
    EXPECT_EQ(messages, (std::vector<std::string>{"Please enter an integer between 1 and 8000.",
                                                  "Please enter an integer between 1 and 8000.",
                                                  "Please enter an integer."}));
    EXPECT_EQ(Preferences().max_req_size, 256);
    EXPECT_TRUE(Preferences().scan_req_body);

    const auto dialogAnswer5 = WhenModal([](QWidget* dialog) {
        Control<QLineEdit>(dialog, 1004)->setText("8000");
        Control<QLineEdit>(dialog, 1005)->setText("1");
        Click(dialog, 1);
    });
    frame->action(ID_CAPTURE_OPTIONS)->trigger();
    EXPECT_EQ(Preferences().max_req_size, 8000);
    EXPECT_EQ(Preferences().max_res_size, 1);
}

TEST_F(MainWindowTest, TheFilterDialogEnablesTheHostBoxWithItsSwitchAndKeepsAHistory) {
    Filter().hostHistory.Add("old.test");
    const auto dialogAnswer6 = WhenModal([](QWidget* dialog) {
        auto* hosts = Control<QComboBox>(dialog, 1032);
        EXPECT_FALSE(hosts->isEnabled());
        EXPECT_EQ(hosts->count(), 1);
        Click(dialog, 1022);
        EXPECT_TRUE(hosts->isEnabled());
        hosts->setEditText("127.0.0.1");
        Click(dialog, 1);
    });
    frame->action(ID_FILTER_OPTIONS)->trigger();
    EXPECT_EQ(Filter().m_hostText, "127.0.0.1");
    EXPECT_EQ(Filter().hostHistory[0], "127.0.0.1");
    EXPECT_EQ(Filter().hostHistory[1], "old.test");
    EXPECT_EQ(frame->treeControl().rowCount(), 20) << "the filter is off: nothing changes";
}

TEST_F(MainWindowTest, FindMessageThenFindNextMessageUntilNothingIsLeft) {
    const auto dialogAnswer7 = WhenModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Find message");
        EXPECT_TRUE(Control<QCheckBox>(dialog, 1039)->isChecked());
        EXPECT_TRUE(Control<QRadioButton>(dialog, 1041)->isChecked());
        Control<QComboBox>(dialog, 1034)->setEditText("Python");
        Click(dialog, 1);
    });
    frame->action(ID_FIND_MESSAGE)->trigger();
    EXPECT_EQ(FindSettings().history[0], "Python");
    EXPECT_NE(frame->textControl().Text().find("Python"), std::string::npos);
    EXPECT_TRUE(Enabled(ID_FIND_NEXT_MESSAGE));

    std::string notFound;
    for (int i = 0; i < 30 && notFound.empty(); ++i) {
        notFound = CloseMessageBoxOf([&] { frame->action(ID_FIND_NEXT_MESSAGE)->trigger(); });
        if (notFound.empty()) {
            EXPECT_NE(frame->textControl().Text().find("Python"), std::string::npos);
        }
    }
    EXPECT_EQ(notFound, "Cannot find the string 'Python'");
    EXPECT_FALSE(Enabled(ID_FIND_NEXT_MESSAGE));
}

TEST_F(MainWindowTest, SaveAsNewAndOpenAgainThroughTheFileDialogs) {
    const std::string saved = (user.path() / "copy").string();
    const auto dialogAnswer8 = WhenModal([&saved](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        // The dialog selects its initial file again when its folder has loaded, which can
        // happen after the answer on a busy machine: answer once it has, as a user would.
        auto* model = dialog->findChild<QFileSystemModel*>();
        ASSERT_NE(model, nullptr);
        QElapsedTimer waited;
        waited.start();
        while (model->rowCount(model->index(dialog->directory().absolutePath())) == 0 &&
               waited.elapsed() < 10'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(saved));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    frame->action(ID_FILE_SAVE_AS)->trigger();
    ASSERT_TRUE(std::filesystem::exists(saved + ".vtr"));
    EXPECT_EQ(frame->windowTitle(), "copy.vtr - Vantor");
    EXPECT_TRUE(frame->recentFileActions()[0]->isVisible());

    frame->action(ID_FILE_NEW)->trigger();
    EXPECT_EQ(frame->windowTitle(), "Untitled - Vantor");
    EXPECT_EQ(frame->treeControl().rowCount(), 0);

    frame->recentFileActions()[0]->trigger();
    frame->treeControl().Flush();
    EXPECT_EQ(frame->treeControl().rowCount(), 20);
    EXPECT_EQ(frame->windowTitle(), "copy.vtr - Vantor");
}

TEST_F(MainWindowTest, ClosingAModifiedDocumentAsksFirstAndCancelKeepsTheWindow) {
    frame->show();
    app.document().SetModifiedFlag(true);
    const std::string question = CloseMessageBoxOf([&] { frame->action(ID_APP_EXIT)->trigger(); });
    EXPECT_EQ(question, "Save changes to sample.vtr?");
    EXPECT_TRUE(frame->isVisible());
}

TEST_F(MainWindowTest, HelpOpensTheProgramPagesAndAboutNamesTheVersion) {
    frame->action(ID_HELP_CONTENTS)->trigger();
    EXPECT_TRUE(frame->help().isVisible());
    EXPECT_TRUE(frame->help().browser()->source().path().endsWith("/ui/help/vantor/index.htm"));
    frame->action(ID_HELP_HTTP)->trigger();
    EXPECT_TRUE(frame->help().browser()->source().path().endsWith("/ui/help/httphelp/index.htm"));

    const auto dialogAnswer9 = WhenModal([](QWidget* dialog) {
        auto* help = Control<QPushButton>(dialog, 1031);
        help->click();
        Click(dialog, 2);
    });
    frame->action(ID_FIND_MESSAGE)->trigger();
    EXPECT_TRUE(frame->help().browser()->source().path().endsWith("/vantor/dlg_find.htm"));

    std::string about;
    const auto dialogAnswer10 = WhenModal([&about](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "About Vantor");
        about = dialog->findChild<QLabel*>("text")->text().toStdString();
        Click(dialog, 1);
    });
    frame->action(ID_APP_ABOUT)->trigger();
    EXPECT_EQ(about, "Vantor  0.9");
}

}  // namespace
}  // namespace vantor
