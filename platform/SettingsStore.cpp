#include "platform/SettingsStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/AtomicFile.h"
#include "platform/XdgPaths.h"

namespace vantor {

struct SettingsStore::Key {
    std::string name;
    // Keyed by the lower-cased name; each entry keeps the name as it was created.
    std::map<std::string, std::pair<std::string, Value>> values;
    std::map<std::string, std::unique_ptr<Key>> subkeys;
};

namespace {

// What a file may make us hold, whatever it says: our own keys are five deep with short
// names, and the file holds a few kilobytes. A key deeper or a name longer than these is a
// damaged line and ignored; a file larger, or with more keys or values, is damaged as a whole
// (or made to hurt) and gives the defaults.
constexpr std::size_t kMostKeyDepth = 64;
constexpr std::size_t kLongestKeyName = 255;       // as the registry allows
constexpr std::size_t kLongestValueName = 16'383;  // as the registry allows
constexpr std::size_t kMostKeys = 65'536;
constexpr std::size_t kMostValues = 65'536;
constexpr std::size_t kLargestFile = 4 * 1024 * 1024;

constexpr std::string_view kHeader =
    "; Vantor settings store. Keys in [brackets]; values \"name\"=dword:XXXXXXXX (hexadecimal)\n"
    "; or \"name\"=\"text\" with \\\\, \\\", \\n, \\r, \\t and \\xNN escapes.\n";

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('\\');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty()) {
            parts.push_back(part);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return parts;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// Reads a quoted text at the start of line; on success removes it from line.
std::optional<std::string> Unquote(std::string_view& line) {
    if (line.empty() || line.front() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            line.remove_prefix(i + 1);
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= line.size()) {
            return std::nullopt;
        }
        switch (line[i]) {
            case '\\':
            case '"':
                out += line[i];
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                const int high = i + 1 < line.size() ? HexDigitValue(line[i + 1]) : -1;
                const int low = i + 2 < line.size() ? HexDigitValue(line[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    return std::nullopt;
                }
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ParseDword(std::string_view text) {
    if (text.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path file)
    : m_file(std::move(file)), m_root(std::make_unique<Key>()) {
    std::ifstream input(m_file, std::ios::binary);
    if (input) {
        // Up to one byte more than a store may be: a larger file is damaged, and gives the
        // defaults.
        std::string text;
        char chunk[64 * 1024];
        while (text.size() <= kLargestFile && input.read(chunk, sizeof chunk).gcount() > 0) {
            text.append(chunk, static_cast<std::size_t>(input.gcount()));
        }
        if (text.size() <= kLargestFile && !Parse(text)) {
            DestroyTree(std::move(m_root));
            m_root = std::make_unique<Key>();
            m_keyCount = 0;
            m_valueCount = 0;
        }
    }
}

SettingsStore::~SettingsStore() {
    DestroyTree(std::move(m_root));
}

void SettingsStore::DestroyTree(std::unique_ptr<Key> top) {
    // Key by key, each emptied of its subkeys before it goes: however deep the tree, the
    // stack does not grow with it.
    std::vector<std::unique_ptr<Key>> pending;
    pending.push_back(std::move(top));
    while (!pending.empty()) {
        std::unique_ptr<Key> key = std::move(pending.back());
        pending.pop_back();
        if (key == nullptr) {
            continue;
        }
        for (auto& [lowered, subkey] : key->subkeys) {
            pending.push_back(std::move(subkey));
        }
        key->subkeys.clear();
        m_keyCount -= m_keyCount > 0 ? 1 : 0;
    }
}

std::filesystem::path SettingsStore::CurrentUserFile() {
    return ConfigHome() / "Orvane" / "current-user.reg";
}

std::filesystem::path SettingsStore::LocalMachineFile() {
    return StateHome() / "vantor" / "local-machine.reg";
}

bool SettingsStore::Parse(std::string_view text) {
    // Reading changes nothing that needs writing back.
    const bool changed = m_changed;
    Key* current = nullptr;  // values before the first key header have nowhere to go
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = TrimAsciiSpace(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (m_keyCount > kMostKeys || m_valueCount > kMostValues) {
            break;
        }
        if (line.front() == '[') {
            current = line.back() == ']' && line.size() > 2
                          ? TryMakeKey(line.substr(1, line.size() - 2))
                          : nullptr;
            continue;
        }
        auto name = Unquote(line);
        if (current == nullptr || !name || name->size() > kLongestValueName || line.empty() ||
            line.front() != '=') {
            continue;
        }
        line.remove_prefix(1);
        std::optional<Value> value;
        if (line.starts_with("dword:")) {
            if (const auto number = ParseDword(line.substr(6))) {
                value = *number;
            }
        } else if (auto quoted = Unquote(line); quoted && TrimAsciiSpace(line).empty()) {
            value = std::move(*quoted);
        }
        if (value) {
            SetValue(*current, *name, std::move(*value));
        }
    }
    m_changed = changed;
    return m_keyCount <= kMostKeys && m_valueCount <= kMostValues;
}

SettingsStore::Key* SettingsStore::TryMakeKey(std::string_view path) {
    const std::vector<std::string_view> parts = SplitPath(path);
    if (parts.empty() || parts.size() > kMostKeyDepth) {
        return nullptr;
    }
    for (const std::string_view part : parts) {
        if (part.size() > kLongestKeyName) {
            return nullptr;
        }
    }
    return &MakeKey(path);
}

SettingsStore::Key* SettingsStore::FindKey(std::string_view path) const {
    Key* key = m_root.get();
    for (const std::string_view part : SplitPath(path)) {
        const auto found = key->subkeys.find(AsciiLower(part));
        if (found == key->subkeys.end()) {
            return nullptr;
        }
        key = found->second.get();
    }
    return key;
}

SettingsStore::Key& SettingsStore::MakeKey(std::string_view path) {
    Key* key = m_root.get();
    for (const std::string_view part : SplitPath(path)) {
        auto& slot = key->subkeys[AsciiLower(part)];
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = std::string(part);
            ++m_keyCount;
            m_changed = true;
        }
        key = slot.get();
    }
    return *key;
}

void SettingsStore::CreateKey(std::string_view key) {
    MakeKey(key);
}

bool SettingsStore::KeyExists(std::string_view key) const {
    return FindKey(key) != nullptr;
}

std::optional<std::string> SettingsStore::EnumSubkey(std::string_view key,
                                                     std::size_t index) const {
    const Key* found = FindKey(key);
    if (found == nullptr || index >= found->subkeys.size()) {
        return std::nullopt;
    }
    auto entry = found->subkeys.begin();
    std::advance(entry, static_cast<std::ptrdiff_t>(index));
    return entry->second->name;
}

bool SettingsStore::DeleteKey(std::string_view key) {
    const std::vector<std::string_view> parts = SplitPath(key);
    if (parts.empty()) {
        return false;  // the root itself stays
    }
    std::string parentPath;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        parentPath += std::string(parts[i]) + "\\";
    }
    Key* parent = FindKey(parentPath);
    if (parent == nullptr) {
        return false;
    }
    const auto found = parent->subkeys.find(AsciiLower(parts.back()));
    if (found == parent->subkeys.end()) {
        return false;
    }
    std::unique_ptr<Key> removed = std::move(found->second);
    parent->subkeys.erase(found);
    DestroyTree(std::move(removed));
    m_changed = true;
    return true;
}

const SettingsStore::Value* SettingsStore::FindValue(std::string_view key,
                                                     std::string_view name) const {
    const Key* found = FindKey(key);
    if (found == nullptr) {
        return nullptr;
    }
    const auto value = found->values.find(AsciiLower(name));
    return value == found->values.end() ? nullptr : &value->second.second;
}

std::optional<std::uint32_t> SettingsStore::ReadDword(std::string_view key,
                                                      std::string_view name) const {
    const Value* value = FindValue(key, name);
    const auto* number = value != nullptr ? std::get_if<std::uint32_t>(value) : nullptr;
    return number != nullptr ? std::optional(*number) : std::nullopt;
}

std::optional<std::string> SettingsStore::ReadString(std::string_view key,
                                                     std::string_view name) const {
    const Value* value = FindValue(key, name);
    const auto* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
    return text != nullptr ? std::optional(*text) : std::nullopt;
}

void SettingsStore::WriteDword(std::string_view key, std::string_view name, std::uint32_t value) {
    SetValue(MakeKey(key), name, value);
}

void SettingsStore::WriteString(std::string_view key, std::string_view name,
                                std::string_view value) {
    SetValue(MakeKey(key), name, std::string(value));
}

void SettingsStore::SetValue(Key& key, std::string_view name, Value value) {
    std::string lowered = AsciiLower(name);
    m_valueCount += key.values.contains(lowered) ? 0u : 1u;
    key.values[std::move(lowered)] = {std::string(name), std::move(value)};
    m_changed = true;
}

bool SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
    Key* found = FindKey(key);
    if (found == nullptr || found->values.erase(AsciiLower(name)) == 0) {
        return false;
    }
    m_valueCount -= m_valueCount > 0 ? 1 : 0;
    m_changed = true;
    return true;
}

std::string SettingsStore::Format() const {
    std::string out(kHeader);
    // Depth first, in name order, with an explicit stack. A key without values that has
    // subkeys is not written: its subkeys' paths bring it back. So every key written stood on
    // a line of its own in what was read or was given a value, and the text grows with what
    // the store holds, not with the square of its depth.
    struct Pending {
        const Key* key;
        std::size_t pathLength;  // of the path in `path` that names this key
    };
    std::string path;
    std::vector<Pending> pending;
    for (auto top = m_root->subkeys.rbegin(); top != m_root->subkeys.rend(); ++top) {
        pending.push_back({top->second.get(), 0});
    }
    while (!pending.empty()) {
        const auto [key, parentLength] = pending.back();
        pending.pop_back();
        path.resize(parentLength);
        if (parentLength != 0) {
            path += '\\';
        }
        path += key->name;
        if (!key->values.empty() || key->subkeys.empty()) {
            out += "\n[" + path + "]\n";
            for (const auto& [lowered, entry] : key->values) {
                const auto& [name, value] = entry;
                out += Quote(name) + "=";
                if (const auto* number = std::get_if<std::uint32_t>(&value)) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "dword:%08x", *number);
                    out += hex;
                } else {
                    out += Quote(std::get<std::string>(value));
                }
                out += '\n';
            }
        }
        const std::size_t length = path.size();
        for (auto sub = key->subkeys.rbegin(); sub != key->subkeys.rend(); ++sub) {
            pending.push_back({sub->second.get(), length});
        }
    }
    return out;
}

bool SettingsStore::Flush() {
    if (!m_changed) {
        return true;
    }
    std::error_code error;
    std::filesystem::create_directories(m_file.parent_path(), error);
    if (!WriteFileAtomically(m_file, Format())) {
        return false;
    }
    m_changed = false;
    return true;
}

}  // namespace vantor
