#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options/InputHistory.h"

namespace vantor {

// A boolean held in 32 bits, as stored: a nonzero value read from the settings store is kept
// as it was and written back unchanged.
using Bool32 = std::int32_t;

// What the message tree shows when the filter is on: hosts, content classes and response-code
// classes. Persisted field names are the registry value names.
struct FilterOptions {
    bool m_bEnabled = false;    // not persisted: every run starts with the filter off
    Bool32 m_bHostEnabled = 0;  // not persisted
    Bool32 content_app = 1;
    Bool32 content_audio = 1;
    Bool32 content_image = 1;
    Bool32 content_text = 1;
    Bool32 content_without = 1;
    Bool32 content_other = 1;
    std::string m_hostText;           // persisted as host_text
    Bool32 rescode_client_error = 1;  // 4xx
    Bool32 rescode_info = 1;          // 1xx
    Bool32 rescode_other = 1;         // below 100 or above 599
    Bool32 rescode_redirect = 1;      // 3xx
    Bool32 rescode_server_error = 1;  // 5xx
    Bool32 rescode_success = 1;       // 2xx
    InputHistory hostHistory;         // HistoryHosts0 (newest) to HistoryHosts9

    // Derived from m_hostText by SplitHostWords.
    std::vector<std::string> m_hostWords;

    // Rebuilds m_hostWords: the trimmed host text cut at runs of spaces and tabs. Words keep
    // their case.
    void SplitHostWords();

    // The filter's tests; each passes everything while the filter is off.
    // A host passes when the host test is off or empty, or when it contains one of the host
    // words (exact bytes).
    bool CheckHost(std::string_view text) const;
    // A status code passes unless its class is switched off: 1xx, 2xx, 3xx, 4xx, 5xx, or other
    // (below 100 or above 599).
    bool CheckResponseCode(std::uint32_t code) const;
    // A content class (0 application, 1 text, 2 audio or video, 3 image, 4 other, 5 without
    // content) passes unless it is switched off; values outside 0 to 5 pass.
    bool CheckContentClass(std::int32_t contentClass) const;
};

}  // namespace vantor
