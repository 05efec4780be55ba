#include "tools/dump/LiveListingView.h"

#include "document/CSnifferDoc.h"

namespace vantor {

void LiveListingView::OnInitialUpdate() {
    ListingView::OnInitialUpdate();
    m_indexes.clear();
    m_done.clear();
    auto* document = dynamic_cast<CSnifferDoc*>(GetDocument());
    if (document == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < document->messages().size(); ++i) {
        m_indexes[document->messages()[i].get()] = i;
        m_done.push_back(false);
    }
    Finish();
}

void LiveListingView::OnUpdate(CView* sender, std::intptr_t hint, CObject* object) {
    ListingView::OnUpdate(sender, hint, object);
    auto* message = dynamic_cast<HTTPMessage*>(object);
    auto* document = dynamic_cast<CSnifferDoc*>(GetDocument());
    if (hint == HINT_REBUILD) {
        m_indexes.clear();
        m_done.clear();
    }
    if (message == nullptr || document == nullptr) {
        return;
    }
    if (hint == HINT_NEW_REQUEST || hint == HINT_NEW_RESPONSE) {
        m_indexes[message] = document->messages().size() - 1;
        m_done.push_back(false);
    }
    ListIfComplete(*message);
}

void LiveListingView::ListIfComplete(const HTTPMessage& message) {
    const auto found = m_indexes.find(&message);
    if (found == m_indexes.end() || m_done[found->second]) {
        return;
    }
    const AssemblyState state = message.state();
    if (state != AssemblyState::New && state != AssemblyState::ReadingHeader) {
        List(message, found->second);
    }
}

void LiveListingView::List(const HTTPMessage& message, std::size_t index) {
    m_done[index] = true;
    ++m_listed;
    WriteListingRow(m_output, index, message, m_indexes, m_format);
    m_output.flush();
}

void LiveListingView::Finish() {
    auto* document = dynamic_cast<CSnifferDoc*>(GetDocument());
    if (document == nullptr) {
        return;
    }
    for (const auto& message : document->messages()) {
        const auto found = m_indexes.find(message.get());
        if (found != m_indexes.end() && !m_done[found->second]) {
            List(*message, found->second);
        }
    }
}

}  // namespace vantor
