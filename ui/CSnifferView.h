#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/CView.h"
#include "ui/HTTPHelpTopics.h"

namespace vantor {

class HTTPMessage;
class RichEditControl;

// The text of the message selected in the tree, kept current while more of it is captured.
// Read-only for the user, who can select, copy and search in it; a double click opens the HTTP
// reference page of the line.
class CSnifferView : public CView {
public:
    // beep: the error sound of a search that found nothing.
    CSnifferView(RichEditControl& control, HelpOpener& help, std::string helpFolder,
                 std::function<void()> beep);

    // Redraws of the shown message caused by new data are handed to schedule, which runs the
    // given redraw later (a window's timer): a message that grows record by record is then
    // redrawn a few times a second, not once per record, and the last redraw shows all of it.
    // Without it every change is shown at once.
    void SetRedrawScheduler(std::function<void(std::function<void()>)> schedule);

    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;

    HTTPMessage* currentMessage() const { return m_currentMessage; }
    RichEditControl& control() { return m_control; }
    const HTTPHelpTopics& helpTopics() const { return m_helpTopics; }

    // Edit commands and their enable rules.
    bool CanCopy() const;
    void Copy();
    bool CanFind() const;
    bool CanFindNext() const;
    // The Find dialog opened: its first search takes the selection as its initial position.
    void BeginFind();
    // One forward search from the selection (the dialog's Find Next button); selects the match
    // or beeps. Remembers the text and options for RepeatFind.
    bool Find(const std::string& what, bool matchCase, bool wholeWord);
    // Find Next (F3): the last search again.
    bool RepeatFind();

    void OnDoubleClick();

private:
    void Show(HTTPMessage* message);
    // With the decoded-body setting: the header, then the body decoded, laid out or dumped,
    // and a notice when decoding went wrong. False, showing nothing, when that would show the
    // text as it is.
    bool ShowDecoded(const HTTPMessage& message);
    // The shown message grew: appends only what came since it was shown when the control shows
    // its whole text, so that watching a large message arrive costs what arrives, not the
    // whole text each time; shows it anew otherwise.
    void ShowGrowth(HTTPMessage* message);
    void Clear();

    RichEditControl& m_control;
    HTTPHelpTopics m_helpTopics;
    std::function<void()> m_beep;
    std::function<void(std::function<void()>)> m_scheduleRedraw;
    bool m_redrawPending = false;
    // Lives as long as this view; a scheduled redraw that outlives the view does nothing.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    HTTPMessage* m_currentMessage = nullptr;
    // What the control shows of the current message: its whole text, without a notice, of
    // this many bytes.
    bool m_showsWholeText = false;
    std::size_t m_shownLength = 0;

    struct LastFind {
        std::string what;
        bool matchCase = false;
        bool wholeWord = false;
    };
    std::optional<LastFind> m_lastFind;
    // Where the searches since the dialog opened (or since one found nothing) began; once the
    // search has started over from the top, it ends there.
    std::optional<std::size_t> m_initialPosition;
    bool m_wrapped = false;
};

}  // namespace vantor
