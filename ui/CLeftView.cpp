#include "ui/CLeftView.h"

#include "options/Options.h"
#include "document/CSnifferDoc.h"
#include "framework/TextSearcher.h"

namespace vantor {
namespace {

MessageTreePresenter::Order TreeOrder() {
    return {Preferences().view_order};
}

}  // namespace

CLeftView::CLeftView(TreeControl& tree) : m_tree(tree) {
    m_tree.SetSelectionHandler([this](TreeItem item) { OnSelectionChanged(item); });
}

CSnifferDoc* CLeftView::document() const {
    return dynamic_cast<CSnifferDoc*>(GetDocument());
}

void CLeftView::OnInitialUpdate() {
    m_tree.DeleteAllItems();
    if (CSnifferDoc* doc = document()) {
        m_presenter.UpdateTree(*doc, m_tree, HINT_REBUILD, nullptr, Filter(), TreeOrder());
    }
}

void CLeftView::OnUpdate(CView* /*sender*/, std::intptr_t hint, CObject* object) {
    if (hint == HINT_DATA) {
        return;
    }
    if (CSnifferDoc* doc = document()) {
        m_presenter.UpdateTree(*doc, m_tree, hint, HTTPMessage::Of(object), Filter(),
                               TreeOrder());
    }
}

void CLeftView::OnSelectionChanged(TreeItem item) {
    CSnifferDoc* doc = document();
    if (doc == nullptr) {
        return;
    }
    doc->UpdateAllViews(this, HINT_DATA, m_presenter.FindMessageByItem(item));
}

void CLeftView::ExpandAll() {
    m_tree.SetVisible(false);
    for (TreeItem item = m_tree.FirstChild(kNoItem); item != kNoItem;
         item = m_tree.NextSibling(item)) {
        m_tree.Expand(item);
    }
    m_tree.SetVisible(true);
}

void CLeftView::CollapseAll() {
    m_tree.SetVisible(false);
    for (TreeItem item = m_tree.FirstChild(kNoItem); item != kNoItem;
         item = m_tree.NextSibling(item)) {
        m_tree.Collapse(item);
    }
    m_tree.SetVisible(true);
}

bool CLeftView::FindNextMessage(std::string_view what, bool down, bool matchCase, bool wholeWord,
                                bool inResponses, bool inRequests) {
    CSnifferDoc* doc = document();
    if (doc == nullptr) {
        return false;
    }
    TreeItem start = m_tree.Selected();
    if (start != kNoItem && m_tree.Parent(start) != kNoItem) {
        start = m_tree.Parent(start);  // a detail line: start at its message
    }
    TreeItem item;
    if (start == kNoItem) {
        // Nothing selected: every message is searched, from the first (or the last).
        item = m_tree.FirstChild(kNoItem);
        if (!down) {
            for (TreeItem next = item; next != kNoItem; next = m_tree.NextSibling(next)) {
                item = next;
            }
        }
    } else {
        item = down ? m_tree.NextSibling(start) : m_tree.PreviousSibling(start);
    }
    const AppPreferences& preferences = Preferences();
    const TextSearcher searcher(what, matchCase);
    auto step = [&](TreeItem from) {
        return down ? m_tree.NextSibling(from) : m_tree.PreviousSibling(from);
    };
    // One message ahead is looked up, and its text asked for from memory, while this one is
    // searched: a search of a large document waits on memory more than it compares bytes.
    HTTPMessage* message = item != kNoItem ? m_presenter.FindMessageByItem(item) : nullptr;
    while (item != kNoItem) {
        const TreeItem nextItem = step(item);
        HTTPMessage* nextMessage = nextItem != kNoItem ? m_presenter.FindMessageByItem(nextItem) : nullptr;
        if (nextMessage != nullptr) {
            __builtin_prefetch(nextMessage->text().data());
        }
        if (message != nullptr) {
            const bool isRequest = message->kind() == MessageKind::Request;
            const bool searched = isRequest ? inRequests : inResponses;
            const bool headerOnly =
                !(isRequest ? preferences.show_req_body : preferences.show_res_body);
            if (searched && message->FindText(searcher, 0, headerOnly, wholeWord) != -1) {
                m_tree.Select(item);
                return true;
            }
        }
        item = nextItem;
        message = nextMessage;
    }
    return false;
}

}  // namespace vantor
