#include "platform/NamedEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/EventLayout.h"

namespace vantor {

namespace {

using Clock = std::chrono::steady_clock;

long Futex(std::uint32_t* word, int operation, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

std::atomic_ref<std::uint32_t> Atomic(std::uint32_t* word) {
    return std::atomic_ref<std::uint32_t>(*word);
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool signalled) {
    auto memory = SharedMemory::Create(name, VANTOR_EVENT_OBJECT_SIZE);
    if (memory == nullptr) {
        return nullptr;
    }
    const auto owner = static_cast<std::uint32_t>(::getpid());
    std::memcpy(memory->data() + VANTOR_EVENT_OWNER_OFFSET, &owner, sizeof owner);
    std::unique_ptr<NamedEvent> event(new NamedEvent(std::move(memory)));
    Atomic(event->StateWord()).store(signalled ? VANTOR_EVENT_SIGNALLED : 0u);
    return event;
}

std::uint32_t* NamedEvent::StateWord() const {
    return reinterpret_cast<std::uint32_t*>(m_memory->data() + VANTOR_EVENT_STATE_OFFSET);
}

void NamedEvent::Set() {
    std::uint32_t* word = StateWord();
    auto state = Atomic(word);
    std::uint32_t value = state.load();
    while ((value & (VANTOR_EVENT_SIGNALLED | VANTOR_EVENT_CLOSED)) == 0) {
        if (state.compare_exchange_weak(value, VANTOR_EVENT_SIGNALLED)) {
            Futex(word, FUTEX_WAKE, INT_MAX, nullptr);
            return;
        }
    }
}

void NamedEvent::Reset() {
    Atomic(StateWord()).fetch_and(~VANTOR_EVENT_SIGNALLED);
}

void NamedEvent::MarkClosed() {
    std::uint32_t* word = StateWord();
    Atomic(word).fetch_or(VANTOR_EVENT_CLOSED);
    Futex(word, FUTEX_WAKE, INT_MAX, nullptr);
}

NamedEvent::WaitResult NamedEvent::Wait(std::chrono::milliseconds timeout) {
    std::uint32_t* word = StateWord();
    const Clock::time_point deadline = Clock::now() + timeout;
    while (true) {
        // Signalled before it was closed still counts: a record already in the buffer when
        // capture stops is dispatched, not dropped.
        const std::uint32_t value = Atomic(word).load();
        if ((value & VANTOR_EVENT_SIGNALLED) != 0) {
            return WaitResult::Signalled;
        }
        if ((value & VANTOR_EVENT_CLOSED) != 0) {
            return WaitResult::Closed;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return WaitResult::TimedOut;
        }
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec relative{static_cast<time_t>(nanoseconds / 1'000'000'000),
                                static_cast<long>(nanoseconds % 1'000'000'000)};
        // Sleeps only while the word still holds value; any change wakes or skips the wait.
        Futex(word, FUTEX_WAIT, value, &relative);
    }
}

}  // namespace vantor
