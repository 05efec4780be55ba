#pragma once

#include <cstddef>
#include <ostream>
#include <vector>

#include "tools/dump/ListingView.h"
#include "tools/dump/MessageListing.h"

namespace vantor {

// The listing of a live capture: each message's line is written as soon as its header is
// complete, in that order; Finish writes the lines of the messages whose header never
// completed.
class LiveListingView : public ListingView {
public:
    LiveListingView(std::ostream& output, ListingFormat format)
        : m_output(output), m_format(format) {}

    // After a file was opened: lists what it holds, in document order.
    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;
    void Finish();
    std::size_t listed() const { return m_listed; }

private:
    void ListIfComplete(const HTTPMessage& message);
    void List(const HTTPMessage& message, std::size_t index);

    std::ostream& m_output;
    ListingFormat m_format;
    MessageIndexes m_indexes;
    std::vector<bool> m_done;  // by index: the line was written
    std::size_t m_listed = 0;
};

}  // namespace vantor
