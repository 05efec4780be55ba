#include "sources/PcapImport.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>
#include <vector>

#include "capture/CaptureDispatch.h"
#include "capture/ChannelLayout.h"
#include "document/CSnifferDoc.h"
#include "platform/Endian.h"
#include "platform/LocalTimes.h"
#include "record/CaptureRecord.h"
#include "sources/PcapngSecrets.h"

namespace vantor {

namespace {

// Hands reassembled bytes to dispatch as the provider of a captured client would have.
class DispatchSink : public FlowSink {
public:
    DispatchSink(CaptureDispatch& dispatch, CSnifferDoc& document)
        : m_dispatch(dispatch), m_document(document) {}

    void Bytes(std::uint32_t connectionId, const TcpEndpoint& server, Direction direction,
               bool newMessage, std::span<const std::uint8_t> data,
               std::int64_t timeMicroseconds) override {
        CaptureRecord header;
        std::span<const std::uint8_t> bytes = data;
        header.direction = direction;
        Direction& last = m_lastDirection[connectionId];
        if (newMessage) {
            // After bytes went missing: a message of its own, never the rest of the one cut.
            header.previousDirection =
                direction == Direction::Sent ? Direction::None : Direction::Sent;
        } else {
            header.previousDirection = last;
        }
        last = header.direction;
        header.connectionId = connectionId;
        header.peerAddress.port = {static_cast<std::uint8_t>(server.port >> 8),
                                   static_cast<std::uint8_t>(server.port & 0xFF)};
        header.providerData = kCaptureHeaderSize;
        header.time = m_times.At(timeMicroseconds);
        if (server.ipv6) {
            header.peerAddress.family = kAddressFamilyInet6;
            Ipv6Peer peer;
            peer.address = server.address;
            m_buffer.resize(kPeerExtensionSize + data.size());
            WritePeerExtension(peer, std::span<std::uint8_t, kPeerExtensionSize>(
                                         m_buffer.data(), kPeerExtensionSize));
            std::memcpy(m_buffer.data() + kPeerExtensionSize, data.data(), data.size());
            bytes = m_buffer;
        } else {
            header.peerAddress.family = kAddressFamilyInet;
            std::memcpy(header.peerAddress.address.data(), server.address.data() + 12, 4);
        }
        header.dataLength = static_cast<std::uint32_t>(bytes.size());
        if (const auto tls = m_tls.find(connectionId); tls != m_tls.end()) {
            SetRecordExtensionFlags(header, VANTOR_EXTENSION_TLS);
            if (tls->second.header.connectionId == 0) {  // a flow's peer stays what it was
                tls->second.peer.assign(bytes.begin(),
                                        bytes.end() - static_cast<std::ptrdiff_t>(data.size()));
            }
            tls->second.header = header;
        }
        m_dispatch.Dispatch(header, bytes);
    }

    void Missing(std::uint32_t connectionId, Direction direction, std::uint64_t count) override {
        const auto tls = m_tls.find(connectionId);
        if (tls == m_tls.end()) {
            m_document.NoteMissingBytes(connectionId, direction, count);
            return;
        }
        // Through dispatch, as a lost record: the TLS stage can decrypt no further.
        CaptureRecord lost = tls->second.header;
        SetRecordExtensionFlags(lost, 0);
        lost.direction = Direction::Lost;
        std::vector<std::uint8_t> data = tls->second.peer;  // an IPv6 peer's extension
        const std::size_t at = data.size();
        data.resize(at + VANTOR_LOST_DATA_SIZE);
        const auto field = [&data, at](std::size_t offset) {
            return std::span<std::uint8_t, 4>(data.data() + at + offset, 4);
        };
        StoreLE32(field(VANTOR_LOST_COUNT_OFFSET), 1);
        StoreLE32(field(VANTOR_LOST_FLAGS_OFFSET),
                  VANTOR_LOST_SIZES_KNOWN | static_cast<std::uint32_t>(direction)
                                                << VANTOR_LOST_LAST_SHIFT);
        const std::size_t side =
            direction == Direction::Sent ? VANTOR_LOST_SENT_OFFSET : VANTOR_LOST_RECEIVED_OFFSET;
        StoreLE32(field(side), static_cast<std::uint32_t>(count));
        StoreLE32(field(side + 4), static_cast<std::uint32_t>(count >> 32));
        lost.dataLength = static_cast<std::uint32_t>(data.size());
        m_dispatch.Dispatch(lost, data);
    }

    void Ended(std::uint32_t connectionId) override {
        m_lastDirection.erase(connectionId);
        m_tls.erase(connectionId);
        m_document.EndConnection(connectionId);
    }

    void TlsFlow(std::uint32_t connectionId) override { m_tls[connectionId] = {}; }

private:
    CaptureDispatch& m_dispatch;
    CSnifferDoc& m_document;
    std::unordered_map<std::uint32_t, Direction> m_lastDirection;
    // The TLS flows, with the header of their latest record and its peer's extension.
    struct TlsFlowRecord {
        CaptureRecord header;
        std::vector<std::uint8_t> peer;
    };
    std::unordered_map<std::uint32_t, TlsFlowRecord> m_tls;
    std::vector<std::uint8_t> m_buffer;
    LocalTimes m_times;
};

struct PcapCloser {
    void operator()(pcap_t* capture) const { pcap_close(capture); }
};

}  // namespace

CaptureImportResult ImportCaptureFile(const std::string& path, CaptureDispatch& dispatch,
                                      CSnifferDoc& document, const ImportProgress& progress) {
    CaptureImportResult result;
    const std::string name = path == "-" ? std::string("standard input") : path;
    // "-" is standard input: a capture piped from tcpdump -w - is imported as it comes.
    const int fd = path == "-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                               : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = "cannot open " + name + ": " + std::strerror(errno);
        return result;
    }
    struct stat status {};
    std::uint64_t total = 0;
    if (::fstat(fd, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            ::close(fd);
            result.error = "cannot open " + name + ": " + std::strerror(EISDIR);
            return result;
        }
        if (S_ISREG(status.st_mode)) {
            total = static_cast<std::uint64_t>(status.st_size);
        }
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        result.error = "cannot open " + name + ": " + std::strerror(errno);
        return result;
    }
    // Read in large pieces: a system call per 4 KiB would cost more than the parsing.
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    // The TLS secrets a pcapng file carries decrypt its TLS, with the key logs given.
    if (const std::string secrets = ReadPcapngKeyLog(file); !secrets.empty()) {
        dispatch.AddKeys(secrets);
    }
    char message[PCAP_ERRBUF_SIZE] = {};
    // libpcap closes the file with the handle (and on failure, as of 1.10 it does not).
    std::unique_ptr<pcap_t, PcapCloser> capture(
        pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO, message));
    if (capture == nullptr) {
        std::fclose(file);
        result.error = name + " is not a capture file that can be read: " + message;
        return result;
    }
    const int linkType = pcap_datalink(capture.get());
    if (!IsSupportedLinkType(linkType)) {
        const char* linkName = pcap_datalink_val_to_name(linkType);
        result.error = name + ": the link type " +
                       (linkName != nullptr ? std::string(linkName) : std::to_string(linkType)) +
                       " is not one that can be imported (Ethernet, loopback, Linux cooked or "
                       "raw IP)";
        return result;
    }

    DispatchSink sink(dispatch, document);
    TcpReassembler reassembler(sink);
    constexpr std::uint64_t kProgressEvery = 4096;  // packets
    if (progress && !progress(0, total)) {
        result.cancelled = true;
        return result;
    }
    for (;;) {
        pcap_pkthdr* packetHeader = nullptr;
        const std::uint8_t* packet = nullptr;
        const int read = pcap_next_ex(capture.get(), &packetHeader, &packet);
        if (read == PCAP_ERROR_BREAK) {
            break;  // the end of the file
        }
        if (read != 1) {
            result.error =
                name + ": " + pcap_geterr(capture.get()) + "; the packets before it were imported";
            break;
        }
        ++result.packets;
        // A frame shorter than it claims is read as far as it goes.
        const std::span<const std::uint8_t> frame(packet, packetHeader->caplen);
        TcpSegment segment;
        switch (ParseFrame(linkType, frame, segment)) {
            case FrameVerdict::Segment:
                reassembler.Add(segment,
                                static_cast<std::int64_t>(packetHeader->ts.tv_sec) * 1'000'000 +
                                    packetHeader->ts.tv_usec);
                break;
            case FrameVerdict::Fragment:
                ++result.fragments;
                break;
            case FrameVerdict::Malformed:
                ++result.malformed;
                break;
            case FrameVerdict::NotTcp:
                break;
        }
        if (progress && result.packets % kProgressEvery == 0) {
            const long position = std::ftell(pcap_file(capture.get()));
            if (!progress(position > 0 ? static_cast<std::uint64_t>(position) : 0, total)) {
                result.cancelled = true;
                return result;
            }
        }
    }
    reassembler.Finish();
    dispatch.FinishTls("its keys are not in the key log");
    result.reassembly = reassembler.counts();
    if (progress) {
        progress(total, total);
    }
    return result;
}

std::string DescribeImport(const CaptureImportResult& result) {
    const auto plural = [](std::uint64_t count, const char* one, const char* many) {
        return std::to_string(count) + ' ' + (count == 1 ? one : many);
    };
    std::string text =
        plural(result.packets, "packet", "packets") + ", " +
        plural(result.reassembly.httpFlows, "HTTP connection", "HTTP connections") +
        (result.reassembly.tlsFlows == 0
             ? std::string()
             : ", " + plural(result.reassembly.tlsFlows, "TLS connection", "TLS connections")) +
        " of " + plural(result.reassembly.flows, "TCP flow", "TCP flows");
    if (result.reassembly.gaps != 0) {
        text += "; " + plural(result.reassembly.missingBytes, "byte", "bytes") + " in " +
                plural(result.reassembly.gaps, "place", "places") + " not captured";
    }
    if (result.fragments != 0) {
        text += "; " + plural(result.fragments, "IP fragment", "IP fragments") + " left out";
    }
    if (result.malformed != 0) {
        text += "; " + plural(result.malformed, "malformed frame", "malformed frames");
    }
    return text;
}

}  // namespace vantor
