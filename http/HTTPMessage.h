#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/CObject.h"
#include "http/BodyFraming.h"
#include "http/HeaderMap.h"
#include "http/MessageTypes.h"
#include "http/TextBuffer.h"
#include "options/CaptureRules.h"
#include "platform/SockAddrIn.h"
#include "platform/SystemTime.h"
#include "record/ProcessInfo.h"
#include "record/TlsText.h"

namespace vantor {

class TextSearcher;

// One HTTP message of one connection, as far as it has arrived: its raw text (start line,
// header, whatever part of the body is kept), its header fields, its peer, its capture times,
// and how much of its body was dropped. It grows by AddData; it decides by itself where its
// header ends, whether its body is kept, and when it has grown too large. There is no notion
// of completeness beyond the header: the document decides where the next message begins.
class HTTPMessage : public CObject {
public:
    static const CRuntimeClass classHTTPMessage;
    const CRuntimeClass* GetRuntimeClass() const override;
    ~HTTPMessage() override;
    // The message an update hint carries, or null: a walk of the runtime classes, cheaper than
    // a dynamic_cast, for a hint that every view gets several times per message.
    static HTTPMessage* Of(CObject* object) {
        return object != nullptr && object->IsKindOf(&classHTTPMessage)
                   ? static_cast<HTTPMessage*>(object)
                   : nullptr;
    }

    MessageKind kind() const { return m_kind; }

    // The fields every message stores in a document file: connection id, peer (without its
    // family), the two detail lines, both times, the text and the start line. Loading then
    // rebuilds the header fields from the text and lowers the caption flag.
    void Serialize(CArchive& archive) override;

    // Raised when the caption or image of the message's tree entry must be refreshed.
    virtual bool IsCaptionChanged() const { return m_captionChanged; }
    void SetCaptionChanged(bool changed) { m_captionChanged = changed; }

    std::uint32_t GetSocket() const { return m_socket; }
    const SockAddrIn& peerAddress() const { return m_peerAddress; }
    // The IPv6 address of a peer whose peerAddress family is kAddressFamilyInet6.
    const std::optional<Ipv6Peer>& peerIpv6() const;
    // The process that moved the message's bytes, where its records said; else null.
    const ProcessInfo* process() const;
    void SetProcess(std::shared_ptr<const ProcessInfo> process);
    // "Process: " and DescribeProcess, for a message whose process is known; else empty.
    std::string processText() const;
    HeaderLookup headers() const { return {m_headers, m_text.view()}; }
    std::string_view text() const { return m_text; }
    // From now on the bytes of a kept body are counted, not held: for a document whose bodies
    // nobody reads (a listing without bodies that saves nothing). The message's state and
    // capturedSize stay what they would be with the bytes held; its text ends at its header.
    void CountBodyOnly() { m_countBodyOnly = true; }
    // The text's length as it came: the bytes held and those only counted.
    std::uint64_t capturedSize() const { return m_text.size() + m_bodyCounted; }
    // Bytes from..to of the text as they were captured: the NUL bytes that the text shows as
    // spaces are NUL again (not for a message opened from a document file, which keeps the
    // text only).
    std::string BytesAsTheyCame(std::size_t from, std::size_t to) const;
    const std::string& startLine() const;
    const SystemTime& firstTime() const { return m_firstTime; }
    const SystemTime& lastTime() const { return m_lastTime; }
    // The two detail lines: "Time: " and the first piece's time, "IP: " and the peer (or what
    // a document file said, when that was something else).
    std::string timeText() const;
    std::string peerText() const;
    bool captureBody() const { return m_captureBody; }
    // Whether the message was read from a document file (not captured in this run).
    bool fromFile() const { return m_fromFile; }
    // How the message's plain text was had, as its first record said (not kept in document
    // files: None for a loaded message).
    TlsText tlsText() const { return m_tlsText; }
    void SetTlsText(TlsText text) { m_tlsText = text; }
    // The HTTP/2 stream the message was sent on, as capture said (0: none, or not known).
    std::uint32_t http2Stream() const { return m_http2Stream; }
    void SetHttp2Stream(std::uint32_t stream) { m_http2Stream = stream; }
    // The size limit, kept in kilobytes as the registry holds it (a 32-bit value, whatever its
    // sign), in bytes: in 64 bits, so that limits of 4 GiB and more do not wrap to small ones.
    std::uint64_t maxSize() const { return std::uint64_t{m_maxSizeKB} * 1024u; }
    // The numbers as they stand in a document file.
    std::uint32_t StoredState() const { return static_cast<std::uint32_t>(m_state); }

    // Where the body of an HTTP/1.x request ends by its own framing (Content-Length, chunks),
    // as far as its bytes have come; unframed for other messages and while the header is
    // incomplete.
    const BodyFraming& framing() const { return m_framing; }

    // Offset just after the header terminator, or -1 while none has been seen.
    std::int64_t headerEnd() const { return m_headerEnd; }
    // The text below this offset was looked at for NUL bytes.
    std::int64_t scanMark() const { return static_cast<std::int64_t>(m_text.size()) - 1; }

    AssemblyState state() const { return m_state; }
    // The caption as the message stores it (method and target of a request, however long).
    const std::string& caption() const { return m_caption; }
    // The caption as its tree item shows it: a start line that never ends (a header that never
    // completes) must not make a tree item of megabytes.
    std::string_view ShownCaption() const;
    static constexpr std::size_t kLongestCaption = 1024;
    std::int32_t skipped() const { return m_skipped; }
    // The last notice line the text view wrote under the message (stored in kNoticeSize bytes,
    // its NUL included).
    const std::string& notice() const;
    void SetNotice(std::string notice);
    static constexpr std::size_t kNoticeSize = 128;

    // Appends one data piece of the message's socket and direction, received at time. When the
    // piece completes the header, rules decide whether the body is kept.
    void AddData(std::span<const std::uint8_t> data, const SystemTime& time,
                 const CaptureRules& rules = CaptureRules::Defaults());
    // A loaded message normally gets no more data, but capture may go on after a file was
    // opened: it then grows by these rules' body switch and size limit.
    void SetLimits(const CaptureRules& rules);
    // While the header is incomplete: how many bytes of data, appended, complete it (up to the
    // end of the header terminator). Nothing when they would not, or the header is complete.
    std::optional<std::size_t> HeaderEndIn(std::span<const std::uint8_t> data) const;
    // Counts bytes of the message's connection that are not shown (after a switch of
    // protocol): the text view says how many.
    void SkipBytes(std::uint64_t count);
    // Counts bytes of the message's side of the connection that followed its text but were not
    // captured (packets missing from an imported capture, records a full ring dropped): the text
    // view says how many. Nothing for a count not known. Its body's end is no longer known
    // from its framing: what comes next on its side begins a new message.
    void AddMissing(std::optional<std::uint64_t> count);
    // Bytes known missing; and whether bytes of a size not known are missing too.
    std::uint64_t missing() const { return m_extras != nullptr ? m_extras->missing : 0; }
    bool missingMore() const { return m_missingMore; }
    bool HasMissing() const { return missing() != 0 || m_missingMore; }
    // What the text view says of them (empty when none are missing).
    std::string MissingNotice() const;

    // Refreshes the caption of the tree entry from the text, by the rule of the message class.
    virtual void BuildCaption() = 0;
    virtual int GetTreeImage() const = 0;

    // The text before its first LF (all of it when there is none), kept in startLine.
    virtual std::string GetStartLine();

    // Offset of the first match of what at or after start, or -1. headerOnly restricts the
    // search to the header (all but the last byte while the header is incomplete); wholeWord
    // accepts only matches with no letter or digit on either side.
    std::int64_t FindText(std::string_view what, std::int64_t start, bool headerOnly,
                          bool matchCase, bool wholeWord) const;
    // The same with the text and its case rule prepared once, for a search of many messages.
    std::int64_t FindText(const TextSearcher& searcher, std::int64_t start, bool headerOnly,
                          bool wholeWord) const;

    // Rebuilds headers and headerEnd from the text. Does nothing while the header is
    // incomplete.
    void ParseHeaders();
    // Erases the body (unless it is at most one byte) and returns the number of bytes erased.
    std::uint32_t CutBody();

protected:
    // The fields of the derived classes that sit in the base.
    void SerializeSkipped(CArchive& archive);
    void SerializeState(CArchive& archive);
    void SerializeCaption(CArchive& archive);
    void SerializeNotice(CArchive& archive);
    void SerializePeerExtension(CArchive& archive);
    void SerializeNulBytes(CArchive& archive);
    void SerializeProcess(CArchive& archive);

public:
    // The schema of the message classes in a document that has IPv6 peers.
    static constexpr std::uint16_t kSchemaWithIpv6 = 1;
    // The schema of a document in which a text had NUL bytes: where they were is stored too
    // (along with the peers, as in kSchemaWithIpv6).
    static constexpr std::uint16_t kSchemaWithNulBytes = 2;
    // The schema of a document in which some message's process is known: the process follows
    // (after the fields of kSchemaWithNulBytes).
    static constexpr std::uint16_t kSchemaWithProcesses = 3;
    // The oldest schema that holds everything this message has.
    std::uint16_t SchemaNeeded() const;
    // Whether the text holds spaces that were NUL bytes.
    bool HadNulBytes() const;

protected:
    // For loading: an empty message whose fields are read from a document file.
    explicit HTTPMessage(MessageKind kind);
    // For capture: maxSizeKB is the size limit in kilobytes.
    HTTPMessage(MessageKind kind, bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6);

    void SetCaption(std::string_view text);

    // Parses the start line once the header is complete and the header fields are known.
    virtual void ParseStartLine() = 0;
    // Called when the header completes with a piece after the first.
    virtual void OnHeaderCompletedLater() {}

    std::string m_caption;
    AssemblyState m_state = AssemblyState::New;

private:
    void AppendText(std::span<const std::uint8_t> data);
    void CompleteHeader(bool withLaterPiece, const CaptureRules& rules);
    void ReserveForBody();
    void AddSkipped(std::uint64_t count);
    // What a message seldom has, kept apart so that the many that have none of it stay small.
    struct Extras {
        std::string notice;
        std::string startLine;
        // Detail lines read from a document file that are not what would be formatted.
        std::optional<std::string> storedTime;
        std::optional<std::string> storedPeer;
        std::optional<Ipv6Peer> peerIpv6;
        std::shared_ptr<const ProcessInfo> process;
        // Where the text had NUL bytes (shown as spaces); empty while it had none.
        std::vector<bool> nulBytes;
        std::uint64_t missing = 0;  // bytes not captured after the text
    };
    Extras& MakeExtras();
    const std::vector<bool>& nulBytes() const;
    std::string FormatPeerText() const;
    std::string FormatTimeText() const;
    // After loading: the detail lines the file holds, kept only where they differ.
    void KeepStoredDetailLines(std::string time, std::string peer);

    // Laid out so that no padding comes between: a message is kept for each one captured.
    std::uint32_t m_socket = 0;
    std::int32_t m_skipped = 0;
    std::uint32_t m_maxSizeKB = 0;
    std::uint32_t m_http2Stream = 0;
    MessageKind m_kind;
    bool m_captionChanged = false;
    bool m_captureBody = true;
    bool m_countBodyOnly = false;
    bool m_timed = false;        // the first piece came: the time line is formatted from it
    bool m_missingMore = false;  // bytes of a size not known are missing after the text
    TlsText m_tlsText = TlsText::None;
    bool m_fromFile = false;
    std::int64_t m_headerEnd = -1;
    std::uint64_t m_bodyCounted = 0;  // body bytes counted, not held
    BodyFraming m_framing;
    SockAddrIn m_peerAddress;
    SystemTime m_firstTime;
    SystemTime m_lastTime;
    HeaderMap m_headers;
    TextBuffer m_text;
    std::unique_ptr<Extras> m_extras;
};

}  // namespace vantor
