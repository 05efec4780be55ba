#include "platform/BlockingCallQueue.h"

#include <vector>

namespace vantor {

bool BlockingCallQueue::Call(std::function<void()> call) {
    Pending pending{std::move(call)};
    std::function<void()> wake;
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
    {
        std::unique_lock lock(m_mutex);
        if (m_queue.empty() && wait.count() > 0) {
            m_queued.wait_for(lock, wait, [&] { return !m_queue.empty(); });
        }
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
    return batch.size();
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
