#include "ui/FrameCommands.h"

#include "document/CSnifferDoc.h"
#include "document/UpdateHint.h"
#include "options/Options.h"
#include "ui/CLeftView.h"

namespace vantor {

namespace {

constexpr ToolbarPosition Button(int command, int image) {
    return ToolbarPosition{false, command, image};
}
constexpr ToolbarPosition kSeparator{true, ID_NONE, -1};

struct PromptEntry {
    int command;
    std::string_view text;
};

constexpr PromptEntry kPrompts[] = {
    {ID_FIND_NEXT_MESSAGE, "Find next message\nFind next message"},
    {ID_CAPTURE_START, "Start capture\nStart"},
    {ID_CAPTURE_STOP, "Stop capture\nStop"},
    {ID_CAPTURE_OPTIONS, "Edits the capture options\nCapture options"},
    {ID_VIEW_OPTIONS, "Edits the view options\nView options"},
    {ID_FILTER_ENABLE, "Enable filter\nEnable filter"},
    {ID_FILTER_DISABLE, "Disable filter\nDisable filter"},
    {ID_FILTER_OPTIONS, "Edits the filter options\nFilter options"},
    {ID_VIEW_EXPAND_ALL, "Expand all message captions\nExpand all"},
    {ID_VIEW_COLLAPSE_ALL, "Collapse all message captions\nCollapse all"},
    {ID_FIND_MESSAGE, "Find message\nFind message"},
    {ID_FILE_NEW, "Create a new document\nNew"},
    {ID_FILE_OPEN, "Open an existing document\nOpen"},
    {ID_FILE_SAVE, "Save the active document\nSave"},
    {ID_FILE_SAVE_AS, "Save the active document with a new name\nSave As"},
    {ID_CAPTURE_TERMINAL,
     "Open a terminal whose programs are captured (starts capture)\nOpen Terminal"},
    {ID_FILE_EXPORT_HAR, "Export the messages as an HTTP Archive (HAR)\nExport HAR"},
    {ID_FILE_IMPORT_CAPTURE,
     "Read the HTTP of a packet capture (pcap or pcapng) into a new document\nImport Capture"},
    {ID_CAPTURE_RUN_PROGRAM,
     "Run a program whose HTTP is captured, its output in a window (starts capture)\nRun "
     "Program"},
    {ID_CAPTURE_ALL_PROGRAMS,
     "Capture every program on this machine, started through vantor-run or not (asks for an "
     "administrator's password)\nCapture All Programs"},
    {ID_FILE_MRU_FILE1, "Open this document"},
    {ID_EDIT_COPY, "Copy the selection and put it on the Clipboard\nCopy"},
    {ID_EDIT_FIND, "Find the specified text in current message\nFind"},
    {ID_EDIT_REPEAT, "Find the specified text in current message"},
    {ID_APP_EXIT, "Quit the application; prompts to save documents\nExit"},
    {ID_VIEW_STATUS_BAR, "Show or hide the status bar\nToggle StatusBar"},
    {ID_VIEW_DECODED_BODY,
     "Show bodies decoded: codings removed, JSON laid out, binary as hex\nDecoded body"},
    {ID_VIEW_EXCHANGE_LIST,
     "Show one row per exchange, with a filter bar, and the request beside its response\n"
     "Exchange List"},
    {ID_VIEW_MESSAGE_TREE, "Show every message in a tree, and its text\nMessage Tree"},
    {ID_EXCHANGE_COPY_URL, "Copy the URL of the selected exchanges\nCopy URL"},
    {ID_EXCHANGE_COPY_CURL,
     "Copy a curl command that sends the selected requests again\nCopy as curl"},
    {ID_EXCHANGE_COPY_REQUEST, "Copy the selected request as it was sent\nCopy Request"},
    {ID_EXCHANGE_COPY_RESPONSE, "Copy the selected response as it came\nCopy Response"},
    {ID_EXCHANGE_SAVE_BODY, "Save the selected response's body, decoded, to a file\nSave Body"},
    {ID_EXCHANGE_EXPORT_HAR,
     "Export the selected exchanges as an HTTP Archive (HAR)\nExport Selected as HAR"},
    {ID_EXCHANGE_FILTER_HOST, "Show only exchanges with this host\nFilter on Host"},
    {ID_EXCHANGE_FILTER_STATUS, "Show only exchanges with this status\nFilter on Status"},
    {ID_EXCHANGE_FILTER_TYPE, "Show only exchanges with this content type\nFilter on Type"},
};

}  // namespace

CommandPrompt PromptOf(int command) {
    for (const PromptEntry& entry : kPrompts) {
        if (entry.command == command) {
            const std::size_t newline = entry.text.find('\n');
            if (newline == std::string_view::npos) {
                return {entry.text, {}};
            }
            return {entry.text.substr(0, newline), entry.text.substr(newline + 1)};
        }
    }
    return {};
}

FrameCommands::FrameCommands(Options& options)
    : m_options(options),
      m_toolbar{Button(ID_FILE_OPEN, kToolOpen),
                Button(ID_FILE_SAVE, kToolSave),
                Button(ID_FILE_NEW, kToolNew),
                kSeparator,
                Button(ID_CAPTURE_START, kToolStart),
                Button(ID_CAPTURE_STOP, kToolStopInactive),
                Button(ID_CAPTURE_OPTIONS, kToolCaptureOptions),
                kSeparator,
                Button(ID_EDIT_COPY, kToolCopy),
                Button(ID_FIND_MESSAGE, kToolFindMessage),
                kSeparator,
                Button(ID_VIEW_OPTIONS, kToolViewOptions),
                Button(ID_VIEW_EXPAND_ALL, kToolExpand),
                Button(ID_VIEW_COLLAPSE_ALL, kToolCollapse),
                kSeparator,
                Button(ID_FILTER_ENABLE, kToolFilterOff),
                Button(ID_FILTER_OPTIONS, kToolFilterOptions)} {}

void FrameCommands::UpdateCaptureButtons(bool capturing) {
    if (capturing) {
        m_toolbar[kStartPosition] = Button(ID_NONE, kToolStartInactive);
        m_toolbar[kStopPosition] = Button(ID_CAPTURE_STOP, kToolStop);
    } else {
        m_toolbar[kStartPosition] = Button(ID_CAPTURE_START, kToolStart);
        m_toolbar[kStopPosition] = Button(ID_NONE, kToolStopInactive);
    }
}

bool FrameCommands::IsEnabled(int command, bool capturing) const {
    switch (command) {
        case ID_CAPTURE_START:
            return !capturing;
        case ID_CAPTURE_STOP:
            return capturing;
        case ID_FIND_NEXT_MESSAGE:
            return m_options.find.lastSearchSucceeded;
        case ID_NONE:
            return false;
        default:
            return true;
    }
}

void FrameCommands::EnableFilter(CSnifferDoc* document) {
    m_options.filter.m_bEnabled = true;
    m_toolbar[kFilterPosition] = Button(ID_FILTER_DISABLE, kToolFilterOn);
    if (document != nullptr) {
        document->UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    }
}

void FrameCommands::DisableFilter(CSnifferDoc* document) {
    m_options.filter.m_bEnabled = false;
    m_toolbar[kFilterPosition] = Button(ID_FILTER_ENABLE, kToolFilterOff);
    if (document != nullptr) {
        document->UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    }
}

bool FrameCommands::decodedBody() const {
    return m_options.preferences.decoded_body;
}

void FrameCommands::ToggleDecodedBody(CSnifferDoc* document) {
    m_options.preferences.decoded_body = !m_options.preferences.decoded_body;
    if (document != nullptr) {
        document->UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
    }
}

void FrameCommands::ViewOptionsClosed(bool ok, bool showRequestBody, bool showResponseBody,
                                      int order, CSnifferDoc* document,
                                      const std::function<void(bool)>& showTree) {
    AppPreferences& preferences = m_options.preferences;
    const std::int32_t orderBefore = preferences.view_order;
    if (ok) {
        preferences.show_req_body = showRequestBody;
        preferences.show_res_body = showResponseBody;
        preferences.view_order = order;
    }
    if (document == nullptr) {
        return;
    }
    if (preferences.view_order != orderBefore) {
        showTree(false);
        document->UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
        showTree(true);
    }
    document->UpdateAllViews(nullptr, HINT_VIEW_OPTIONS, nullptr);
}

void FrameCommands::FilterOptionsClosed(bool ok, CSnifferDoc* document) {
    if (ok && m_options.filter.m_bEnabled && document != nullptr) {
        document->UpdateAllViews(nullptr, HINT_REBUILD, nullptr);
    }
}

std::optional<std::string> FrameCommands::FindMessageClosed(bool ok, CLeftView& tree) {
    if (!ok || m_options.find.text.empty()) {
        return std::nullopt;
    }
    return Search(tree);
}

std::optional<std::string> FrameCommands::FindNextMessage(CLeftView& tree) {
    return Search(tree);
}

std::optional<std::string> FrameCommands::Search(CLeftView& tree) {
    FindOptions& find = m_options.find;
    const bool found = tree.FindNextMessage(find.text, find.direction == 1, find.matchCase,
                                            find.wholeWord, find.inResponses, find.inRequests);
    find.lastSearchSucceeded = found;
    if (found) {
        return std::nullopt;
    }
    return std::string(kTextCannotFindStringStart) + find.text + "'";
}

std::string CaptureStatusText(bool capturing, std::uint64_t lostRecords,
                              std::uint64_t uncapturedPrograms) {
    if (!capturing) {
        return std::string(kTextCaptureDisabled);
    }
    std::string said;
    if (lostRecords != 0) {
        said = std::to_string(lostRecords) + (lostRecords == 1 ? " record lost" : " records lost");
    }
    if (uncapturedPrograms != 0) {
        said += (said.empty() ? "" : ", ") + std::to_string(uncapturedPrograms) +
                (uncapturedPrograms == 1 ? " program" : " programs") +
                " without memory for capture";
    }
    return said.empty() ? std::string(kTextCaptureEnabled)
                        : std::string(kTextCaptureEnabled) + " (" + said + ")";
}

}  // namespace vantor
