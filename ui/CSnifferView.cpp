#include "ui/CSnifferView.h"

#include "content/BodyDecoder.h"
#include "content/MessageParts.h"
#include "document/CSnifferDoc.h"
#include "options/Options.h"
#include "platform/RichEditControl.h"
#include "ui/MessageTextPresenter.h"

namespace vantor {

namespace {

// Whether the view options show this kind of message's body.
bool ShowsBodyOf(const HTTPMessage& message) {
    const AppPreferences& preferences = Preferences();
    return message.kind() == MessageKind::Request ? preferences.show_req_body
                                                  : preferences.show_res_body;
}

// A decoded body of more than this is cut (a small stream can inflate without end); a binary
// one is dumped up to kMostDumped bytes.
constexpr std::size_t kMostDecoded = 8 * 1024 * 1024;
constexpr std::size_t kMostDumped = 1024 * 1024;

}  // namespace

CSnifferView::CSnifferView(RichEditControl& control, HelpOpener& help, std::string helpFolder,
                           std::function<void()> beep)
    : m_control(control), m_helpTopics(std::move(helpFolder), help), m_beep(std::move(beep)) {
    m_control.SetDoubleClickHandler([this] { OnDoubleClick(); });
}

void CSnifferView::SetRedrawScheduler(std::function<void(std::function<void()>)> schedule) {
    m_scheduleRedraw = std::move(schedule);
}

void CSnifferView::Clear() {
    m_currentMessage = nullptr;
    m_showsWholeText = false;
    m_control.SetDefaultColor(kBlack);
    m_control.SetText("");
}

void CSnifferView::OnInitialUpdate() {
    m_control.SetReadOnly(true);
    m_control.SetWordWrap(false);
    Clear();
}

void CSnifferView::Show(HTTPMessage* message) {
    if (message == nullptr) {
        return;
    }
    m_shownLength = message->text().size();
    if (Preferences().decoded_body && ShowsBodyOf(*message) && ShowDecoded(*message)) {
        m_showsWholeText = false;  // grows by showing it anew
        return;
    }
    m_showsWholeText = ShowText(*message, m_control, ShowsBodyOf(*message));
}

bool CSnifferView::ShowDecoded(const HTTPMessage& message) {
    const std::string body = BodyBytes(message);
    if (message.state() != AssemblyState::ReadingBody || body.empty()) {
        return false;
    }
    const HeaderLookup headers = message.headers();
    DecodedBody decoded = DecodeBody(body, headers.Find("transfer-encoding").value_or(""),
                                     headers.Find("content-encoding").value_or(""), kMostDecoded);
    if (message.HasMissing()) {
        decoded.notice += (decoded.notice.empty() ? "" : " ") + message.MissingNotice();
    }
    std::string shown;
    if (LooksLikeJson(headers.Find("content-type").value_or(""), decoded.bytes)) {
        shown = PrettyJson(decoded.bytes, kMostShown);
    }
    if (shown.empty() && !IsUtf8(decoded.bytes)) {
        const std::string_view dumped = std::string_view(decoded.bytes).substr(0, kMostDumped);
        shown = HexDump(dumped);
        if (dumped.size() < decoded.bytes.size() && decoded.notice.empty()) {
            decoded.notice = "The dump shows the first " + std::to_string(dumped.size()) + " of " +
                             std::to_string(decoded.bytes.size()) + " bytes.";
        }
    }
    if (shown.empty()) {
        if (!decoded.decoded && decoded.notice.empty()) {
            return false;  // text as it came: shown the usual way
        }
        shown = std::move(decoded.bytes);
    }
    const std::string_view text = message.text();
    std::string all(text.substr(0, text.size() - body.size()));
    all += shown;
    const std::size_t fits = ShownLength(all);
    if (fits < all.size()) {
        all.resize(fits);
        if (decoded.notice.empty()) {
            decoded.notice = "The view shows the first " + std::to_string(fits) + " bytes.";
        }
    }
    m_control.SetReadOnly(false);
    m_control.SetVisible(false);
    m_control.SetDefaultColor(kBlack);
    if (decoded.notice.empty()) {
        m_control.SetText(all);
    } else {
        m_control.SetText(all + (all.ends_with('\n') ? "?" : "\n?"));
        AppendNotice(m_control, decoded.notice + "\n");
    }
    m_control.SetVisible(true);
    m_control.SetReadOnly(true);
    return true;
}

void CSnifferView::ShowGrowth(HTTPMessage* message) {
    const std::string_view text = message->text();
    // A line break split between the shown text and the rest (CR, then LF) is one break, which
    // the control must see whole.
    if (!m_showsWholeText || !ShowsBodyOf(*message) ||
        message->state() != AssemblyState::ReadingBody || text.size() < m_shownLength ||
        (m_shownLength > 0 && text[m_shownLength - 1] == '\r') || ShownLength(text) < text.size()) {
        Show(message);
        return;
    }
    if (text.size() == m_shownLength) {
        return;
    }
    const auto [start, end] = m_control.Selection();
    const std::size_t length = m_control.TextLength();
    m_control.SetReadOnly(false);
    m_control.SetSelection(length, length);
    m_control.ReplaceSelection(text.substr(m_shownLength));
    m_control.SetSelection(start, end);
    m_control.SetReadOnly(true);
    m_shownLength = text.size();
}

void CSnifferView::OnUpdate(CView* sender, std::intptr_t hint, CObject* object) {
    if (hint == HINT_VIEW_OPTIONS) {
        Show(m_currentMessage);
        return;
    }
    if (hint == HINT_REBUILD) {
        Clear();
        return;
    }
    auto* message = HTTPMessage::Of(object);
    if (message == nullptr) {
        return;
    }
    if (sender != nullptr) {  // the tree: a new selection
        if (message != m_currentMessage) {
            m_currentMessage = message;
            Show(message);
        }
        return;
    }
    if (message != m_currentMessage) {
        return;
    }
    if (!m_scheduleRedraw) {
        Show(message);
    } else if (!m_redrawPending) {
        m_redrawPending = true;
        m_scheduleRedraw([this, message, alive = std::weak_ptr<int>(m_alive)] {
            if (alive.expired()) {
                return;  // this view is gone
            }
            m_redrawPending = false;
            // As it is then; unless another message was selected meanwhile, and shown then.
            if (message == m_currentMessage) {
                ShowGrowth(m_currentMessage);
            }
        });
    }
}

bool CSnifferView::CanCopy() const {
    const auto [start, end] = m_control.Selection();
    return start != end;
}

void CSnifferView::Copy() {
    if (CanCopy()) {
        m_control.CopySelection();
    }
}

bool CSnifferView::CanFind() const {
    return m_control.TextLength() > 0;
}

bool CSnifferView::CanFindNext() const {
    return CanFind() && m_lastFind.has_value();
}

void CSnifferView::BeginFind() {
    m_initialPosition.reset();
}

bool CSnifferView::Find(const std::string& what, bool matchCase, bool wholeWord) {
    m_lastFind = LastFind{what, matchCase, wholeWord};
    const auto [selectionStart, selectionEnd] = m_control.Selection();
    if (!m_initialPosition) {
        m_initialPosition = selectionStart;
        m_wrapped = false;
    }
    const std::size_t length = m_control.TextLength();
    const std::size_t from =
        std::min(selectionStart + (selectionStart != selectionEnd ? 1 : 0), length);
    const std::size_t to = m_wrapped ? *m_initialPosition : length;
    std::optional<std::pair<std::size_t, std::size_t>> match;
    if (from <= to) {
        match = m_control.Find(what, from, to, matchCase, wholeWord);
    }
    if (!match.has_value() && !m_wrapped && *m_initialPosition > 0) {
        // Once over from the top, up to where the searching began.
        m_wrapped = true;
        match = m_control.Find(what, 0, *m_initialPosition, matchCase, wholeWord);
    }
    if (match.has_value()) {
        const auto [start, end] = *match;
        m_control.SetSelection(start, end);
        return true;
    }
    m_initialPosition.reset();  // the next search begins anew where the selection is
    if (m_beep) {
        m_beep();
    }
    return false;
}

bool CSnifferView::RepeatFind() {
    if (!m_lastFind) {
        return false;
    }
    const LastFind last = *m_lastFind;
    return Find(last.what, last.matchCase, last.wholeWord);
}

void CSnifferView::OnDoubleClick() {
    m_helpTopics.HelpForCaretLine(m_control);
}

}  // namespace vantor
