#include "ui/MessageTextPresenter.h"

#include <cstring>
#include <string>
#include <vector>

#include "http/HTTPMessage.h"

namespace vantor {
namespace {

constexpr std::string_view kNoticeBodyHidden = "Body skipped. See View->Options...";
constexpr std::string_view kNoticeTooLarge =
    "Message exceeds maximum size.See Capture->Options...\n";

std::string SkippedNotice(std::int32_t skipped) {
    return std::to_string(static_cast<std::uint32_t>(skipped)) +
           " bytes skipped. See Capture->Options...\n";
}

// What the text view lays out at once: a text widget needs memory and time many times the
// bytes it shows, and far more for one long line, so a message of hundreds of megabytes (a
// header that never ends) is shown only in part. More than a message's largest size limit
// (8000 KB) fits.
constexpr std::size_t kMostShownBytes = kMostShown;
constexpr std::size_t kLongestShownLine = 1024 * 1024;

std::string NotShownNotice(std::size_t notShown) {
    return std::to_string(notShown) +
           " more bytes not shown: the view shows up to 8 MiB, in lines of up to 1 MiB.";
}

// The notice line is a 128-character buffer.
std::string NoticeLine(std::string_view notice) {
    return std::string(notice.substr(0, HTTPMessage::kNoticeSize - 1));
}

}  // namespace

bool ShowText(HTTPMessage& message, RichEditControl& control, bool showBody) {
    control.SetReadOnly(false);
    control.SetVisible(false);
    const std::string_view all = message.text();
    const AssemblyState state = message.state();
    const std::int64_t headerEnd = message.headerEnd();
    const std::int32_t skipped = message.skipped();
    const bool bodyHidden = state == AssemblyState::ReadingBody && !showBody && headerEnd >= 0 &&
                            headerEnd < static_cast<std::int64_t>(all.size()) - 1;
    // The part of the text shown, and the notice of the message's state (the one a response
    // keeps), which takes the place of a placeholder after it.
    std::string_view part = all;
    std::string notice;
    switch (state) {
        case AssemblyState::ReadingBody:
            if (bodyHidden) {
                part = all.substr(0, static_cast<std::size_t>(headerEnd));
                notice = kNoticeBodyHidden;
            } else if (skipped > 0 && showBody) {
                // Only bytes after a switch of protocol are counted while the body is read.
                notice = std::to_string(static_cast<std::uint32_t>(skipped)) +
                         " bytes after the switch of protocol are not shown.\n";
            }
            break;
        case AssemblyState::BodyFiltered:
            notice = SkippedNotice(skipped);
            break;
        case AssemblyState::BodyOff:
            if (skipped > 0) {
                notice = SkippedNotice(skipped);
            }
            break;
        case AssemblyState::TooLarge:
            notice = kNoticeTooLarge;
            break;
        case AssemblyState::New:
        case AssemblyState::ReadingHeader:
        default:
            break;
    }
    // Past what the view can lay out, the text is cut and says so before the state's notice.
    std::vector<std::string> notices;
    if (const std::size_t shown = ShownLength(part); shown < part.size()) {
        part = part.substr(0, shown);
        notices.push_back(NotShownNotice(all.size() - shown) + "\n");
    }
    if (!notice.empty()) {
        message.SetNotice(NoticeLine(notice));
        notices.push_back(message.notice());
    }
    if (message.HasMissing()) {
        notices.push_back("\n" + message.MissingNotice());
    }
    if (notices.empty()) {
        control.SetText(part);
    } else {
        control.SetText(std::string(part) + "?");  // the placeholder the notice replaces
        AppendNotice(control, notices.front());
        for (std::size_t i = 1; i < notices.size(); ++i) {
            const std::size_t length = control.TextLength();
            control.SetReadOnly(false);
            control.SetSelection(length, length);
            control.ReplaceSelection("?");
            AppendNotice(control, notices[i]);
        }
    }
    control.SetVisible(true);
    control.SetReadOnly(true);
    return notices.empty() &&
           (state == AssemblyState::New || state == AssemblyState::ReadingHeader ||
            state == AssemblyState::ReadingBody);
}

std::size_t ShownLength(std::string_view text) {
    const std::size_t end = std::min(text.size(), kMostShownBytes);
    std::size_t lineStart = 0;
    while (lineStart < end) {
        const void* lineFeed = std::memchr(text.data() + lineStart, '\n', end - lineStart);
        const std::size_t lineEnd =
            lineFeed != nullptr
                ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - text.data())
                : end;
        if (lineEnd - lineStart > kLongestShownLine) {
            return lineStart + kLongestShownLine;
        }
        lineStart = lineEnd + 1;
    }
    return end;
}

void AppendNotice(RichEditControl& control, std::string_view notice) {
    const std::size_t length = control.TextLength();
    const std::size_t placeholder = length > 0 ? length - 1 : 0;
    control.SetReadOnly(false);
    control.SetSelection(placeholder, length);
    control.ReplaceSelection(notice);
    control.SetSelection(placeholder, control.TextLength());
    control.SetSelectionColor(kNavy);
    control.SetSelection(0, 0);
    control.SetSelectionColor(kBlack);
    control.SetReadOnly(true);
}

}  // namespace vantor
