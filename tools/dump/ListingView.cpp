#include "tools/dump/ListingView.h"

#include "document/CSnifferDoc.h"

namespace vantor {

void ListingView::OnInitialUpdate() {
    Rebuild();
}

void ListingView::Rebuild() {
    if (auto* document = dynamic_cast<CSnifferDoc*>(GetDocument())) {
        for (const auto& message : document->messages()) {
            message->BuildCaption();
        }
    }
}

void ListingView::OnUpdate(CView* /*sender*/, std::intptr_t hint, CObject* object) {
    auto* message = HTTPMessage::Of(object);
    switch (hint) {
        case HINT_NEW_REQUEST:
        case HINT_NEW_RESPONSE:
            if (message != nullptr) {
                message->BuildCaption();
            }
            break;
        case HINT_CAPTION:
            if (message != nullptr) {
                message->BuildCaption();
                message->SetCaptionChanged(false);
            }
            break;
        case HINT_REBUILD:
            Rebuild();
            break;
        default:
            break;
    }
}

}  // namespace vantor
