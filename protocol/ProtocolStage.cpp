#include "protocol/ProtocolStage.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "document/MessageSink.h"
#include "http/HeadScan.h"
#include "http/MessageStart.h"
#include "http/ScanFormat.h"
#include "protocol/Http2Decoder.h"
#include "protocol/WebSocketDecoder.h"

namespace vantor {
namespace {

bool IsSent(EntryPoint entryPoint) {
    return entryPoint == EntryPoint::NewRequest || entryPoint == EntryPoint::AppendRequest;
}

Direction DirectionOf(EntryPoint entryPoint) {
    return IsSent(entryPoint) ? Direction::Sent : Direction::Received;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Whether data begin as HTTP/2's connection preface does (as far as they go; at least "PRI").
bool BeginsPreface(std::span<const std::uint8_t> data) {
    const std::string_view preface = Http2Decoder::kPreface;
    const std::size_t compared = std::min(data.size(), preface.size());
    return compared >= 3 &&
           std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(compared),
                      preface.begin(), [](std::uint8_t byte, char expected) {
                          return static_cast<char>(byte) == expected;
                      });
}

// The status code of a response head whose bytes so far are begun, going on with data.
std::optional<std::uint32_t> StatusOfHead(std::string_view begun,
                                          std::span<const std::uint8_t> data) {
    constexpr std::size_t kStatusLine = 64;  // "HTTP/1.1 101 " and then some
    std::string start(begun.substr(0, kStatusLine));
    start.append(reinterpret_cast<const char*>(data.data()),
                 std::min(data.size(), kStatusLine - start.size()));
    return ScanStatusCode(start);
}

std::string_view Text(std::span<const std::uint8_t> data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

}  // namespace

void DeliverAsHttp1(MessageSink& document, EntryPoint entryPoint, const CaptureRecord& header,
                    std::span<const std::uint8_t> data) {
    switch (entryPoint) {
        case EntryPoint::NewRequest:
            document.NewRequest(header, data);
            break;
        case EntryPoint::AppendRequest:
            document.AppendRequest(header, data);
            break;
        case EntryPoint::NewResponse:
            document.NewResponse(header, data);
            break;
        case EntryPoint::AppendResponse:
            document.AppendResponse(header, data);
            break;
        case EntryPoint::None:
            break;
    }
}

// A connection whose protocol is followed: one that asked to switch and waits for the answer,
// or one that speaks HTTP/2, WebSocket or something else after a switch.
struct ProtocolStage::Connection final : Http2Sink, WebSocketSink {
    enum class Mode { Watching, Http2, WebSocket, Opaque, Ignored, Resync };

    Connection(ProtocolStage& owner, std::uint32_t connectionId) : stage(owner), id(connectionId) {}

    // The record being delivered, whose time and peer the messages made from it carry.
    CaptureRecord As(std::uint32_t connectionId, std::uint32_t stream = 0) const {
        CaptureRecord derived = header;
        derived.connectionId = connectionId;
        derived.http2Stream = stream;
        return derived;
    }

    void Request(std::uint32_t stream, std::string_view text) override {
        const std::uint32_t messages = stage.NextStreamId();
        streams[stream] = messages;
        document->NewRequest(As(messages, stream), Bytes(text));
        Wrote(messages, true);
    }

    void Response(std::uint32_t stream, std::string_view text) override {
        auto found = streams.find(stream);
        if (found == streams.end()) {
            found = streams.emplace(stream, stage.NextStreamId()).first;
        }
        document->NewResponse(As(found->second, stream), Bytes(text));
        Wrote(found->second, false);
    }

    void More(std::uint32_t stream, Direction direction, std::string_view bytes) override {
        const auto found = streams.find(stream);
        if (found == streams.end()) {
            return;
        }
        const bool request = direction == Direction::Sent;
        if (request) {
            document->AppendRequest(As(found->second), Bytes(bytes));
        } else {
            document->AppendResponse(As(found->second), Bytes(bytes));
        }
        Wrote(found->second, request);
    }

    void Closed(std::uint32_t stream) override {
        const auto found = streams.find(stream);
        if (found != streams.end()) {
            document->EndConnection(found->second);  // the stream's exchange is over
            streams.erase(found);
        }
    }

    void Stopped(std::string_view notice) override {
        if (!wroteAny) {
            return;  // nothing of the connection is listed to carry the notice
        }
        const std::string line = "\r\n" + std::string(notice) + "\r\n";
        if (lastWasRequest) {
            document->AppendRequest(As(lastWritten), Bytes(line));
        } else {
            document->AppendResponse(As(lastWritten), Bytes(line));
        }
    }

    void Line(std::string_view line) override { document->AppendResponse(As(id), Bytes(line)); }

    void Ignored(std::size_t count) override { document->CountSkipped(id, count); }

    void Wrote(std::uint32_t messages, bool request) {
        wroteAny = true;
        lastWritten = messages;
        lastWasRequest = request;
    }

    ProtocolStage& stage;
    const std::uint32_t id;
    Mode mode = Mode::Watching;
    std::list<std::uint32_t>::iterator use;
    MessageSink* document = nullptr;
    CaptureRecord header;
    std::unique_ptr<Http2Decoder> http2;
    std::unique_ptr<WebSocketDecoder> webSocket;
    std::unordered_map<std::uint32_t, std::uint32_t> streams;  // stream -> messages' id
    // After a hole (Resync): the sides that go on only at their next message.
    bool clientWaits = false;
    bool serverWaits = false;
    bool wroteAny = false;
    bool lastWasRequest = false;
    std::uint32_t lastWritten = 0;
    // Watching: the head of the response being read so far (open while it has no end).
    std::string responseHead;
    bool responseHeadOpen = false;
};

ProtocolStage::ProtocolStage() = default;
ProtocolStage::~ProtocolStage() = default;

ProtocolStage::Connection* ProtocolStage::Find(std::uint32_t id) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return nullptr;
    }
    m_byUse.splice(m_byUse.end(), m_byUse, found->second->use);
    return found->second.get();
}

ProtocolStage::Connection& ProtocolStage::Follow(std::uint32_t id) {
    Forget(id);
    if (m_connections.size() >= kMostFollowed) {
        Forget(m_byUse.front());
    }
    auto connection = std::make_unique<Connection>(*this, id);
    connection->use = m_byUse.insert(m_byUse.end(), id);
    return *m_connections.emplace(id, std::move(connection)).first->second;
}

void ProtocolStage::Forget(std::uint32_t id) {
    const auto found = m_connections.find(id);
    if (found != m_connections.end()) {
        DropHead(found->second->responseHead);
        m_byUse.erase(found->second->use);
        m_connections.erase(found);
    }
}

void ProtocolStage::Deliver(MessageSink& document, EntryPoint entryPoint,
                            const CaptureRecord& header, std::span<const std::uint8_t> data) {
    if (entryPoint == EntryPoint::None) {
        return;
    }
    const std::uint32_t id = header.connectionId;
    // The first record of a socket: whatever an earlier socket of the same id spoke is over.
    if (header.previousDirection == Direction::None) {
        Forget(id);
        ForgetRequestHead(id);
    }
    Connection* connection = Find(id);
    if (connection != nullptr && connection->mode == Connection::Mode::Resync) {
        connection->document = &document;
        if (!Resynchronised(*connection, entryPoint, data)) {
            return;
        }
        connection = Find(id);  // forgotten once both sides are past their holes
    }
    if (connection == nullptr) {
        if (entryPoint == EntryPoint::NewRequest && header.previousDirection == Direction::None &&
            BeginsPreface(data)) {
            connection = &Follow(id);
            connection->mode = Connection::Mode::Http2;
            connection->http2 = std::make_unique<Http2Decoder>(*connection);
        } else if (header.previousDirection != Direction::None && !data.empty() && data[0] == 0 &&
                   (entryPoint == EntryPoint::NewRequest ||
                    entryPoint == EntryPoint::NewResponse)) {
            // A message cannot begin with a NUL; an HTTP/2 frame header of a connection that
            // began before capture did, usually does. Its frames cannot be decoded without
            // the start: the connection is left out rather than shown as junk, until the
            // client begins a request line.
            Follow(id).mode = Connection::Mode::Ignored;
            m_leftOutBytes += data.size();
            return;
        } else {
            // A request whose header completes with this record and asks to switch protocols:
            // its answer is watched for. The body records of a request are not looked at.
            DeliverAsHttp1(document, entryPoint, header, data);
            if (IsSent(entryPoint) && AsksToSwitch(id, entryPoint, data)) {
                Follow(id).mode = Connection::Mode::Watching;
            }
            return;
        }
    }
    connection->document = &document;
    connection->header = header;
    const Direction direction = DirectionOf(entryPoint);
    switch (connection->mode) {
        case Connection::Mode::Watching:
            DeliverWatched(*connection, entryPoint, data);
            break;
        case Connection::Mode::Http2:
            connection->http2->Feed(direction, data);
            break;
        case Connection::Mode::WebSocket:
            connection->webSocket->Feed(direction, data);
            break;
        case Connection::Mode::Opaque:
            document.CountSkipped(id, data.size());
            break;
        case Connection::Mode::Resync:
            DeliverAsHttp1(document, entryPoint, header, data);
            break;
        case Connection::Mode::Ignored:
            if (direction == Direction::Sent && BeginsRequestLine(data)) {
                Forget(id);
                DeliverAsHttp1(document, EntryPoint::NewRequest, header, data);
            } else {
                m_leftOutBytes += data.size();
            }
            break;
    }
}

bool ProtocolStage::Resynchronised(Connection& connection, EntryPoint& entryPoint,
                                   std::span<const std::uint8_t> data) {
    const bool fromClient = IsSent(entryPoint);
    bool& waits = fromClient ? connection.clientWaits : connection.serverWaits;
    if (waits) {
        const bool newMessage =
            entryPoint == EntryPoint::NewRequest || entryPoint == EntryPoint::NewResponse;
        const bool begins = fromClient ? BeginsRequestLine(data) : BeginsStatusLine(data);
        if (!newMessage && !begins) {
            // The rest of what the hole cut: counted, never appended.
            connection.document->NoteMissingBytes(connection.id, DirectionOf(entryPoint),
                                                  data.size());
            return false;
        }
        waits = false;
        entryPoint = fromClient ? EntryPoint::NewRequest : EntryPoint::NewResponse;
    }
    if (!connection.clientWaits && !connection.serverWaits) {
        Forget(connection.id);
    }
    return true;
}

void ProtocolStage::Lost(MessageSink& document, const CaptureRecord& header,
                         const LostBytes& lost) {
    if (lost.sizesKnown && lost.sent == 0 && lost.received == 0) {
        return;  // places that moved nothing: nothing is missing
    }
    const std::uint32_t id = header.connectionId;
    ForgetRequestHead(id);
    // The sides that lost bytes: by their sizes, or by the direction the last ones went.
    const bool client = lost.sizesKnown ? lost.sent != 0 : lost.last == Direction::Sent;
    const bool server = lost.sizesKnown ? lost.received != 0 : lost.last == Direction::Received;
    if (!client && !server) {
        return;
    }
    Connection* connection = Find(id);
    if (connection != nullptr) {
        connection->document = &document;
        connection->header = header;
        switch (connection->mode) {
            case Connection::Mode::Http2:
                // Frames and header compression cannot be followed across a hole.
                connection->Stopped("[HTTP/2 decoding stopped: bytes of the connection were not "
                                    "captured]");
                connection->mode = Connection::Mode::Ignored;
                return;
            case Connection::Mode::WebSocket:
                connection->Line("[WebSocket decoding stopped: bytes of the connection were not "
                                 "captured]\r\n");
                connection->mode = Connection::Mode::Opaque;
                return;
            case Connection::Mode::Opaque:
            case Connection::Mode::Ignored:
                return;
            case Connection::Mode::Watching:
            case Connection::Mode::Resync:
                break;
        }
    }
    // The message each side's lost bytes continued says so; bytes that began a new message
    // (the transfer before them went the other way) cut no message that is listed.
    const auto tell = [&](Direction side, std::uint64_t bytes) {
        if (lost.before == Direction::None || lost.before == side) {
            document.NoteMissingBytes(
                id, side, lost.sizesKnown ? std::optional<std::uint64_t>(bytes) : std::nullopt);
        }
    };
    if (client) {
        tell(Direction::Sent, lost.sent);
    }
    if (server) {
        tell(Direction::Received, lost.received);
    }
    Connection& waiting =
        connection != nullptr ? *connection : Follow(id);
    waiting.mode = Connection::Mode::Resync;
    waiting.document = &document;
    waiting.clientWaits = waiting.clientWaits || client;
    waiting.serverWaits = waiting.serverWaits || server;
}

bool ProtocolStage::AsksToSwitch(std::uint32_t id, EntryPoint entryPoint,
                                 std::span<const std::uint8_t> data) {
    std::string_view head;
    auto open = m_requestHeads.empty() ? m_requestHeads.end() : m_requestHeads.find(id);
    if (entryPoint == EntryPoint::NewRequest) {
        if (open != m_requestHeads.end()) {
            ForgetRequestHead(id);
            open = m_requestHeads.end();
        }
        head = Text(data);  // most heads come whole in their first record: no copy
    } else if (open == m_requestHeads.end()) {
        return false;  // a body, or the rest of a head that was given up
    } else {
        GrowHead(open->second, data);
        head = open->second;
    }
    const HeadLook look = LookAtHead(head, "upgrade");
    if (!look.end) {
        if (open == m_requestHeads.end()) {
            if (m_requestHeads.size() >= kMostFollowed) {
                ForgetRequestHead(m_requestHeads.begin()->first);  // one a client gave up, likely
            }
            open = m_requestHeads.emplace(id, std::string()).first;
            GrowHead(open->second, data);
        }
        if (open->second.size() > kLongestHead || m_headBytes > kMostHeadBytes) {
            ForgetRequestHead(id);  // a head that long asks for nothing we follow
        }
        return false;
    }
    const bool asks =
        look.mayHaveField && FindHeadField(head, *look.end, "upgrade").has_value();
    if (open != m_requestHeads.end()) {
        ForgetRequestHead(id);
    }
    return asks;
}

void ProtocolStage::ForgetRequestHead(std::uint32_t id) {
    const auto found = m_requestHeads.find(id);
    if (found != m_requestHeads.end()) {
        DropHead(found->second);
        m_requestHeads.erase(found);
    }
}

void ProtocolStage::GrowHead(std::string& head, std::span<const std::uint8_t> data) {
    // As the message's text keeps it: NUL bytes as spaces.
    const std::size_t at = head.size();
    head.append(Text(data));
    std::replace(head.begin() + static_cast<std::ptrdiff_t>(at), head.end(), '\0', ' ');
    m_headBytes += data.size();
}

void ProtocolStage::DropHead(std::string& head) {
    m_headBytes -= head.size();
    head = {};
}

void ProtocolStage::DeliverWatched(Connection& connection, EntryPoint entryPoint,
                                   std::span<const std::uint8_t> data) {
    // Copies: the connection is forgotten on the way when no switch comes.
    MessageSink& document = *connection.document;
    const CaptureRecord header = connection.header;
    const std::uint32_t id = connection.id;
    if (IsSent(entryPoint)) {
        DeliverAsHttp1(document, entryPoint, header, data);
        return;
    }
    // The response's header is found in the bytes; the bytes after a 101 are the new
    // protocol's, those after any other final response are HTTP/1.x again.
    std::string& head = connection.responseHead;
    while (!data.empty()) {
        if (entryPoint == EntryPoint::NewResponse || !connection.responseHeadOpen) {
            DropHead(head);
        }
        const std::optional<std::size_t> end = HeadEndAfter(head, Text(data));
        if (!end) {
            // The head goes on in the next record.
            GrowHead(head, data);
            connection.responseHeadOpen = true;
            if (head.size() > kLongestHead || m_headBytes > kMostHeadBytes) {
                Forget(id);  // no switch is followed after a head that long
            }
            DeliverAsHttp1(document, entryPoint, header, data);
            return;
        }
        const std::optional<std::uint32_t> code = StatusOfHead(head, data);
        if (!code || (*code != 101 && (*code < 100 || *code > 199))) {
            // A final answer that refuses the switch: the record goes on whole, so that the
            // response sees the body bytes that came with its header, as on any connection.
            Forget(id);
            DeliverAsHttp1(document, entryPoint, header, data);
            return;
        }
        GrowHead(head, data.first(*end));
        connection.responseHeadOpen = false;
        DeliverAsHttp1(document, entryPoint, header, data.first(*end));
        data = data.subspan(*end);
        entryPoint = EntryPoint::AppendResponse;
        if (*code == 101) {
            Switch(connection, data);
            return;
        }
    }
}

void ProtocolStage::Switch(Connection& connection, std::span<const std::uint8_t> rest) {
    const std::string_view head = connection.responseHead;
    const std::string_view upgrade = FindHeadField(head, head.size(), "upgrade").value_or("");
    if (ListHasToken(upgrade, "websocket")) {
        connection.mode = Connection::Mode::WebSocket;
        connection.webSocket = std::make_unique<WebSocketDecoder>(connection);
        connection.webSocket->Feed(Direction::Received, rest);
    } else if (ListHasToken(upgrade, "h2c")) {
        // The request that asked is stream 1: its response follows as frames.
        connection.mode = Connection::Mode::Http2;
        connection.http2 = std::make_unique<Http2Decoder>(connection);
        connection.http2->UpgradedFromHttp1();
        connection.streams[1] = connection.id;
        connection.http2->Feed(Direction::Received, rest);
    } else {
        connection.mode = Connection::Mode::Opaque;
        connection.document->CountSkipped(connection.id, rest.size());
    }
    DropHead(connection.responseHead);
}

}  // namespace vantor
