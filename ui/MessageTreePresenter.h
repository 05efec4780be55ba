#pragma once

#include <cstdint>

#include "document/MessageFilter.h"
#include "framework/FlatHandleMap.h"
#include "platform/TreeControl.h"

namespace vantor {

class CSnifferDoc;
class HTTPMessage;
struct FilterOptions;

// How the message tree presents one message: a top-level item with its caption and image, after
// insertAfter, and the peer and time as two detail lines under it. UpdateTreeItem sets the
// caption and image again and lowers the message's caption flag.
TreeItem InsertTreeItem(HTTPMessage& message, TreeControl& tree, TreeItem insertAfter);
TreeItem UpdateTreeItem(HTTPMessage& message, TreeControl& tree, TreeItem item);

// The message tree's picture of a document: which message each top-level item shows, both
// ways, so that selecting an item and finding a message's item take constant time; and the
// filter's verdicts.
class MessageTreePresenter {
public:
    // The order of the tree: 0 as captured, 1 by peer (each request with its responses).
    struct Order {
        std::int32_t viewOrder = 0;
    };

    // Hints 1 to 3 add or refresh one item, hint 4 (or any hint when nothing waits) rebuilds
    // the tree from the document's lists, filtered and in the order asked for.
    void UpdateTree(CSnifferDoc& document, TreeControl& tree, std::intptr_t hint,
                    HTTPMessage* message, const FilterOptions& filter, Order order);
    void RebuildTree(CSnifferDoc& document, TreeControl& tree, const FilterOptions& filter,
                     Order order);
    // The message whose top-level item this is, or null (a detail line, no item).
    HTTPMessage* FindMessageByItem(TreeItem item) const;
    // The top-level item of a message, or kNoItem when it is not shown.
    TreeItem ItemOf(const HTTPMessage* message) const;

    MessageFilter& filter() { return m_filter; }

private:
    void RecordItem(HTTPMessage* message, TreeItem item);
    void ForgetItem(HTTPMessage* message);

    FlatHandleMap<const HTTPMessage*, TreeItem> m_treeItems;
    FlatHandleMap<TreeItem, HTTPMessage*> m_messageOfItem;
    MessageFilter m_filter;
};

}  // namespace vantor
