#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/SharedMemory.h"

namespace vantor {

// A manual-reset event that other processes of the user open by name (platform/EventLayout.h):
// a state word in shared memory, waited on with futex, so that waiting costs nothing while
// nothing happens. The creator can mark it closed: every waiter wakes at once and learns that
// the event is gone for good, and it is never set again.
class NamedEvent {
public:
    enum class WaitResult { Signalled, TimedOut, Closed };

    // Creates the event, recording this process as its owner. Nothing when it cannot be created
    // (a name that exists already is never reused).
    static std::unique_ptr<NamedEvent> Create(const std::string& name, bool signalled);

    void Set();
    void Reset();
    // Waits until the event is signalled or closed, at most timeout. An event that was
    // signalled when it was closed still reports Signalled until it is reset.
    WaitResult Wait(std::chrono::milliseconds timeout);
    void MarkClosed();
    void Unlink() { m_memory->Unlink(); }

private:
    explicit NamedEvent(std::unique_ptr<SharedMemory> memory) : m_memory(std::move(memory)) {}
    std::uint32_t* StateWord() const;

    std::unique_ptr<SharedMemory> m_memory;
};

}  // namespace vantor
