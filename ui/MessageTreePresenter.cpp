#include "ui/MessageTreePresenter.h"

#include <vector>

#include "document/CSnifferDoc.h"
#include "options/FilterOptions.h"

namespace vantor {

TreeItem InsertTreeItem(HTTPMessage& message, TreeControl& tree, TreeItem insertAfter) {
    message.BuildCaption();
    const TreeItem item =
        tree.InsertItem(kNoItem, insertAfter, message.ShownCaption(), message.GetTreeImage());
    tree.InsertItem(item, kInsertLast, message.peerText(), kImageDetailLine);
    tree.InsertItem(item, kInsertLast, message.timeText(), kImageDetailLine);
    if (const std::string process = message.processText(); !process.empty()) {
        tree.InsertItem(item, kInsertLast, process, kImageDetailLine);
    }
    return item;
}

TreeItem UpdateTreeItem(HTTPMessage& message, TreeControl& tree, TreeItem item) {
    message.BuildCaption();
    tree.SetItem(item, message.ShownCaption(), message.GetTreeImage());
    message.SetCaptionChanged(false);
    return item;
}

void MessageTreePresenter::RecordItem(HTTPMessage* message, TreeItem item) {
    if (const TreeItem* old = m_treeItems.Find(message); old != nullptr && *old != item) {
        m_messageOfItem.Erase(*old);
    }
    m_treeItems.Set(message, item);
    m_messageOfItem.Set(item, message);
}

void MessageTreePresenter::ForgetItem(HTTPMessage* message) {
    if (const TreeItem* item = m_treeItems.Find(message)) {
        m_messageOfItem.Erase(*item);
        m_treeItems.Erase(message);
    }
}

HTTPMessage* MessageTreePresenter::FindMessageByItem(TreeItem item) const {
    HTTPMessage* const* message = m_messageOfItem.Find(item);
    return message == nullptr ? nullptr : *message;
}

TreeItem MessageTreePresenter::ItemOf(const HTTPMessage* message) const {
    const TreeItem* item = m_treeItems.Find(message);
    return item == nullptr ? kNoItem : *item;
}

void MessageTreePresenter::RebuildTree(CSnifferDoc& document, TreeControl& tree,
                                       const FilterOptions& filter, Order order) {
    tree.Select(kNoItem);
    tree.SetVisible(false);
    m_treeItems.Clear();
    m_messageOfItem.Clear();
    m_filter.ForgetVerdicts();
    tree.DeleteAllItems();
    if (order.viewOrder == 0) {
        for (const auto& message : document.messages()) {
            if (m_filter.Passes(filter, *message)) {
                RecordItem(message.get(), InsertTreeItem(*message, tree, kInsertLast));
            }
        }
    } else {
        // By peer: each request, and right after it the response it was answered with; the
        // request's test decides for the pair.
        for (HTTPRequest* request : document.requests()) {
            if (!m_filter.Passes(filter, *request)) {
                continue;
            }
            TreeItem item = InsertTreeItem(*request, tree, kInsertLast);
            RecordItem(request, item);
            for (HTTPResponse* interim : request->interimResponses()) {
                item = InsertTreeItem(*interim, tree, item);
                RecordItem(interim, item);
            }
            if (HTTPResponse* response = request->response()) {
                RecordItem(response, InsertTreeItem(*response, tree, item));
            }
        }
    }
    document.SetTreeDirty(false);
    tree.SetVisible(true);
}

void MessageTreePresenter::UpdateTree(CSnifferDoc& document, TreeControl& tree, std::intptr_t hint,
                                      HTTPMessage* message, const FilterOptions& filter,
                                      Order order) {
    if (hint == HINT_REBUILD) {
        RebuildTree(document, tree, filter, order);
        return;
    }
    if (!document.treeDirty()) {
        return;
    }
    document.SetTreeDirty(false);
    if (message == nullptr) {
        return;
    }
    if (hint == HINT_CAPTION) {
        if (const TreeItem item = ItemOf(message); item != kNoItem) {
            UpdateTreeItem(*message, tree, item);
        }
    } else if (hint == HINT_NEW_REQUEST) {
        if (m_filter.Passes(filter, *message)) {
            RecordItem(message, InsertTreeItem(*message, tree, kInsertLast));
        }
    } else if (hint == HINT_NEW_RESPONSE && message->kind() == MessageKind::Response) {
        auto* response = static_cast<HTTPResponse*>(message);
        HTTPRequest* request = response->request();  // the one request whose response it is
        if (request == nullptr) {
            if (!m_filter.Passes(filter, *response)) {
                return;
            }
        } else if (!m_filter.Passes(filter, *request)) {
            // The response makes its request fail: the request's item goes, the response gets
            // none; in the order by peer, the interim responses shown with it go too.
            std::vector<HTTPMessage*> hidden{request};
            if (order.viewOrder == 1) {
                hidden.insert(hidden.end(), request->interimResponses().begin(),
                              request->interimResponses().end());
            }
            for (HTTPMessage* shown : hidden) {
                if (const TreeItem item = ItemOf(shown); item != kNoItem) {
                    ForgetItem(shown);
                    tree.DeleteItem(item);
                }
            }
            return;
        }
        TreeItem after = kInsertLast;
        if (order.viewOrder == 1 && request != nullptr) {
            // Right below its request, after the interim responses that came before it.
            after = ItemOf(request);
            for (const HTTPResponse* interim : request->interimResponses()) {
                if (const TreeItem item = ItemOf(interim); interim != response && item != kNoItem) {
                    after = item;
                }
            }
            if (after == kNoItem) {
                after = kInsertLast;
            }
        }
        RecordItem(response, InsertTreeItem(*response, tree, after));
    }
}

}  // namespace vantor
