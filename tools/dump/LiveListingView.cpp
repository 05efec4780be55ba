#include "tools/dump/LiveListingView.h"

#include "document/CSnifferDoc.h"

namespace vantor {

void LiveListingView::OnInitialUpdate() {
    ListingView::OnInitialUpdate();
    m_indexes.clear();
    m_unlisted.clear();
    m_next = 0;
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
    m_unlisted.emplace(m_next, &message);
    ++m_next;
}

void LiveListingView::OnUpdate(CView* sender, std::intptr_t hint, CObject* object) {
    ListingView::OnUpdate(sender, hint, object);
    auto* message = dynamic_cast<HTTPMessage*>(object);
    if (hint == HINT_REBUILD) {
        m_indexes.clear();
        m_unlisted.clear();
        m_next = 0;
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
                found != m_indexes.end() && m_unlisted.contains(found->second)) {
                List(*message);
            }
            break;
        case HINT_DROPPED:
            m_indexes.erase(message);
            break;
        default:
            ListIfComplete(*message);
            break;
    }
}

void LiveListingView::ListIfComplete(const HTTPMessage& message) {
    const auto found = m_indexes.find(&message);
    if (m_whenEnded || found == m_indexes.end() || !m_unlisted.contains(found->second)) {
        return;
    }
    const AssemblyState state = message.state();
    if (state != AssemblyState::New && state != AssemblyState::ReadingHeader) {
        List(message);
    }
}

void LiveListingView::List(const HTTPMessage& message) {
    const std::size_t index = m_indexes.at(&message);
    m_unlisted.erase(index);
    ++m_listed;
    WriteListingRow(m_output, index, message, m_indexes, m_format, m_bodies);
    m_output.flush();
}

void LiveListingView::Finish() {
    while (!m_unlisted.empty()) {
        List(*m_unlisted.begin()->second);
    }
}

}  // namespace vantor
