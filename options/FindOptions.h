#pragma once

#include <cstdint>
#include <string>

#include "options/InputHistory.h"

namespace vantor {

// The search across messages. Only text and history are persisted; the rest start at their
// defaults in every run.
struct FindOptions {
    std::int32_t direction = 1;  // 0 up, 1 down
    std::string text;
    InputHistory history;  // history_find0 (newest) to history_find9
    bool inRequests = true;
    bool inResponses = true;
    bool matchCase = false;
    bool wholeWord = false;
    bool lastSearchSucceeded = false;
};

}  // namespace vantor
