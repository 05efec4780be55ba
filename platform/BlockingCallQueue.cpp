#include "platform/BlockingCallQueue.h"

#include <utility>
#include <vector>

namespace vantor {

bool BlockingCallQueue::Call(std::function<void()> call) {
    std::function<void()> wake;
    {
        std::unique_lock lock(m_mutex);
        if (m_closed) {
            return false;
        }
        if (m_lendTurn && m_ownerWaits && !m_lent && m_queue.empty()) {
            // The owner waits with nothing to do: the call runs here, in its stead.
            m_lent = true;
            lock.unlock();
            struct GiveBack {
                BlockingCallQueue& queue;
                ~GiveBack() {
                    {
                        std::lock_guard again(queue.m_mutex);
                        queue.m_lent = false;
                        ++queue.m_ranLent;
                    }
                    queue.m_returned.notify_all();
                }
            } giveBack{*this};
            call();
            return true;
        }
    }
    Pending pending{std::move(call)};
    {
        std::unique_lock lock(m_mutex);
        if (m_closed) {
            return false;
        }
        m_queue.push_back(&pending);
        wake = m_wake;
    }
    m_queued.notify_all();
    if (wake) {
        wake();
    }
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&] { return pending.done; });
    return pending.ran;
}

std::size_t BlockingCallQueue::RunPending(std::chrono::milliseconds wait) {
    std::vector<Pending*> batch;
    std::size_t ranLent = 0;
    {
        std::unique_lock lock(m_mutex);
        if (m_queue.empty() && wait.count() > 0) {
            m_ownerWaits = true;
            m_queued.wait_for(lock, wait, [&] { return !m_queue.empty(); });
            m_ownerWaits = false;
            // A call run in our stead ends before we go on.
            m_returned.wait(lock, [&] { return !m_lent; });
        }
        ranLent = std::exchange(m_ranLent, 0);
        batch.assign(m_queue.begin(), m_queue.end());
        m_queue.clear();
    }
    std::size_t next = 0;
    // Every caller in the batch is released, also when a call throws.
    struct ReleaseCallers {
        BlockingCallQueue& queue;
        std::vector<Pending*>& batch;
        std::size_t& next;
        ~ReleaseCallers() {
            {
                std::lock_guard lock(queue.m_mutex);
                for (std::size_t i = next; i < batch.size(); ++i) {
                    batch[i]->done = true;
                }
            }
            queue.m_finished.notify_all();
        }
    } release{*this, batch, next};
    for (; next < batch.size(); ++next) {
        Pending* pending = batch[next];
        pending->call();  // outside the lock: a call may queue or wait on its own
        std::lock_guard lock(m_mutex);
        pending->ran = true;
        pending->done = true;
    }
    return batch.size() + ranLent;
}

void BlockingCallQueue::LendTurnWhileWaiting(bool lend) {
    std::lock_guard lock(m_mutex);
    m_lendTurn = lend;
}

void BlockingCallQueue::Close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        for (Pending* pending : m_queue) {
            pending->done = true;
        }
        m_queue.clear();
    }
    m_finished.notify_all();
}

void BlockingCallQueue::Reopen() {
    std::lock_guard lock(m_mutex);
    m_closed = false;
}

void BlockingCallQueue::SetWakeHandler(std::function<void()> wake) {
    std::lock_guard lock(m_mutex);
    m_wake = std::move(wake);
}

}  // namespace vantor
