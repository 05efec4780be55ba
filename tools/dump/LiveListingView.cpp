#include "tools/dump/LiveListingView.h"

#include "document/CSnifferDoc.h"
#include "document/ExchangeQuery.h"

namespace vantor {

void LiveListingView::Forget() {
    m_indexes.clear();
    m_unlisted.clear();
    m_firstUnlisted = 0;
    m_next = 0;
}

void LiveListingView::OnInitialUpdate() {
    ListingView::OnInitialUpdate();
    Forget();
    auto* document = dynamic_cast<CSnifferDoc*>(GetDocument());
    if (document == nullptr) {
        return;
    }
    for (const auto& message : document->messages()) {
        Remember(*message);
    }
    Finish();
}

void LiveListingView::Remember(const HTTPMessage& message) {
    m_indexes[&message] = m_next;
    if (m_unlisted.empty()) {
        m_firstUnlisted = m_next;
    }
    m_unlisted.push_back(&message);
    ++m_next;
}

void LiveListingView::OnUpdate(CView* sender, std::intptr_t hint, CObject* object) {
    ListingView::OnUpdate(sender, hint, object);
    auto* message = HTTPMessage::Of(object);
    if (hint == HINT_REBUILD) {
        Forget();
    }
    if (message == nullptr) {
        return;
    }
    switch (hint) {
        case HINT_NEW_REQUEST:
        case HINT_NEW_RESPONSE:
            Remember(*message);
            ListIfComplete(*message);
            break;
        case HINT_ENDED:
            // Listed now whatever its state: it will not grow any more.
            if (const auto found = m_indexes.find(message);
                found != m_indexes.end() && Unlisted(found->second)) {
                ListIfPasses(*message, true);
            }
            break;
        case HINT_DROPPED:
            m_indexes.erase(message);
            break;
        default:
            ListIfComplete(*message);
            break;
    }
    // The head of a response may decide its request's listing.
    if (m_query != nullptr && message->kind() == MessageKind::Response && hint != HINT_DROPPED) {
        if (const HTTPRequest* request = static_cast<const HTTPResponse*>(message)->request()) {
            ListIfComplete(*request);
        }
    }
}

void LiveListingView::ListIfPasses(const HTTPMessage& message, bool ended) {
    if (m_query == nullptr) {
        List(message);
        return;
    }
    const std::optional<bool> verdict = ListingVerdict(*m_query, message, ended);
    if (!verdict) {
        return;
    }
    if (*verdict) {
        List(message);
    } else {
        TakeOff(m_indexes.at(&message));
    }
}

void LiveListingView::TakeOff(std::size_t index) {
    if (Unlisted(index)) {
        m_unlisted[index - m_firstUnlisted] = nullptr;
        while (!m_unlisted.empty() && m_unlisted.front() == nullptr) {
            m_unlisted.pop_front();
            ++m_firstUnlisted;
        }
    }
}

void LiveListingView::ListIfComplete(const HTTPMessage& message) {
    const auto found = m_indexes.find(&message);
    if (m_whenEnded || found == m_indexes.end() || !Unlisted(found->second)) {
        return;
    }
    const AssemblyState state = message.state();
    if (state != AssemblyState::New && state != AssemblyState::ReadingHeader) {
        ListIfPasses(message, false);
    }
}

void LiveListingView::List(const HTTPMessage& message) {
    const std::size_t index = m_indexes.at(&message);
    TakeOff(index);
    // A curl listing counts the commands it writes: one per request.
    if (m_format != ListingFormat::Curl || message.kind() == MessageKind::Request) {
        ++m_listed;
    }
    WriteListingRow(m_output, index, message, m_indexes, m_format, m_bodies);
    if (m_flushEachLine) {
        m_output.flush();
    }
}

void LiveListingView::Finish() {
    while (!m_unlisted.empty()) {
        ListIfPasses(*m_unlisted.front(), true);
    }
}

}  // namespace vantor
