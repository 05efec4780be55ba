#include "http/HTTPMessage.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <optional>

#include "framework/ArchiveExceptions.h"
#include "platform/AsciiText.h"
#include "framework/CArchive.h"
#include "framework/TextSearcher.h"
#include "http/HeadScan.h"
#include "options/CaptureRules.h"

namespace vantor {

namespace {

// Copies size bytes and calls found(i) for each NUL byte among them, in order, with the copy
// in place. Bodies of binary data hold one every few hundred bytes: the bytes are looked at 64
// at a time as they are copied, with no second pass and no call per NUL found.
template <class Found>
void CopyFindingNulBytes(char* to, const char* from, std::size_t size, Found found) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 64 <= size; i += 64) {
        const auto* in = reinterpret_cast<const __m128i*>(from + i);
        auto* out = reinterpret_cast<__m128i*>(to + i);
        const __m128i w = _mm_loadu_si128(in);
        const __m128i x = _mm_loadu_si128(in + 1);
        const __m128i y = _mm_loadu_si128(in + 2);
        const __m128i z = _mm_loadu_si128(in + 3);
        _mm_storeu_si128(out, w);
        _mm_storeu_si128(out + 1, x);
        _mm_storeu_si128(out + 2, y);
        _mm_storeu_si128(out + 3, z);
        const __m128i a = _mm_cmpeq_epi8(w, zero);
        const __m128i b = _mm_cmpeq_epi8(x, zero);
        const __m128i c = _mm_cmpeq_epi8(y, zero);
        const __m128i d = _mm_cmpeq_epi8(z, zero);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
            continue;
        }
        const auto bits = [](__m128i nuls) {
            return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(nuls)));
        };
        std::uint64_t mask = bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
        while (mask != 0) {
            found(i + static_cast<std::size_t>(__builtin_ctzll(mask)));
            mask &= mask - 1;
        }
    }
#endif
    std::memcpy(to + i, from + i, size - i);
    while (i < size) {
        const void* nul = std::memchr(to + i, '\0', size - i);
        if (nul == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const char*>(nul) - to);
        found(i++);
    }
}

// Whether text begins with an HTTP/1.x request line (whose body has framing of its own; the
// texts written for HTTP/2 streams say HTTP/2).
bool StartsHttp1(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.remove_suffix(1);
    }
    return line.ends_with(" HTTP/1.1") || line.ends_with(" HTTP/1.0");
}

std::int64_t HeaderEndOf(std::string_view text) {
    const auto terminator = FindHeadTerminator(text);
    return terminator ? static_cast<std::int64_t>(terminator->End()) : -1;
}

std::unique_ptr<CObject> NoObject() {
    return nullptr;
}

// Writes text and decimal numbers into a fixed, zero-terminated buffer, cutting what does not
// fit. The detail lines are formatted for every message; printf would dominate their cost.
class FixedText {
public:
    explicit FixedText(std::span<char> buffer) : m_buffer(buffer) {}
    FixedText(const FixedText&) = delete;
    FixedText& operator=(const FixedText&) = delete;
    ~FixedText() { m_buffer[m_length] = '\0'; }

    FixedText& operator<<(std::string_view text) {
        for (char c : text) {
            Put(c);
        }
        return *this;
    }

    // value with at least minWidth digits, zero-padded on the left (as "%0Nu").
    FixedText& Decimal(unsigned value, int minWidth = 1) {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int pad = minWidth - count; pad > 0; --pad) {
            Put('0');
        }
        while (count > 0) {
            Put(digits[--count]);
        }
        return *this;
    }

private:
    void Put(char c) {
        if (m_length + 1 < m_buffer.size()) {
            m_buffer[m_length++] = c;
        }
    }

    std::span<char> m_buffer;
    std::size_t m_length = 0;
};

}  // namespace

const CRuntimeClass HTTPMessage::classHTTPMessage{"HTTPMessage", 0, &NoObject,
                                                  &CObject::classCObject};

const CRuntimeClass* HTTPMessage::GetRuntimeClass() const {
    return &classHTTPMessage;
}

HTTPMessage::HTTPMessage(MessageKind kind) : m_kind(kind) {}

void HTTPMessage::SetLimits(const CaptureRules& rules) {
    const bool isRequest = m_kind == MessageKind::Request;
    m_captureBody = isRequest ? rules.requestBodies : rules.responseBodies;
    m_maxSizeKB =
        static_cast<std::uint32_t>(isRequest ? rules.maxRequestKB : rules.maxResponseKB);
}

HTTPMessage::HTTPMessage(MessageKind kind, bool captureBody, std::int32_t maxSizeKB,
                         std::uint32_t socket, const SockAddrIn& peerAddress,
                         const std::optional<Ipv6Peer>& ipv6)
    : m_socket(socket),
      m_maxSizeKB(static_cast<std::uint32_t>(maxSizeKB)),
      m_kind(kind),
      m_captureBody(captureBody),
      m_peerAddress(peerAddress) {
    if (peerAddress.family == kAddressFamilyInet6 && ipv6) {
        MakeExtras().peerIpv6 = ipv6;
        m_peerAddress.address = {};
        m_peerAddress.zero = {};
    }
}

HTTPMessage::~HTTPMessage() = default;

HTTPMessage::Extras& HTTPMessage::MakeExtras() {
    if (m_extras == nullptr) {
        m_extras = std::make_unique<Extras>();
    }
    return *m_extras;
}

const std::optional<Ipv6Peer>& HTTPMessage::peerIpv6() const {
    static const std::optional<Ipv6Peer> kNone;
    return m_extras != nullptr ? m_extras->peerIpv6 : kNone;
}

const ProcessInfo* HTTPMessage::process() const {
    return m_extras != nullptr ? m_extras->process.get() : nullptr;
}

void HTTPMessage::SetProcess(std::shared_ptr<const ProcessInfo> process) {
    if (m_extras != nullptr || process != nullptr) {
        MakeExtras().process = std::move(process);
    }
}

std::string HTTPMessage::processText() const {
    const ProcessInfo* known = process();
    return known != nullptr ? "Process: " + DescribeProcess(*known) : std::string();
}

std::uint16_t HTTPMessage::SchemaNeeded() const {
    if (process() != nullptr) {
        return kSchemaWithProcesses;
    }
    if (HadNulBytes()) {
        return kSchemaWithNulBytes;
    }
    return peerIpv6() ? kSchemaWithIpv6 : 0;
}

const std::string& HTTPMessage::startLine() const {
    static const std::string kNone;
    return m_extras != nullptr ? m_extras->startLine : kNone;
}

const std::string& HTTPMessage::notice() const {
    static const std::string kNone;
    return m_extras != nullptr ? m_extras->notice : kNone;
}

void HTTPMessage::SetNotice(std::string notice) {
    if (m_extras != nullptr || !notice.empty()) {
        MakeExtras().notice = std::move(notice);
    }
}

const std::vector<bool>& HTTPMessage::nulBytes() const {
    static const std::vector<bool> kNone;
    return m_extras != nullptr ? m_extras->nulBytes : kNone;
}

std::string HTTPMessage::timeText() const {
    if (m_extras != nullptr && m_extras->storedTime) {
        return *m_extras->storedTime;
    }
    return m_timed ? FormatTimeText() : std::string();
}

std::string HTTPMessage::peerText() const {
    if (m_extras != nullptr && m_extras->storedPeer) {
        return *m_extras->storedPeer;
    }
    return FormatPeerText();
}

// "IP: %u.%u.%u.%u:%u": the address bytes in memory order, the port in host order; for an
// IPv6 peer "IP: [%s]:%u" with the address as text (and "%scope" for a scoped one).
std::string HTTPMessage::FormatPeerText() const {
    const auto& a = m_peerAddress.address;
    std::array<char, 80> line{};
    {
        FixedText text(line);
        text << "IP: ";
        if (const auto& ipv6 = peerIpv6()) {
            char address[INET6_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET6, ipv6->address.data(), address, sizeof address);
            text << "[" << address;
            if (ipv6->scopeId != 0) {
                text << "%";
                text.Decimal(ipv6->scopeId);
            }
            text << "]:";
            text.Decimal(m_peerAddress.HostPort());
        } else {
            text.Decimal(a[0]) << ".";
            text.Decimal(a[1]) << ".";
            text.Decimal(a[2]) << ".";
            text.Decimal(a[3]) << ":";
            text.Decimal(m_peerAddress.HostPort());
        }
    }
    return line.data();
}

// "Time: %02u:%02u:%02u.%03u" of the first piece's time.
std::string HTTPMessage::FormatTimeText() const {
    const SystemTime& t = m_firstTime;
    std::array<char, 30> line{};
    {
        FixedText text(line);
        text << "Time: ";
        text.Decimal(t.hour, 2) << ":";
        text.Decimal(t.minute, 2) << ":";
        text.Decimal(t.second, 2) << ".";
        text.Decimal(t.milliseconds, 3);
    }
    return line.data();
}

void HTTPMessage::AddData(std::span<const std::uint8_t> data, const SystemTime& time,
                          const CaptureRules& rules) {
    if (m_headerEnd >= 0) {
        m_framing.Take(data);  // body bytes, whatever is kept of them
    }
    switch (m_state) {
        case AssemblyState::New:
            m_firstTime = time;
            m_timed = true;
            AppendText(data);
            if (FindHeadTerminator(m_text)) {
                CompleteHeader(false, rules);
            } else {
                m_state = AssemblyState::ReadingHeader;
            }
            break;
        case AssemblyState::ReadingHeader: {
            // The old text held no terminator, so only one that ends in the new bytes can
            // be the first: start three bytes back.
            const std::size_t from = m_text.size() >= 3 ? m_text.size() - 3 : 0;
            AppendText(data);
            if (FindHeadTerminator(m_text, from)) {
                CompleteHeader(true, rules);
            }
            break;
        }
        case AssemblyState::ReadingBody:
            if (m_countBodyOnly) {
                m_bodyCounted += data.size();
            } else {
                AppendText(data);
            }
            if (capturedSize() > maxSize()) {
                m_state = AssemblyState::TooLarge;
            }
            break;
        case AssemblyState::BodyFiltered:
        case AssemblyState::BodyOff:
            AddSkipped(data.size());
            break;
        case AssemblyState::TooLarge:
        default:  // a state number from a document file that we do not know: keep as it is
            break;
    }
    m_lastTime = time;
}

std::optional<std::size_t> HTTPMessage::HeaderEndIn(std::span<const std::uint8_t> data) const {
    if (m_state != AssemblyState::New && m_state != AssemblyState::ReadingHeader) {
        return std::nullopt;
    }
    return HeadEndAfter(m_text, {reinterpret_cast<const char*>(data.data()), data.size()});
}

void HTTPMessage::SkipBytes(std::uint64_t count) {
    AddSkipped(count);
}

void HTTPMessage::AppendText(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return;
    }
    const std::size_t at = m_text.size();
    char* const added = m_text.Extend(data.size());
    const std::size_t size = m_text.size();
    CopyFindingNulBytes(added, reinterpret_cast<const char*>(data.data()), data.size(),
                        [&](std::size_t i) {
                            added[i] = ' ';
                            // Remembered, so that the bytes as they came can be had back
                            // (decoding, exports).
                            std::vector<bool>& nulBytes = MakeExtras().nulBytes;
                            if (nulBytes.size() < size) {
                                nulBytes.resize(size);
                            }
                            nulBytes[at + i] = true;
                        });
}

void HTTPMessage::CompleteHeader(bool withLaterPiece, const CaptureRules& rules) {
    ParseHeaders();
    ParseStartLine();
    if (m_kind == MessageKind::Request && StartsHttp1(m_text.view())) {
        m_framing.Begin(headers());
        const std::string_view body = m_text.view().substr(static_cast<std::size_t>(m_headerEnd));
        m_framing.Take({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
    }
    if (withLaterPiece) {
        OnHeaderCompletedLater();
    }
    if (!m_captureBody) {
        m_state = AssemblyState::BodyOff;
        AddSkipped(CutBody());
    } else if (rules.KeepsBodyOf(headers().Find("content-type"))) {
        m_state = AssemblyState::ReadingBody;
        if (m_countBodyOnly) {
            m_bodyCounted += CutBody();
        } else {
            ReserveForBody();
        }
    } else {
        m_state = AssemblyState::BodyFiltered;
        AddSkipped(CutBody());
    }
}

void HTTPMessage::ReserveForBody() {
    // A body of a declared length grows its text once instead of doubling it piece by piece;
    // no further than the size limit, and a length a peer made up reserves little.
    constexpr std::uint64_t kLargestReserve = 16 * 1024 * 1024;
    if (const auto length = BodyFraming::DeclaredLength(headers()); length && m_headerEnd >= 0) {
        const std::uint64_t whole = static_cast<std::uint64_t>(m_headerEnd) + *length;
        m_text.Reserve(static_cast<std::size_t>(std::min({whole, maxSize(), kLargestReserve})));
    }
}

void HTTPMessage::AddSkipped(std::uint64_t count) {
    // The count is stored in 32 bits; past that it stays at its largest value rather than
    // wrapping to a negative or small number.
    const std::int64_t sum = std::int64_t{m_skipped} +
                             static_cast<std::int64_t>(std::min<std::uint64_t>(count, INT32_MAX));
    m_skipped = static_cast<std::int32_t>(std::min<std::int64_t>(sum, INT32_MAX));
}

std::string HTTPMessage::BytesAsTheyCame(std::size_t from, std::size_t to) const {
    const std::string_view all = text();
    to = std::min(to, all.size());
    from = std::min(from, to);
    std::string bytes(all.substr(from, to - from));
    const std::vector<bool>& nuls = nulBytes();
    for (std::size_t i = from; i < std::min(to, nuls.size()); ++i) {
        if (nuls[i]) {
            bytes[i - from] = '\0';
        }
    }
    return bytes;
}

void HTTPMessage::ParseHeaders() {
    const std::string_view text = m_text.view();
    const auto terminator = FindHeadTerminator(text);
    if (!terminator) {
        return;
    }
    const std::size_t headerEnd = terminator->End();
    m_headerEnd = static_cast<std::int64_t>(headerEnd);
    HeaderMap::Builder fields(text);
    ForEachHeadField(text, headerEnd,
                     [&fields](std::string_view name, std::string_view value) {
                         fields.Add(name, value);
                     });
    fields.CommitTo(m_headers);
}

std::uint32_t HTTPMessage::CutBody() {
    const std::int64_t headerEnd = HeaderEndOf(m_text);
    const auto size = static_cast<std::int64_t>(m_text.size());
    if (headerEnd < 0 || headerEnd >= size - 1) {
        return 0;
    }
    m_text.Truncate(static_cast<std::size_t>(headerEnd));
    if (m_extras != nullptr) {
        m_extras->nulBytes.resize(std::min(m_extras->nulBytes.size(), m_text.size()));
    }
    return static_cast<std::uint32_t>(
        std::min<std::int64_t>(size - headerEnd, std::numeric_limits<std::uint32_t>::max()));
}

void HTTPMessage::SetCaption(std::string_view text) {
    m_caption.assign(text);
}

std::string_view HTTPMessage::ShownCaption() const {
    const std::string_view caption = m_caption;
    std::size_t length = std::min(caption.size(), kLongestCaption);
    // Not in the middle of a UTF-8 sequence: back to the byte that begins one.
    if (length < caption.size()) {
        while (length > 0 && (static_cast<unsigned char>(caption[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    return caption.substr(0, length);
}

std::string HTTPMessage::GetStartLine() {
    std::string line(text().substr(0, text().find('\n')));
    if (m_extras != nullptr || !line.empty()) {
        MakeExtras().startLine = line;
    }
    return line;
}

std::int64_t HTTPMessage::FindText(std::string_view what, std::int64_t start, bool headerOnly,
                                   bool matchCase, bool wholeWord) const {
    return FindText(TextSearcher(what, matchCase), start, headerOnly, wholeWord);
}

std::int64_t HTTPMessage::FindText(const TextSearcher& searcher, std::int64_t start,
                                   bool headerOnly, bool wholeWord) const {
    std::string_view searched = text();
    if (headerOnly) {
        const std::int64_t length =
            m_headerEnd >= 0 ? m_headerEnd : static_cast<std::int64_t>(m_text.size()) - 1;
        searched = searched.substr(0, static_cast<std::size_t>(std::max<std::int64_t>(length, 0)));
    }
    start = std::max<std::int64_t>(start, 0);
    if (start > static_cast<std::int64_t>(searched.size()) - 1) {
        return -1;
    }
    std::size_t hit = searcher.Find(searched, static_cast<std::size_t>(start));
    while (hit != std::string_view::npos && wholeWord) {
        const std::size_t after = hit + searcher.size();
        const bool wordBefore = hit > 0 && IsAsciiAlnum(searched[hit - 1]);
        const bool wordAfter = after < searched.size() && IsAsciiAlnum(searched[after]);
        if (!wordBefore && !wordAfter) {
            break;
        }
        hit = searcher.Find(searched, hit + 1);
    }
    return hit == std::string_view::npos ? -1 : static_cast<std::int64_t>(hit);
}

namespace {

constexpr std::size_t kDetailLineSize = 30;

void SerializeTime(CArchive& archive, SystemTime& time) {
    std::array<std::uint16_t*, 8> fields = {&time.year,   &time.month,       &time.dayOfWeek,
                                            &time.day,    &time.hour,        &time.minute,
                                            &time.second, &time.milliseconds};
    for (std::uint16_t* field : fields) {
        if (archive.IsStoring()) {
            archive.WriteU16(*field);
        } else {
            *field = archive.ReadU16();
        }
    }
}

// A fixed text of the detail-line size: up to its first zero, at most longest bytes.
std::string LoadFixedText(CArchive& archive, std::size_t longest) {
    std::array<char, kDetailLineSize> bytes{};
    archive.ReadBytes({reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()});
    const std::size_t length =
        std::min({std::string_view(bytes.data(), bytes.size()).find('\0'), bytes.size(), longest});
    return std::string(bytes.data(), length);
}

std::string UpToFirstZero(std::string text) {
    text.resize(std::min(text.find('\0'), text.size()));
    return text;
}

}  // namespace

void HTTPMessage::Serialize(CArchive& archive) {
    if (archive.IsStoring()) {
        archive.WriteU32(m_socket);
        archive.WriteBytes(m_peerAddress.port);
        archive.WriteBytes(m_peerAddress.address);
        archive.WriteBytes(m_peerAddress.zero);
        archive.WriteFixedText(timeText(), kDetailLineSize);
        archive.WriteFixedText(peerText(), kDetailLineSize);
        SerializeTime(archive, m_firstTime);
        SerializeTime(archive, m_lastTime);
        archive.WriteString(text().substr(0, text().find('\0')));
        const std::string_view line = startLine();
        archive.WriteString(line.substr(0, line.find('\0')));
        SerializePeerExtension(archive);
        SerializeNulBytes(archive);
        SerializeProcess(archive);
        return;
    }
    m_socket = archive.ReadU32();
    m_peerAddress.family = kAddressFamilyInet;
    archive.ReadBytes(m_peerAddress.port);
    archive.ReadBytes(m_peerAddress.address);
    archive.ReadBytes(m_peerAddress.zero);
    m_extras.reset();
    m_timed = false;
    m_fromFile = true;
    // As they were kept in fixed buffers: a time of 29 bytes at most, a peer of 30.
    std::string time = LoadFixedText(archive, kDetailLineSize - 1);
    std::string peer = LoadFixedText(archive, kDetailLineSize);
    SerializeTime(archive, m_firstTime);
    SerializeTime(archive, m_lastTime);
    archive.ReadString([this](std::size_t length) { return m_text.Resize(length); });
    m_text.Truncate(std::min(m_text.view().find('\0'), m_text.size()));
    if (std::string line = UpToFirstZero(archive.ReadString()); !line.empty()) {
        MakeExtras().startLine = std::move(line);
    }
    SerializePeerExtension(archive);
    SerializeNulBytes(archive);  // where the NUL bytes were, if the file says
    SerializeProcess(archive);
    KeepStoredDetailLines(std::move(time), std::move(peer));

    m_captionChanged = false;
    m_headers.Clear();
    m_headerEnd = -1;
    ParseHeaders();
}

// From schema 1 on, the peer's family follows the start line, and for an IPv6 peer its address
// and scope id (the 14 address bytes before hold its port and zeros, the address line its first
// 29 characters). Schema 1 is written only for documents with IPv6 peers, so that every other
// file stays as it was and a reader of schema 0 refuses these instead of misreading them.
void HTTPMessage::SerializePeerExtension(CArchive& archive) {
    if (archive.ObjectSchema() < kSchemaWithIpv6) {
        return;
    }
    if (archive.IsStoring()) {
        const auto& ipv6 = peerIpv6();
        archive.WriteU16(ipv6 ? kAddressFamilyInet6 : kAddressFamilyInet);
        if (ipv6) {
            archive.WriteBytes(ipv6->address);
            archive.WriteU32(ipv6->scopeId);
        }
        return;
    }
    const std::uint16_t family = archive.ReadU16();
    if (family == kAddressFamilyInet) {
        return;
    }
    if (family != kAddressFamilyInet6) {
        throw CArchiveException(CArchiveException::Cause::BadIndex,
                                "peer family " + std::to_string(family));
    }
    Ipv6Peer peer;
    archive.ReadBytes(peer.address);
    peer.scopeId = archive.ReadU32();
    MakeExtras().peerIpv6 = peer;
    m_peerAddress.family = kAddressFamilyInet6;
}

void HTTPMessage::KeepStoredDetailLines(std::string time, std::string peer) {
    if (!time.empty()) {
        m_timed = true;
        if (time != FormatTimeText()) {
            MakeExtras().storedTime = std::move(time);
        }
    }
    // The line of an IPv6 peer holds only the start of its address: it is formatted anew.
    if (!peerIpv6() && peer != FormatPeerText()) {
        MakeExtras().storedPeer = std::move(peer);
    }
}

bool HTTPMessage::HadNulBytes() const {
    const std::vector<bool>& nuls = nulBytes();
    return std::find(nuls.begin(), nuls.end(), true) != nuls.end();
}

// From schema 2 on, where the text had NUL bytes follows the peer: a count of runs of them,
// then for each run the bytes between the end of the run before (or the text's start) and the
// run, and its length, u32 each. A run reaching past the text, or over a byte that is not a
// space, is refused.
void HTTPMessage::SerializeNulBytes(CArchive& archive) {
    if (archive.ObjectSchema() < kSchemaWithNulBytes) {
        return;
    }
    const std::size_t size = m_text.size();
    if (archive.IsStoring()) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
        const std::vector<bool>& nuls = nulBytes();
        const std::size_t end = std::min(nuls.size(), size);
        std::size_t last = 0;  // the end of the run before
        for (std::size_t i = 0; i < end;) {
            if (!nuls[i]) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < end && nuls[j]) {
                ++j;
            }
            runs.emplace_back(static_cast<std::uint32_t>(i - last),
                              static_cast<std::uint32_t>(j - i));
            last = j;
            i = j;
        }
        archive.WriteU32(static_cast<std::uint32_t>(runs.size()));
        for (const auto& [gap, length] : runs) {
            archive.WriteU32(gap);
            archive.WriteU32(length);
        }
        return;
    }
    if (m_extras != nullptr) {
        m_extras->nulBytes.clear();
    }
    const std::uint32_t count = archive.ReadU32();
    const std::string_view text = m_text.view();
    std::size_t at = 0;
    for (std::uint32_t run = 0; run < count; ++run) {
        const std::uint32_t gap = archive.ReadU32();
        const std::uint32_t length = archive.ReadU32();
        if (length == 0 || gap > size - at || length > size - at - gap ||
            text.substr(at + gap, length).find_first_not_of(' ') != std::string_view::npos) {
            throw CArchiveException(CArchiveException::Cause::BadIndex,
                                    "NUL bytes where the text has none");
        }
        std::vector<bool>& nuls = MakeExtras().nulBytes;
        nuls.resize(size);
        at += gap;
        std::fill_n(nuls.begin() + static_cast<std::ptrdiff_t>(at), length, true);
        at += length;
    }
}

// From schema 3 on, the process follows where the NUL bytes were: its pid (0: not known), and
// for a known one its uid, command, user and cgroup (strings, each within the record format's
// limits).
void HTTPMessage::SerializeProcess(CArchive& archive) {
    if (archive.ObjectSchema() < kSchemaWithProcesses) {
        return;
    }
    if (archive.IsStoring()) {
        const ProcessInfo* known = process();
        archive.WriteU32(known != nullptr ? known->pid : 0);
        if (known != nullptr) {
            archive.WriteU32(known->uid);
            archive.WriteString(known->command);
            archive.WriteString(known->user);
            archive.WriteString(known->cgroup);
        }
        return;
    }
    ProcessInfo loaded;
    loaded.pid = archive.ReadU32();
    if (loaded.pid == 0) {
        return;
    }
    loaded.uid = archive.ReadU32();
    loaded.command = archive.ReadString();
    loaded.user = archive.ReadString();
    loaded.cgroup = archive.ReadString();
    if (loaded.command.size() > ProcessInfo::kLongestCommand ||
        loaded.user.size() > ProcessInfo::kLongestUser ||
        loaded.cgroup.size() > ProcessInfo::kLongestCgroup) {
        throw CArchiveException(CArchiveException::Cause::BadIndex, "process text too long");
    }
    // The messages of a process follow each other: they share one description.
    thread_local std::shared_ptr<const ProcessInfo> last;
    if (last == nullptr || *last != loaded) {
        last = std::make_shared<const ProcessInfo>(std::move(loaded));
    }
    SetProcess(last);
}

void HTTPMessage::SerializeSkipped(CArchive& archive) {
    if (archive.IsStoring()) {
        archive.WriteU32(static_cast<std::uint32_t>(m_skipped));
    } else {
        m_skipped = static_cast<std::int32_t>(archive.ReadU32());
    }
}

void HTTPMessage::SerializeState(CArchive& archive) {
    if (archive.IsStoring()) {
        archive.WriteU32(StoredState());
    } else {
        m_state = static_cast<AssemblyState>(archive.ReadU32());
    }
}

void HTTPMessage::SerializeCaption(CArchive& archive) {
    if (archive.IsStoring()) {
        archive.WriteString(m_caption);
    } else {
        m_caption = archive.ReadString();
    }
}

void HTTPMessage::SerializeNotice(CArchive& archive) {
    if (archive.IsStoring()) {
        archive.WriteFixedText(notice(), kNoticeSize);
    } else {
        SetNotice(archive.ReadFixedText(kNoticeSize));
    }
}

void HTTPMessage::AddMissing(std::optional<std::uint64_t> count) {
    if (count) {
        MakeExtras().missing += *count;
    } else {
        m_missingMore = true;
    }
    m_framing.End();
}

std::string HTTPMessage::MissingNotice() const {
    if (!HasMissing()) {
        return {};
    }
    if (missing() == 0) {
        return "Bytes that followed were not captured: the message may be incomplete.";
    }
    return (m_missingMore ? "At least " : "") + std::to_string(missing()) +
           " bytes that followed were not captured: the message may be incomplete.";
}

}  // namespace vantor
