#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "record/CaptureRecord.h"

namespace vantor {

class BlockingCallQueue;

// The window's system-wide capture: the privileged helper (vantor-system), started by a
// command that gives it the privileges (pkexec, sudo), writes records to a pipe; a thread of
// this object reads them and hands each to the window thread. The helper ends when this object
// closes its input, or when this process ends however it ends.
class SystemHelperSource {
public:
    using RecordHandler =
        std::function<void(const CaptureRecord& header, std::span<const std::uint8_t> data)>;
    // On the window thread, when the helper ended on its own: what it said, or why it failed.
    using EndHandler = std::function<void(const std::string& why)>;

    SystemHelperSource(BlockingCallQueue& window, RecordHandler onRecord, EndHandler onEnd);
    ~SystemHelperSource();
    SystemHelperSource(const SystemHelperSource&) = delete;
    SystemHelperSource& operator=(const SystemHelperSource&) = delete;

    // Starts the helper by command; the text of why it could not be started.
    std::optional<std::string> Start(const std::vector<std::string>& command);
    // Ends the helper (it detaches its probes on its own, however long that takes); no record
    // is handed on after it returns.
    void Stop();
    bool Running() const;

    // The command that runs helper with what it needs: as it is for root; else through pkexec
    // (the desktop asks for the password), else sudo. exclude: a process never captured.
    static std::optional<std::vector<std::string>> Command(const std::string& helper,
                                                           pid_t exclude);

private:
    struct Shared;
    BlockingCallQueue& m_window;
    RecordHandler m_onRecord;
    EndHandler m_onEnd;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace vantor
