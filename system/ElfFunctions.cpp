#include "system/ElfFunctions.h"

#include <capstone/capstone.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>

namespace vantor {

namespace {

// An open file, closed at the end.
class FileDescriptor {
public:
    explicit FileDescriptor(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::unordered_map<std::string, ElfFunction> FindElfFunctions(
    const std::string& path, std::span<const std::string_view> names) {
    std::unordered_map<std::string, ElfFunction> found;
    const FileDescriptor file(path);
    if (file.get() < 0 || ::elf_version(EV_CURRENT) == EV_NONE) {
        return found;
    }
    Elf* elf = ::elf_begin(file.get(), ELF_C_READ_MMAP, nullptr);
    if (elf == nullptr) {
        return found;
    }
    // The exported symbols always; the full table only of Go programs, whose functions are
    // found nowhere else (other programs' full tables, of debug builds, can be huge).
    bool goProgram = false;
    std::size_t sectionNames = 0;
    if (::elf_kind(elf) == ELF_K_ELF && ::gelf_getclass(elf) == ELFCLASS64 &&
        ::elf_getshdrstrndx(elf, &sectionNames) == 0) {
        for (Elf_Scn* section = ::elf_nextscn(elf, nullptr); section != nullptr;
             section = ::elf_nextscn(elf, section)) {
            GElf_Shdr header;
            const char* name = ::gelf_getshdr(section, &header) != nullptr
                                   ? ::elf_strptr(elf, sectionNames, header.sh_name)
                                   : nullptr;
            if (name != nullptr && (std::string_view(name) == ".gopclntab" ||
                                    std::string_view(name) == ".go.buildinfo")) {
                goProgram = true;
            }
        }
        for (Elf_Scn* section = ::elf_nextscn(elf, nullptr); section != nullptr;
             section = ::elf_nextscn(elf, section)) {
            GElf_Shdr header;
            if (::gelf_getshdr(section, &header) == nullptr ||
                !(header.sh_type == SHT_DYNSYM || (header.sh_type == SHT_SYMTAB && goProgram))) {
                continue;
            }
            Elf_Data* symbols = ::elf_getdata(section, nullptr);
            Elf_Scn* stringSection = ::elf_getscn(elf, header.sh_link);
            Elf_Data* strings =
                stringSection != nullptr ? ::elf_getdata(stringSection, nullptr) : nullptr;
            if (symbols == nullptr || strings == nullptr || symbols->d_buf == nullptr ||
                strings->d_buf == nullptr) {
                continue;
            }
            // The tables as they lie in the file, walked directly: a Go program has tens of
            // thousands of symbols.
            const auto* table = static_cast<const Elf64_Sym*>(symbols->d_buf);
            const std::size_t count = symbols->d_size / sizeof(Elf64_Sym);
            const std::string_view text(static_cast<const char*>(strings->d_buf), strings->d_size);
            for (std::size_t i = 0; i < count; ++i) {
                const Elf64_Sym& symbol = table[i];
                if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 ||
                    symbol.st_shndx == SHN_UNDEF || symbol.st_shndx >= SHN_LORESERVE ||
                    symbol.st_name >= text.size()) {
                    continue;
                }
                const std::string_view rest = text.substr(symbol.st_name);
                const std::string_view name = rest.substr(0, rest.find('\0'));
                if (std::find(names.begin(), names.end(), name) == names.end() ||
                    found.count(std::string(name)) != 0) {
                    continue;
                }
                // The code's place in the file, by the section that holds it.
                GElf_Shdr code;
                Elf_Scn* holder = ::elf_getscn(elf, symbol.st_shndx);
                if (holder == nullptr || ::gelf_getshdr(holder, &code) == nullptr ||
                    code.sh_type != SHT_PROGBITS || symbol.st_value < code.sh_addr ||
                    symbol.st_value - code.sh_addr >= code.sh_size) {
                    continue;
                }
                found[std::string(name)] =
                    ElfFunction{symbol.st_value - code.sh_addr + code.sh_offset, symbol.st_size};
            }
        }
    }
    ::elf_end(elf);
    return found;
}

std::optional<std::vector<std::uint64_t>> ReturnOffsets(const std::string& path,
                                                        const ElfFunction& function) {
    if (function.size == 0 || function.size > kLongestFunction) {
        return std::nullopt;
    }
    const FileDescriptor file(path);
    std::vector<std::uint8_t> code(function.size);
    if (file.get() < 0 ||
        ::pread(file.get(), code.data(), code.size(), static_cast<off_t>(function.offset)) !=
            static_cast<ssize_t>(code.size())) {
        return std::nullopt;
    }
    csh handle = 0;
    if (::cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> returns;
    cs_insn* instruction = ::cs_malloc(handle);
    const std::uint8_t* at = code.data();
    std::size_t left = code.size();
    std::uint64_t address = 0;
    while (left > 0) {
        if (!::cs_disasm_iter(handle, &at, &left, &address, instruction)) {
            // Bytes that are no instruction (padding, data): step over one.
            ++at;
            --left;
            ++address;
            continue;
        }
        if (instruction->id == X86_INS_RET) {
            returns.push_back(instruction->address);
        }
    }
    ::cs_free(instruction, 1);
    ::cs_close(&handle);
    return returns;
}

}  // namespace vantor
