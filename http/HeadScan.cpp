#include "http/HeadScan.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vantor {

namespace {

// The first "\r\n\r\n" or "\n\n" of text from `from` on, looking only at LF bytes; each LF
// before it is shown to atLineFeed. Both patterns begin at or just before their first LF, so the
// first LF that completes either one gives the earlier of the two.
template <typename AtLineFeed>
std::optional<HeadTerminator> FindTerminator(std::string_view text, std::size_t from,
                                             AtLineFeed atLineFeed) {
    const std::size_t size = text.size();
    std::size_t i = from;
    while (i < size) {
        const void* found = std::memchr(text.data() + i, '\n', size - i);
        if (found == nullptr) {
            return std::nullopt;
        }
        i = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        if (i > 0 && i + 2 < size && text[i - 1] == '\r' && text[i + 1] == '\r' &&
            text[i + 2] == '\n') {
            return HeadTerminator{i - 1, 4};
        }
        if (i + 1 < size && text[i + 1] == '\n') {
            return HeadTerminator{i, 2};
        }
        atLineFeed(i);
        ++i;
    }
    return std::nullopt;
}

}  // namespace

std::optional<HeadTerminator> FindHeadTerminator(std::string_view text, std::size_t from) {
    return FindTerminator(text, from, [](std::size_t) {});
}

std::optional<std::size_t> HeadEndAfter(std::string_view tail, std::string_view data) {
    // The head holds no terminator: one that ends in data either begins in the head's last
    // three bytes, or lies in data alone, and the first of those begins earlier.
    const std::size_t kept = std::min<std::size_t>(tail.size(), 3);
    std::string junction(tail.substr(tail.size() - kept));
    junction.append(data.substr(0, 3));
    if (const auto terminator = FindHeadTerminator(junction);
        terminator && terminator->End() > kept) {
        return terminator->End() - kept;
    }
    if (const auto terminator = FindHeadTerminator(data)) {
        return terminator->End();
    }
    return std::nullopt;
}

HeadLook LookAtHead(std::string_view text, std::string_view name) {
    HeadLook look;
    const auto terminator = FindTerminator(text, 0, [&](std::size_t lineFeed) {
        // A field's line begins after a run of line breaks that holds an LF.
        std::size_t line = lineFeed + 1;
        while (line < text.size() && (text[line] == '\n' || text[line] == '\r')) {
            ++line;
        }
        if (!look.mayHaveField && text.size() - line >= name.size() &&
            EqualsIgnoringAsciiCase(text.substr(line, name.size()), name)) {
            look.mayHaveField = true;
        }
    });
    if (terminator) {
        look.end = terminator->End();
    }
    return look;
}

std::optional<std::string_view> FindHeadField(std::string_view text, std::size_t headerEnd,
                                              std::string_view name) {
    std::optional<std::string_view> found;
    ForEachHeadField(text, headerEnd, [&](std::string_view field, std::string_view value) {
        if (EqualsIgnoringAsciiCase(field, name)) {
            found = value;
        }
    });
    return found;
}

bool ListHasToken(std::string_view list, std::string_view token) {
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t end = list.find(',', at);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        if (EqualsIgnoringAsciiCase(TrimBlanks(list.substr(at, end - at)), token)) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

std::vector<HeaderField> ReadHeaderFields(std::string_view text, std::int64_t headerEnd) {
    // headerEnd is where the body begins: the header's length.
    const std::string_view header =
        headerEnd >= 0 ? text.substr(0, std::min(static_cast<std::size_t>(headerEnd), text.size()))
                       : text;
    std::vector<HeaderField> fields;
    std::size_t line = header.find('\n');  // past the start line
    while (line != std::string_view::npos && line + 1 < header.size()) {
        const std::size_t start = line + 1;
        line = header.find('\n', start);
        const std::string_view content =
            header.substr(start, (line == std::string_view::npos ? header.size() : line) - start);
        if (TrimBlanksAndCr(content).empty()) {
            break;  // the empty line that ends the header
        }
        if ((content.front() == ' ' || content.front() == '\t') && !fields.empty()) {
            std::string& value = fields.back().value;
            value += value.empty() ? "" : " ";
            value += TrimBlanksAndCr(content);
            continue;
        }
        const std::size_t colon = content.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            continue;  // not a field
        }
        fields.push_back({std::string(TrimBlanksAndCr(content.substr(0, colon))),
                          std::string(TrimBlanksAndCr(content.substr(colon + 1)))});
    }
    return fields;
}

}  // namespace vantor
