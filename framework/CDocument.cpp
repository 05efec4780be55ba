#include "framework/CDocument.h"

#include <algorithm>

#include "framework/CView.h"

namespace vantor {

CDocument::~CDocument() {
    for (CView* view : m_views) {
        view->m_pDocument = nullptr;
    }
}

void CDocument::AddView(CView* view) {
    if (view->m_pDocument != nullptr) {
        view->m_pDocument->RemoveView(view);
    }
    m_views.push_back(view);
    view->m_pDocument = this;
}

void CDocument::RemoveView(CView* view) {
    auto found = std::find(m_views.begin(), m_views.end(), view);
    if (found != m_views.end()) {
        m_views.erase(found);
        view->m_pDocument = nullptr;
    }
}

void CDocument::UpdateAllViews(CView* sender, std::intptr_t hint, CObject* object) {
    // Index loop: a view may add or remove views while it handles the hint.
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        CView* view = m_views[i];
        if (view != sender) {
            view->OnUpdate(sender, hint, object);
        }
    }
}

void CDocument::SendInitialUpdate() {
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        m_views[i]->OnInitialUpdate();
    }
}

bool CDocument::OnNewDocument() {
    m_strPathName.clear();
    m_bModified = false;
    return true;
}

}  // namespace vantor
