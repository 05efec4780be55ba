#pragma once

#include <cstddef>
#include <deque>
#include <ostream>

#include "tools/dump/ListingView.h"
#include "tools/dump/MessageListing.h"

namespace vantor {

// The listing of a live capture: each message's line is written as soon as its header is
// complete, in that order; a message that ends (in a document that keeps only open exchanges)
// or is still unlisted when Finish is called is listed then. A listing with bodies lists each
// message only when it ends (or at Finish), so that its body is whole. Messages are numbered in the
// order they were made, whether or not the document still holds the earlier ones; the view
// remembers only messages the document still holds. whenEnded lists every message only when it
// ends, as with bodies (an import, where nothing waits for the header alone).
class LiveListingView : public ListingView {
public:
    // A curl listing lists each request once it has ended, with its whole body.
    LiveListingView(std::ostream& output, ListingFormat format, bool bodies = false,
                    bool whenEnded = false)
        : m_output(output),
          m_format(format),
          m_bodies(bodies),
          m_whenEnded(bodies || whenEnded || format == ListingFormat::Curl) {}

    // Lists only the messages of exchanges query passes, each once that can be told (see
    // ListingVerdict); the query outlives the view.
    void SetQuery(const ExchangeQuery* query) { m_query = query; }

    // Whether each line is flushed as it is written (else the caller flushes now and then).
    void FlushEachLine(bool flush) { m_flushEachLine = flush; }

    // After a file was opened: lists what it holds, in document order.
    void OnInitialUpdate() override;
    void OnUpdate(CView* sender, std::intptr_t hint, CObject* object) override;
    void Finish();
    std::size_t listed() const { return m_listed; }
    // Messages the view still remembers (for the bounds of a long capture).
    std::size_t remembered() const { return m_indexes.size(); }

private:
    void Remember(const HTTPMessage& message);
    void ListIfComplete(const HTTPMessage& message);
    void List(const HTTPMessage& message);
    // Lists message now if its exchange passes the query, and takes it off the unlisted
    // otherwise; leaves it waiting while that cannot be told yet.
    void ListIfPasses(const HTTPMessage& message, bool ended);
    void TakeOff(std::size_t index);
    bool Unlisted(std::size_t index) const {
        return index >= m_firstUnlisted && index - m_firstUnlisted < m_unlisted.size() &&
               m_unlisted[index - m_firstUnlisted] != nullptr;
    }
    void Forget();

    std::ostream& m_output;
    ListingFormat m_format;
    bool m_bodies;
    bool m_whenEnded;
    bool m_flushEachLine = true;
    const ExchangeQuery* m_query = nullptr;
    MessageIndexes m_indexes;                              // held messages, by pointer
    // The messages from index m_firstUnlisted on, null once listed; the first is unlisted.
    std::deque<const HTTPMessage*> m_unlisted;
    std::size_t m_firstUnlisted = 0;
    std::size_t m_next = 0;
    std::size_t m_listed = 0;
};

}  // namespace vantor
