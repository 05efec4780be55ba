#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "framework/CommandIds.h"

namespace vantor {

class CLeftView;
class CSnifferDoc;
struct Options;

// The toolbar's pictures, numbered as in the strip.
enum ToolbarImage : int {
    kToolOpen = 0,
    kToolSave = 1,
    kToolNew = 2,
    kToolStart = 3,
    kToolStop = 4,
    kToolCaptureOptions = 5,
    kToolCopy = 6,
    kToolFindMessage = 7,
    kToolViewOptions = 8,
    kToolUnusedLetter = 9,
    kToolExpand = 10,
    kToolCollapse = 11,
    kToolFilterOn = 12,
    kToolFilterOptions = 13,
    kToolStartInactive = 14,
    kToolStopInactive = 15,
    kToolFilterOff = 16,
    kToolExpandInactive = 17,
    kToolCollapseInactive = 18,
    kToolImageCount = 19,
};

struct ToolbarPosition {
    bool separator = false;
    int command = ID_NONE;
    int image = -1;
    friend bool operator==(const ToolbarPosition&, const ToolbarPosition&) = default;
};

inline constexpr std::size_t kToolbarPositions = 17;
inline constexpr std::size_t kStartPosition = 4;
inline constexpr std::size_t kStopPosition = 5;
inline constexpr std::size_t kFilterPosition = 15;

// The texts of the frame's messages and status bar.
inline constexpr std::string_view kTextReady = "Ready";
inline constexpr std::string_view kTextCaptureEnabled = "Capture enabled";
inline constexpr std::string_view kTextCaptureDisabled = "Capture disabled";
inline constexpr std::string_view kTextCannotFindStringStart = "Cannot find the string '";

// The status bar's capture text: with the records this capture lost (captured programs that
// ended while handing one over), when it lost any.
std::string CaptureStatusText(bool capturing, std::uint64_t lostRecords,
                              std::uint64_t uncapturedPrograms = 0);

// The status-bar prompt and the tooltip of a command, or empty texts.
struct CommandPrompt {
    std::string_view status;
    std::string_view tooltip;
};
CommandPrompt PromptOf(int command);

// What the main window's commands do, without the window: the toolbar's changing positions,
// the enable rules, the filter switch, and what follows the option and search dialogs.
class FrameCommands {
public:
    explicit FrameCommands(Options& options);

    const std::array<ToolbarPosition, kToolbarPositions>& toolbar() const { return m_toolbar; }

    // Positions 4 and 5 follow the capture state; done whenever a command state is asked for.
    void UpdateCaptureButtons(bool capturing);
    // The enable rule of a command the frame decides on; true for the others.
    bool IsEnabled(int command, bool capturing) const;

    // The filter switch: sets it, turns the filter button over and rebuilds the tree.
    void EnableFilter(CSnifferDoc* document);
    void DisableFilter(CSnifferDoc* document);

    // View > Decoded Body: switches the setting and redraws the current message.
    void ToggleDecodedBody(CSnifferDoc* document);
    bool decodedBody() const;
    // After the View Options dialog: on OK stores its values; then, with a document, rebuilds
    // the tree (hidden meanwhile through showTree) if the order changed, and in every case
    // redraws the current message.
    void ViewOptionsClosed(bool ok, bool showRequestBody, bool showResponseBody, int order,
                           CSnifferDoc* document, const std::function<void(bool)>& showTree);
    // After the Filter dialog: rebuilds the tree when it ended with OK while the filter is on.
    void FilterOptionsClosed(bool ok, CSnifferDoc* document);

    // After the Find Message dialog, and for Find Next Message: searches with the stored
    // options. Returns the text of the message box to show when nothing was found.
    std::optional<std::string> FindMessageClosed(bool ok, CLeftView& tree);
    std::optional<std::string> FindNextMessage(CLeftView& tree);

private:
    std::optional<std::string> Search(CLeftView& tree);

    Options& m_options;
    std::array<ToolbarPosition, kToolbarPositions> m_toolbar;
};

}  // namespace vantor
