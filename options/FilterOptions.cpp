#include "options/FilterOptions.h"

#include <algorithm>

#include "platform/AsciiText.h"

namespace vantor {

void FilterOptions::SplitHostWords() {
    m_hostWords.clear();
    std::string_view rest = TrimAsciiSpace(m_hostText);
    while (true) {
        const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
        if (end == 0) {
            return;
        }
        m_hostWords.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end);
        while (!rest.empty() && IsAsciiSpace(rest.front())) {
            rest.remove_prefix(1);
        }
    }
}

bool FilterOptions::CheckHost(std::string_view text) const {
    if (!m_bEnabled || m_bHostEnabled == 0 || m_hostText.empty()) {
        return true;
    }
    return std::any_of(m_hostWords.begin(), m_hostWords.end(), [&](const std::string& word) {
        return text.find(word) != std::string_view::npos;
    });
}

bool FilterOptions::CheckResponseCode(std::uint32_t code) const {
    if (!m_bEnabled) {
        return true;
    }
    Bool32 shown = rescode_other;
    if (code >= 100 && code <= 199) {
        shown = rescode_info;
    } else if (code >= 200 && code <= 299) {
        shown = rescode_success;
    } else if (code >= 300 && code <= 399) {
        shown = rescode_redirect;
    } else if (code >= 400 && code <= 499) {
        shown = rescode_client_error;
    } else if (code >= 500 && code <= 599) {
        shown = rescode_server_error;
    }
    return shown != 0;
}

bool FilterOptions::CheckContentClass(std::int32_t contentClass) const {
    if (!m_bEnabled) {
        return true;
    }
    switch (contentClass) {
        case 0:
            return content_app != 0;
        case 1:
            return content_text != 0;
        case 2:
            return content_audio != 0;
        case 3:
            return content_image != 0;
        case 4:
            return content_other != 0;
        case 5:
            return content_without != 0;
        default:
            return true;
    }
}

}  // namespace vantor
