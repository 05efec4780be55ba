#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantor {

// A function of an ELF file, where the file holds its code.
struct ElfFunction {
    std::uint64_t offset = 0;  // in the file
    std::uint64_t size = 0;
};

// The functions named among names that the file's symbol tables (.symtab, .dynsym) define, by
// name. Empty for a file that is not ELF or cannot be read; the file is not trusted (any
// user's program may be looked at).
std::unordered_map<std::string, ElfFunction> FindElfFunctions(
    const std::string& path, std::span<const std::string_view> names);

// Where the x86-64 code of a function returns: the offsets of its return instructions from its
// start, found by disassembling it. Nothing when it cannot be read or is larger than
// kLongestFunction.
std::optional<std::vector<std::uint64_t>> ReturnOffsets(const std::string& path,
                                                        const ElfFunction& function);
inline constexpr std::uint64_t kLongestFunction = 1u << 20;

}  // namespace vantor
