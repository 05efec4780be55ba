#include "framework/CView.h"

#include "framework/CDocument.h"

namespace vantor {

CView::~CView() {
    if (m_pDocument != nullptr) {
        m_pDocument->RemoveView(this);
    }
}

void CView::OnInitialUpdate() {
    OnUpdate(nullptr, 0, nullptr);
}

}  // namespace vantor
