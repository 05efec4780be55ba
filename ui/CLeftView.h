#pragma once

#include <string_view>

#include "framework/CView.h"
#include "platform/TreeControl.h"
#include "ui/MessageTreePresenter.h"

namespace vantor {

class CSnifferDoc;
class HTTPMessage;

// The message tree, left of the text: one top-level item per shown message, with the peer and
// the time as two detail lines under it. Its presenter builds and changes the items from every
// hint, by the filter and order options; the view turns a selection into the message shown on
// the right.
class CLeftView : public CView {
public:
    explicit CLeftView(TreeControl& tree);

    TreeControl& tree() { return m_tree; }
    CSnifferDoc* document() const;
    MessageTreePresenter& presenter() { return m_presenter; }

    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;

    // Expands (collapses) every top-level item, with the tree hidden meanwhile.
    void ExpandAll();
    void CollapseAll();

    // Searches the messages after (down) or before the selected one, not wrapping around, and
    // selects the first whose text holds what. A message's header alone is searched while the
    // view options hide its body (as the text view shows it), the whole text otherwise.
    bool FindNextMessage(std::string_view what, bool down, bool matchCase, bool wholeWord,
                         bool inResponses, bool inRequests);

private:
    void OnSelectionChanged(TreeItem item);

    TreeControl& m_tree;
    MessageTreePresenter m_presenter;
};

}  // namespace vantor
