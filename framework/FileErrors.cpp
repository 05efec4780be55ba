#include "framework/FileErrors.h"

namespace vantor {

std::string FormatMessageText(std::string_view text, std::string_view argument) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '1') {
            result += argument;
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

}  // namespace vantor
