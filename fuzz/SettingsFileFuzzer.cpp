// Settings files from anywhere: reading one never crashes, recurses without bound or holds
// more than a store of ours ever does, and what is read is written, read and written again to
// the same text.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/SettingsStore.h"

namespace {

const std::filesystem::path& ScratchFile() {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("vantor-settings-fuzz-" + std::to_string(::getpid()) + ".reg");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& file = ScratchFile();
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::string first;
    {
        vantor::SettingsStore store(file);
        first = store.Format();
        store.EnumSubkey("Software\\Orvane\\Vantor", 0);
        store.ReadDword("Software\\Orvane\\Vantor\\Preferences", "max_req_size");
    }
    // Escapes can make the text longer than what was read; past the size a store may have,
    // reading it back gives the defaults by design.
    if (first.size() <= 4 * 1024 * 1024) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << first;
        const vantor::SettingsStore reread(file);
        if (reread.Format() != first) {
            std::abort();
        }
    }
    std::filesystem::remove(file);
    return 0;
}
