#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vantor {

// Calls that other threads make on one owner thread (the window thread) and wait for: the
// caller blocks until the owner has run its call. The owner runs queued calls from its event
// loop, and also while it waits for such a caller to end, so that neither waits for the other.
class BlockingCallQueue {
public:
    // From any thread but the owner: runs call on the owner thread and returns once it has run.
    // False, without running it, when the queue is closed.
    bool Call(std::function<void()> call);

    // On the owner thread: runs every queued call, first waiting up to wait for one to come.
    // Returns how many ran.
    std::size_t RunPending(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

    // Makes every later Call, and every Call still waiting in the queue, return false.
    void Close();
    void Reopen();

    // Called (on the calling thread) whenever a call was queued: a window toolkit uses it to
    // wake its event loop.
    void SetWakeHandler(std::function<void()> wake);

    // For an owner whose calls need no particular thread (no window toolkit): while it waits in
    // RunPending with nothing to run, a caller runs its call itself, on its own thread, and the
    // owner stays in RunPending until that call is done. Calls stay one at a time, in turn with
    // the owner's own work, and a busy caller no longer costs two thread switches per call.
    void LendTurnWhileWaiting(bool lend);

private:
    struct Pending {
        std::function<void()> call;
        bool done = false;
        bool ran = false;
    };

    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::condition_variable m_finished;
    std::deque<Pending*> m_queue;
    bool m_closed = false;
    bool m_lendTurn = false;
    bool m_ownerWaits = false;  // the owner waits in RunPending with nothing to run
    bool m_lent = false;        // a caller runs its call in the owner's stead
    std::size_t m_ranLent = 0;  // calls run so, for the owner's count
    std::condition_variable m_returned;
    std::function<void()> m_wake;
};

}  // namespace vantor
