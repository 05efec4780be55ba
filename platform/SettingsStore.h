#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vantor {

// One root of the settings store: keys that hold subkeys and named values, each a 32-bit
// number (DWORD) or a text (string), as the registry's current-user and local-machine roots
// do. A root lives in one human-readable text file:
//
//   ; comment
//   [Software\Orvane\Vantor\Preferences]
//   "max_req_size"=dword:00000100
//   "allowed_content"="\"\" \"text/\""
//
// Key paths are separated by backslashes. Names of keys and values are compared without
// regard to ASCII case and keep the case they were created with. Changes stay in memory until
// Flush, which replaces the file atomically. A missing or damaged file never stops the
// program: what can be read is used, the rest is as if absent. Keys nested too deep or named
// too long are ignored; a file larger, or with more keys or values, than a store of ours ever
// holds counts as damaged as a whole.
class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path file);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // $XDG_CONFIG_HOME/Orvane/current-user.reg (XDG_CONFIG_HOME defaults to ~/.config).
    static std::filesystem::path CurrentUserFile();
    // $XDG_STATE_HOME/vantor/local-machine.reg (XDG_STATE_HOME defaults to ~/.local/state).
    static std::filesystem::path LocalMachineFile();

    const std::filesystem::path& file() const { return m_file; }

    // Creates the key and the keys above it as needed.
    void CreateKey(std::string_view key);
    bool KeyExists(std::string_view key) const;
    // The name of the index-th subkey of key (in name order), or nothing past the last.
    std::optional<std::string> EnumSubkey(std::string_view key, std::size_t index) const;
    // Deletes the key with everything below it. False when there was no such key.
    bool DeleteKey(std::string_view key);

    std::optional<std::uint32_t> ReadDword(std::string_view key, std::string_view name) const;
    std::optional<std::string> ReadString(std::string_view key, std::string_view name) const;
    // Writing a value creates its key.
    void WriteDword(std::string_view key, std::string_view name, std::uint32_t value);
    void WriteString(std::string_view key, std::string_view name, std::string_view value);
    bool DeleteValue(std::string_view key, std::string_view name);

    // Writes the file if anything changed since it was read or last written: a temporary file
    // beside it, renamed over it. False when that failed; the store keeps its contents.
    bool Flush();
    // The text the file would hold.
    std::string Format() const;

private:
    using Value = std::variant<std::uint32_t, std::string>;
    struct Key;

    Key* FindKey(std::string_view path) const;
    const Value* FindValue(std::string_view key, std::string_view name) const;
    Key& MakeKey(std::string_view path);
    // MakeKey for a key named in a file: nothing when the path is deeper or a name longer than
    // in a store of ours.
    Key* TryMakeKey(std::string_view path);
    void SetValue(Key& key, std::string_view name, Value value);
    // False when the text holds more than a store of ours ever does.
    bool Parse(std::string_view text);
    // Destroys a tree of keys without recursion, however deep it is.
    void DestroyTree(std::unique_ptr<Key> top);

    std::filesystem::path m_file;
    std::unique_ptr<Key> m_root;
    std::size_t m_keyCount = 0;
    std::size_t m_valueCount = 0;
    bool m_changed = false;
};

}  // namespace vantor
