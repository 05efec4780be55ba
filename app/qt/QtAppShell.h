#pragma once

#include <memory>

#include "app/CSnifferApp.h"

#include <QIcon>

namespace vantor {

class CMainFrame;

// The application's windows on Qt: the main frame, message boxes and file dialogs.
class QtAppShell : public AppShell {
public:
    QtAppShell();
    ~QtAppShell() override;

    // The application the frame is made for; set before start-up.
    void SetApp(CSnifferApp* app) { m_app = app; }
    CMainFrame* frame() const { return m_frame.get(); }
    void DestroyMainFrame();

    bool CreateMainFrame() override;
    void ShowMainFrame() override;
    void RaiseMainFrame() override;
    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    SaveAnswer AskSaveChanges(std::string_view text) override;
    std::optional<std::string> AskOpenPath() override;
    std::optional<std::string> AskSavePath(const std::string& suggested) override;
    std::optional<std::string> AskExportPath(const std::string& suggested) override;
    std::optional<std::string> AskImportPath() override;
    std::unique_ptr<ProgressTask> BeginProgress(std::string_view text) override;
    std::optional<ProgramToRun> AskProgramToRun(const InputHistory& commands,
                                                const InputHistory& folders) override;
    bool RunInLogWindow(const std::vector<std::string>& command, const std::string& folder,
                        const std::string& title) override;
    bool StartDetached(const std::vector<std::string>& command) override;
    void DocumentChanged() override;

private:
    CSnifferApp* m_app = nullptr;
    std::unique_ptr<CMainFrame> m_frame;
};

// The program's icon, drawn.
QIcon AppIcon();

}  // namespace vantor
