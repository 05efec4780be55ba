#pragma once

#include <QString>
#include <string_view>

namespace vantor {

// Our texts are UTF-8 (message bytes that are not come through as replacement characters).
inline QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace vantor
