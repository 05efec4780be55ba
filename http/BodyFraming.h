#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vantor {

class HeaderLookup;

// Where an HTTP/1.x body ends by its own framing: after Content-Length bytes, or after the last
// chunk and its trailer section. Follows every byte of the body as it arrives, whether the
// message keeps it or not, so that the document can tell which bytes a client sends still
// belong to a request (an answer may come before the body) and which begin the next one. Keeps
// no bytes; a few words of state.
class BodyFraming {
public:
    // From a complete header: chunked when Transfer-Encoding ends in it, else Content-Length
    // when it is a number, else no framing (the document then goes by directions alone).
    void Begin(const HeaderLookup& headers);
    // The body's length when the header gives it by Content-Length.
    static std::optional<std::uint64_t> DeclaredLength(const HeaderLookup& headers);

    // Takes the next bytes of the body; how many of them belong to it (fewer once it ended).
    std::size_t Take(std::span<const std::uint8_t> bytes);
    // How many of bytes would belong to the body, taking none.
    std::size_t Measure(std::span<const std::uint8_t> bytes) const {
        BodyFraming copy = *this;
        return copy.Take(bytes);
    }

    // The body's end is no longer known (bytes of it went missing): it counts as ended.
    void End() {
        if (m_kind != Kind::Unframed) {
            m_kind = Kind::Ended;
        }
    }

    // Whether the body's end is known from its framing.
    bool Framed() const { return m_kind != Kind::Unframed; }
    bool Ended() const { return m_kind == Kind::Ended; }

private:
    enum class Kind : std::uint8_t { Unframed, Length, Chunked, Ended };
    // Where a chunked body is: in a chunk-size line, after its digits (extensions, CR), in the
    // chunk's data, at the CR LF after it, at the start of a trailer line, inside one.
    enum class Chunk : std::uint8_t { Size, SizeRest, Data, DataEnd, TrailerStart, Trailer };

    // Takes bytes of a chunked body; marks it unframed when the chunks make no sense.
    std::size_t TakeChunked(std::span<const std::uint8_t> bytes);

    Kind m_kind = Kind::Unframed;
    Chunk m_chunk = Chunk::Size;
    bool m_digits = false;        // the size line has a digit
    std::uint64_t m_remaining = 0;  // of Content-Length, or of the chunk (its size while read)
};

}  // namespace vantor
