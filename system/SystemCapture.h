#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "system/SystemRecords.h"

namespace vantor {

// What the system-wide capture follows.
struct SystemCaptureOptions {
    std::uint32_t pid = 0;                // only this process (0: every one)
    std::optional<std::uint32_t> uid;     // only this user's processes
    std::string command;                  // only processes of this command name (15 bytes)
    bool servers = false;                 // accepted connections too, not only connected ones
    std::vector<std::uint32_t> excluded;  // never these processes (besides this one)
    std::size_t ringBytes = 64u << 20;    // the kernel ring buffer (a power of two)
};

// The system-wide record source: BPF programs on the socket system calls and on the TLS
// functions of the libraries and programs that processes map, their events made into capture
// records (SystemRecords). Needs root, or CAP_BPF and CAP_PERFMON. The programs and probes are
// this object's: they go when it goes, or when its process ends however it ends.
class SystemCapture {
public:
    using Clock = SystemRecords::Clock;

    // Loads and attaches everything; nothing and error set when the kernel refuses.
    static std::unique_ptr<SystemCapture> Start(const SystemCaptureOptions& options,
                                                SystemRecords::RecordOutput output,
                                                std::string& error);
    ~SystemCapture();
    SystemCapture(const SystemCapture&) = delete;
    SystemCapture& operator=(const SystemCapture&) = delete;

    // Waits up to timeout for events, and hands the records they make on; looks at the
    // programs that started or mapped code meanwhile.
    void Poll(std::chrono::milliseconds timeout);
    // Takes the events still in the ring, and hands on every record that waits for its turn
    // (what it waits for is told as lost): for the end of a capture.
    void Drain();
    // A descriptor that becomes readable when events wait (to wait on beside others).
    int EventDescriptor() const;

    // Events the kernel ring buffer had no room for.
    std::uint64_t KernelDrops() const;
    // Malformed events (none, unless the kernel side is broken).
    std::uint64_t Malformed() const;
    // Libraries and programs whose TLS functions are probed.
    std::size_t TlsTargets() const;

private:
    struct Parts;
    explicit SystemCapture(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> m_parts;
};

}  // namespace vantor
