#include "options/AppPreferences.h"

#include "platform/AsciiText.h"

namespace vantor {

namespace {

// The first double quote at or after from that is not preceded by a backslash.
std::size_t FindClosingQuote(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '"' && (i == 0 || text[i - 1] != '\\')) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::string UnescapeQuotes(std::string_view item) {
    std::string result;
    result.reserve(item.size());
    for (std::size_t i = 0; i < item.size(); ++i) {
        if (item[i] == '\\' && i + 1 < item.size() && item[i + 1] == '"') {
            result.push_back('"');
            ++i;
        } else {
            result.push_back(item[i]);
        }
    }
    return result;
}

}  // namespace

void AppPreferences::ParseContentTypes() {
    allowedContentList.clear();
    allowWithoutContentType = false;
    const std::string_view text = allowed_content;
    std::size_t position = 0;
    while (true) {
        const std::size_t open = text.find('"', position);
        if (open == std::string_view::npos) {
            return;
        }
        const std::size_t close = FindClosingQuote(text, open + 1);
        if (close == std::string_view::npos) {
            return;
        }
        if (close == open + 1) {
            allowWithoutContentType = true;
        } else {
            std::string item = UnescapeQuotes(text.substr(open + 1, close - open - 1));
            AsciiLowerInPlace(item);
            if (!item.empty()) {
                allowedContentList.push_back(std::move(item));
            }
        }
        position = close + 1;
    }
}

}  // namespace vantor
