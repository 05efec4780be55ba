#pragma once

#include <cstdint>

namespace vantor {

class CDocument;
class CObject;

// A view shows a document and follows its update hints. The document owns the list of its
// views; a view learns its document when it is attached.
class CView {
public:
    CView() = default;
    CView(const CView&) = delete;
    CView& operator=(const CView&) = delete;
    virtual ~CView();

    CDocument* GetDocument() const { return m_pDocument; }

    // Called once the view is attached to its document, and again after the document was
    // started anew or loaded. The default treats it as a full update.
    virtual void OnInitialUpdate();

    // Called by CDocument::UpdateAllViews for every view but the sender.
    virtual void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) = 0;

private:
    friend class CDocument;
    CDocument* m_pDocument = nullptr;
};

}  // namespace vantor
