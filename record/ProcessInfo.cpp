#include "record/ProcessInfo.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/Endian.h"

namespace vantor {

namespace {

std::string_view Cut(const std::string& text, std::size_t most) {
    return std::string_view(text).substr(0, most);
}

bool IsHexId(std::string_view text) {
    return text.size() >= 12 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

std::string DescribeCgroup(const std::string& cgroup) {
    if (cgroup.empty() || cgroup == "/") {
        return {};
    }
    const std::string_view path = cgroup;
    const std::string_view leaf = path.substr(path.rfind('/') + 1);
    // docker-<id>.scope, libpod-<id>.scope, cri-containerd-<id>.scope; /docker/<id>.
    static constexpr std::array<std::string_view, 4> kEngines = {"docker", "libpod", "crio",
                                                                 "cri-containerd"};
    for (const std::string_view engine : kEngines) {
        std::string_view id = leaf;
        if (id.starts_with(engine) && id.size() > engine.size() &&
            (id[engine.size()] == '-' || id[engine.size()] == '/')) {
            id.remove_prefix(engine.size() + 1);
        } else if (path.find(std::string("/") + std::string(engine) + "/") ==
                   std::string_view::npos) {
            continue;
        }
        if (id.ends_with(".scope")) {
            id.remove_suffix(6);
        }
        if (IsHexId(id)) {
            return std::string(engine == "libpod" ? "podman" : engine) + " " +
                   std::string(id.substr(0, 12));
        }
    }
    if (leaf.ends_with(".service") || leaf.ends_with(".scope")) {
        return std::string(leaf);
    }
    return cgroup;
}

std::string DescribeProcess(const ProcessInfo& process) {
    std::string text = process.command.empty() ? std::string("?") : process.command;
    text += " (pid " + std::to_string(process.pid) + ", user ";
    text += process.user.empty() ? std::to_string(process.uid) : process.user;
    if (const std::string where = DescribeCgroup(process.cgroup); !where.empty()) {
        text += ", " + where;
    }
    text += ')';
    return text;
}

std::vector<std::uint8_t> EncodeProcessExtension(const ProcessInfo& process) {
    const std::string_view command = Cut(process.command, ProcessInfo::kLongestCommand);
    const std::string_view user = Cut(process.user, ProcessInfo::kLongestUser);
    const std::string_view cgroup = Cut(process.cgroup, ProcessInfo::kLongestCgroup);
    const std::size_t size =
        kProcessExtensionFixedSize + command.size() + user.size() + cgroup.size();
    std::vector<std::uint8_t> bytes(size);
    const std::span<std::uint8_t> out(bytes);
    StoreLE32(out.subspan<0, 4>(), static_cast<std::uint32_t>(size));
    StoreLE32(out.subspan<4, 4>(), process.pid);
    StoreLE32(out.subspan<8, 4>(), process.uid);
    bytes[12] = static_cast<std::uint8_t>(command.size());
    bytes[13] = static_cast<std::uint8_t>(user.size());
    StoreLE16(out.subspan<14, 2>(), static_cast<std::uint16_t>(cgroup.size()));
    auto at = bytes.begin() + kProcessExtensionFixedSize;
    for (const std::string_view text : {command, user, cgroup}) {
        at = std::copy(text.begin(), text.end(), at);
    }
    return bytes;
}

std::size_t DecodeProcessExtension(std::span<const std::uint8_t> data, ProcessInfo& process) {
    if (data.size() < kProcessExtensionFixedSize) {
        return 0;
    }
    const std::size_t size = LoadLE32(data.subspan<0, 4>());
    const std::size_t commandLength = data[12];
    const std::size_t userLength = data[13];
    const std::size_t cgroupLength = LoadLE16(data.subspan<14, 2>());
    if (commandLength > ProcessInfo::kLongestCommand || userLength > ProcessInfo::kLongestUser ||
        cgroupLength > ProcessInfo::kLongestCgroup ||
        size != kProcessExtensionFixedSize + commandLength + userLength + cgroupLength ||
        size > data.size()) {
        return 0;
    }
    const auto text = [&data](std::size_t at, std::size_t length) {
        return std::string(reinterpret_cast<const char*>(data.data()) + at, length);
    };
    process.pid = LoadLE32(data.subspan<4, 4>());
    process.uid = LoadLE32(data.subspan<8, 4>());
    process.command = text(kProcessExtensionFixedSize, commandLength);
    process.user = text(kProcessExtensionFixedSize + commandLength, userLength);
    process.cgroup = text(kProcessExtensionFixedSize + commandLength + userLength, cgroupLength);
    return size;
}

}  // namespace vantor
