#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vantor {

// The process that moved a record's bytes, where its source knows it (the system-wide source
// does; the preload provider's records carry none).
struct ProcessInfo {
    std::uint32_t pid = 0;
    std::uint32_t uid = 0;
    std::string command;  // the kernel's command name, at most 15 bytes
    std::string user;     // the user's name where it was known, else empty
    std::string cgroup;   // the process's cgroup (a container's, a service's), else empty

    static constexpr std::size_t kLongestCommand = 15;
    static constexpr std::size_t kLongestUser = 64;
    static constexpr std::size_t kLongestCgroup = 255;

    friend bool operator==(const ProcessInfo&, const ProcessInfo&) = default;
};

// "curl (pid 4242, user alice)"; the user's number where the name is not known, and the
// container or cgroup after them.
std::string DescribeProcess(const ProcessInfo& process);

// A short name for where the process ran: a container's engine and id ("docker 0123456789ab"),
// a systemd unit ("nginx.service"), else the cgroup's path; empty for none.
std::string DescribeCgroup(const std::string& cgroup);

// The process extension's bytes: u32 its size (these 16 bytes and the three texts), u32 pid,
// u32 uid, u8 the command's length, u8 the user's, u16 the cgroup's (little-endian), then the
// three texts. Texts longer than the limits above are cut.
std::vector<std::uint8_t> EncodeProcessExtension(const ProcessInfo& process);
inline constexpr std::size_t kProcessExtensionFixedSize = 16;

// Reads an extension at the start of data: its size in bytes, or 0 when data do not begin with
// a whole, well-formed one.
std::size_t DecodeProcessExtension(std::span<const std::uint8_t> data, ProcessInfo& process);

}  // namespace vantor
