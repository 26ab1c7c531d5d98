#include "platform/QueueHandoff.h"

#include <chrono>

namespace plat {

QueueHandoff::QueueHandoff() : owner_(std::this_thread::get_id()) {}

bool QueueHandoff::RunOnGuiThread(std::function<void()> job, int timeoutMs) {
    if (std::this_thread::get_id() == owner_) {
        job();
        return true;
    }
    auto j = std::make_shared<Job>();
    j->fn = std::move(job);
    {
        std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(j);
    }
    cv_.notify_all();
    std::unique_lock<std::mutex> lock(j->m);
    if (j->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return j->done; })) return true;
    if (!j->started) j->dropped = true;
    return false;
}

void QueueHandoff::PostToGuiThread(std::function<void()> job) {
    auto j = std::make_shared<Job>();
    j->fn = std::move(job);
    {
        std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(j);
    }
    cv_.notify_all();
}

int QueueHandoff::Pump() {
    int ran = 0;
    for (;;) {
        std::shared_ptr<Job> j;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (queue_.empty()) return ran;
            j = queue_.front();
            queue_.pop_front();
        }
        {
            std::lock_guard<std::mutex> lock(j->m);
            if (j->dropped) continue;
            j->started = true;
        }
        j->fn();
        ++ran;
        {
            std::lock_guard<std::mutex> lock(j->m);
            j->done = true;
        }
        j->cv.notify_all();
    }
}

bool QueueHandoff::PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Pump();
        if (pred()) return true;
        std::unique_lock<std::mutex> lock(m_);
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        // Woken by new work; the short cap lets a predicate that changes without queued work be seen.
        cv_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)),
                       [&] { return !queue_.empty(); });
    }
}

} // namespace plat
