#pragma once

#include "framework/CView.h"

namespace vantor {

// A view of the sniffer document without a window. It keeps every message's caption current
// exactly as the message tree does (built when the message appears, again when its caption
// changes, and for every message on a rebuild and on the initial update after a file was
// opened), so that a document saved from the command line is the one the window would save.
class ListingView : public CView {
public:
    // As the tree's initial update: a rebuild.
    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;

private:
    void Rebuild();
};

}  // namespace vantor
