#pragma once

#include <cstdint>

namespace vantor {

// What a document or the frame tells its views, with an optional message.
enum UpdateHint : std::intptr_t {
    HINT_DATA = 0,          // bytes appended, caption unchanged; or: this message was selected
    HINT_NEW_RESPONSE = 1,  // a response was created
    HINT_NEW_REQUEST = 2,   // a request was created
    HINT_CAPTION = 3,       // bytes appended and the caption changed
    HINT_REBUILD = 4,       // the tree must be rebuilt from the lists
    HINT_VIEW_OPTIONS = 5,  // body display options changed
    // A document that keeps only open exchanges: the message will not grow any more (given
    // for each message of the exchanges that ended, in order), then is dropped.
    HINT_ENDED = 6,
    HINT_DROPPED = 7,
};

}  // namespace vantor
