#include "platform/ProtocolCatalog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/XdgPaths.h"

namespace vantor {

struct ProtocolCatalog::Contents {
    std::uint32_t nextId = 1001;
    std::vector<std::pair<Uuid, std::string>> providers;
    std::vector<ProtocolInfo> entries;  // in catalog order
};

namespace {

constexpr std::string_view kBaseProviderId = "3f6d2a90-7c41-4e5b-9a82-5b1e0c4d7f13";
constexpr std::string_view kBaseProviderPath = "(kernel)";

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + '"';
}

// key=value fields of a line; a value in double quotes may hold spaces and \" \\ \n escapes.
std::optional<std::map<std::string, std::string>> ParseFields(std::string_view line) {
    std::map<std::string, std::string> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        const std::size_t equals = line.find('=', i);
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        std::string key(line.substr(i, equals - i));
        std::string value;
        i = equals + 1;
        if (i < line.size() && line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    ++i;
                    value += line[i] == 'n' ? '\n' : line[i];
                } else {
                    value += line[i];
                }
                ++i;
            }
            if (i >= line.size()) {
                return std::nullopt;
            }
            ++i;
        } else {
            const std::size_t end = std::min(line.find(' ', i), line.size());
            value = std::string(line.substr(i, end - i));
            i = end;
        }
        fields[std::move(key)] = std::move(value);
    }
    return fields;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "a,b,c" into numbers; false unless there are exactly out.size() of them.
template <typename Number, std::size_t N>
bool ParseList(std::string_view text, std::array<Number, N>& out, std::size_t count, int base) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t comma = std::min(text.find(','), text.size());
        if (!ParseNumber(text.substr(0, comma), out[i], base)) {
            return false;
        }
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return text.empty();
}

std::string FormatEntry(const ProtocolInfo& e) {
    std::ostringstream out;
    out << "entry id=" << e.catalogEntryId << " provider=" << e.providerId.ToString()
        << " service=" << std::hex << e.serviceFlags[0] << ',' << e.serviceFlags[1] << ','
        << e.serviceFlags[2] << ',' << e.serviceFlags[3] << " provider-flags=" << e.providerFlags
        << std::dec << " chain=" << e.chain.length;
    for (int i = 0; i < std::clamp(e.chain.length, 0, kMaxProtocolChain); ++i) {
        out << (i == 0 ? ':' : ',') << e.chain.entries[static_cast<std::size_t>(i)];
    }
    out << " version=" << e.version << " family=" << e.addressFamily
        << " sockaddr=" << e.maxSockAddr << ',' << e.minSockAddr << " type=" << e.socketType
        << " protocol=" << e.protocol << " max-offset=" << e.protocolMaxOffset
        << " byte-order=" << e.networkByteOrder << " security=" << e.securityScheme
        << " message-size=" << e.messageSize << " reserved=" << e.providerReserved
        << " name=" << Quote(e.protocolName);
    return out.str();
}

std::optional<ProtocolInfo> ParseEntry(const std::map<std::string, std::string>& f) {
    auto get = [&](const char* key) -> std::string_view {
        const auto found = f.find(key);
        return found == f.end() ? std::string_view{} : std::string_view(found->second);
    };
    ProtocolInfo e;
    const auto provider = Uuid::FromString(get("provider"));
    std::array<int, 2> sockaddr{};
    std::string_view chain = get("chain");
    const std::size_t colon = chain.find(':');
    if (!provider || !ParseNumber(get("id"), e.catalogEntryId) ||
        !ParseList(get("service"), e.serviceFlags, 4, 16) ||
        !ParseNumber(get("provider-flags"), e.providerFlags, 16) ||
        !ParseNumber(chain.substr(0, colon), e.chain.length) || e.chain.length < 0 ||
        e.chain.length > kMaxProtocolChain ||
        (e.chain.length > 0 && (colon == std::string_view::npos ||
                                !ParseList(chain.substr(colon + 1), e.chain.entries,
                                           static_cast<std::size_t>(e.chain.length), 10))) ||
        !ParseNumber(get("version"), e.version) || !ParseNumber(get("family"), e.addressFamily) ||
        !ParseList(get("sockaddr"), sockaddr, 2, 10) || !ParseNumber(get("type"), e.socketType) ||
        !ParseNumber(get("protocol"), e.protocol) ||
        !ParseNumber(get("max-offset"), e.protocolMaxOffset) ||
        !ParseNumber(get("byte-order"), e.networkByteOrder) ||
        !ParseNumber(get("security"), e.securityScheme) ||
        !ParseNumber(get("message-size"), e.messageSize) ||
        !ParseNumber(get("reserved"), e.providerReserved) || f.count("name") == 0) {
        return std::nullopt;
    }
    e.providerId = *provider;
    e.maxSockAddr = sockaddr[0];
    e.minSockAddr = sockaddr[1];
    e.protocolName = std::string(get("name").substr(0, kMaxProtocolName));
    return e;
}

std::string Format(const std::vector<std::pair<Uuid, std::string>>& providers,
                   const std::vector<ProtocolInfo>& entries, std::uint32_t nextId) {
    std::string out =
        "# Vantor protocol catalog: the providers' libraries, then the entries in catalog order.\n";
    out += "next-id " + std::to_string(nextId) + "\n";
    for (const auto& [id, path] : providers) {
        out += "provider id=" + id.ToString() + " path=" + Quote(path) + "\n";
    }
    for (const ProtocolInfo& entry : entries) {
        out += FormatEntry(entry) + "\n";
    }
    return out;
}

ProtocolInfo BaseEntry(std::uint32_t id, int family, int type, int protocol,
                       std::uint32_t serviceFlags, const char* name) {
    ProtocolInfo e;
    e.serviceFlags[0] = serviceFlags;
    e.providerId = *Uuid::FromString(kBaseProviderId);
    e.catalogEntryId = id;
    e.chain.length = BASE_PROTOCOL;
    e.chain.entries[0] = id;
    e.version = 2;
    e.addressFamily = family;
    e.maxSockAddr = family == 2 ? 16 : 28;
    e.minSockAddr = family == 2 ? 16 : 28;
    e.socketType = type;
    e.protocol = protocol;
    e.protocolMaxOffset = type == 3 ? 255 : 0;
    e.messageSize = type == 1 ? 0 : 65467;
    e.protocolName = name;
    return e;
}

}  // namespace

ProtocolCatalog::ProtocolCatalog(std::filesystem::path file) : m_file(std::move(file)) {}

std::filesystem::path ProtocolCatalog::DefaultFile() {
    return StateHome() / "vantor" / "protocol-catalog";
}

std::vector<ProtocolInfo> ProtocolCatalog::BaseEntries() {
    constexpr std::uint32_t kStream = 0x00000066 | XP1_IFS_HANDLES;    // delivery, order, close
    constexpr std::uint32_t kDatagram = 0x00000609 | XP1_IFS_HANDLES;  // connectionless, messages
    return {
        BaseEntry(1001, 2, 1, 6, kStream, "Linux TCP/IPv4"),
        BaseEntry(1002, 2, 2, 17, kDatagram, "Linux UDP/IPv4"),
        BaseEntry(1003, 2, 3, 0, kDatagram, "Linux RAW/IPv4"),
        BaseEntry(1004, 10, 1, 6, kStream, "Linux TCP/IPv6"),
        BaseEntry(1005, 10, 2, 17, kDatagram, "Linux UDP/IPv6"),
        BaseEntry(1006, 10, 3, 0, kDatagram, "Linux RAW/IPv6"),
    };
}

std::optional<ProtocolCatalog::Contents> ProtocolCatalog::Read() const {
    Contents contents;
    std::ifstream input(m_file);
    if (!input) {
        // A file that is there but cannot be read, or whose folder cannot be looked into, is
        // not a catalog of base entries alone.
        std::error_code error;
        if (std::filesystem::exists(m_file, error) || error) {
            return std::nullopt;
        }
        contents.entries = BaseEntries();
        contents.providers.emplace_back(*Uuid::FromString(kBaseProviderId), kBaseProviderPath);
        contents.nextId = 1007;
        return contents;
    }
    std::string line;
    while (std::getline(input, line)) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.starts_with("next-id ")) {
            if (!ParseNumber(std::string_view(line).substr(8), contents.nextId)) {
                return std::nullopt;
            }
            continue;
        }
        const bool isEntry = line.starts_with("entry ");
        if (!isEntry && !line.starts_with("provider ")) {
            return std::nullopt;
        }
        const auto fields = ParseFields(std::string_view(line).substr(isEntry ? 6 : 9));
        if (!fields) {
            return std::nullopt;
        }
        if (isEntry) {
            auto entry = ParseEntry(*fields);
            if (!entry) {
                return std::nullopt;
            }
            contents.entries.push_back(std::move(*entry));
        } else {
            const auto id = fields->find("id");
            const auto path = fields->find("path");
            if (id == fields->end() || path == fields->end() || !Uuid::FromString(id->second)) {
                return std::nullopt;
            }
            contents.providers.emplace_back(*Uuid::FromString(id->second), path->second);
        }
    }
    return contents;
}

template <typename Change>
bool ProtocolCatalog::Modify(Change change) {
    if (!MakePrivateFolder(m_file.parent_path())) {
        return false;
    }
    std::filesystem::path lockFile = m_file;
    lockFile += ".lock";
    const int lock = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        return false;
    }
    bool ok = false;
    if (::flock(lock, LOCK_EX) == 0) {
        auto contents = Read();
        if (contents && change(*contents)) {
            ok = WriteFileAtomically(
                m_file, Format(contents->providers, contents->entries, contents->nextId));
        }
    }
    ::close(lock);
    return ok;
}

std::optional<std::vector<ProtocolInfo>> ProtocolCatalog::EnumProtocols() const {
    auto contents = Read();
    if (!contents) {
        return std::nullopt;
    }
    return std::move(contents->entries);
}

bool ProtocolCatalog::InstallProvider(const Uuid& providerId, const std::string& path,
                                      std::span<const ProtocolInfo> entries) {
    return Modify([&](Contents& contents) {
        for (const auto& [id, existing] : contents.providers) {
            if (id == providerId) {
                return false;
            }
        }
        if (entries.empty()) {
            return false;
        }
        contents.providers.emplace_back(providerId, path);
        for (ProtocolInfo entry : entries) {
            entry.providerId = providerId;
            entry.catalogEntryId = contents.nextId++;
            entry.protocolName.resize(std::min(entry.protocolName.size(), kMaxProtocolName));
            contents.entries.push_back(std::move(entry));
        }
        return true;
    });
}

bool ProtocolCatalog::DeinstallProvider(const Uuid& providerId) {
    return Modify([&](Contents& contents) {
        const auto before = contents.providers.size();
        std::erase_if(contents.providers, [&](const auto& p) { return p.first == providerId; });
        std::erase_if(contents.entries,
                      [&](const ProtocolInfo& e) { return e.providerId == providerId; });
        return contents.providers.size() != before;
    });
}

bool ProtocolCatalog::WriteProviderOrder(std::span<const std::uint32_t> catalogEntryIds) {
    return Modify([&](Contents& contents) {
        if (catalogEntryIds.size() != contents.entries.size()) {
            return false;
        }
        std::vector<ProtocolInfo> ordered;
        std::set<std::uint32_t> seen;
        for (const std::uint32_t id : catalogEntryIds) {
            const auto found =
                std::find_if(contents.entries.begin(), contents.entries.end(),
                             [&](const ProtocolInfo& e) { return e.catalogEntryId == id; });
            if (found == contents.entries.end() || !seen.insert(id).second) {
                return false;
            }
            ordered.push_back(*found);
        }
        contents.entries = std::move(ordered);
        return true;
    });
}

std::optional<std::string> ProtocolCatalog::ProviderPath(const Uuid& providerId) const {
    const auto contents = Read();
    if (!contents) {
        return std::nullopt;
    }
    for (const auto& [id, path] : contents->providers) {
        if (id == providerId) {
            return path;
        }
    }
    return std::nullopt;
}

}  // namespace vantor
