// The thread of a simulated peer's host and its wake-ups (see SxSimHostThread.h). Called by the hosts
// of the simulated modem and controller: from the simulated line's callbacks, Start/Stop and the thread.

#include "serial/device/SxSimHostThread.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace sx {

void TSxSimHostThread::Feed(const uint8_t* data, size_t n) {
    {
        std::lock_guard<std::mutex> g(m_);
        input_.AddBytes(data, n);
    }
    cv_.notify_one();
}

void TSxSimHostThread::FeedBreak(int ms) {
    {
        std::lock_guard<std::mutex> g(m_);
        input_.AddBreak(ms);
    }
    cv_.notify_one();
}

void TSxSimHostThread::NoteChange(bool lineDown) {
    {
        std::lock_guard<std::mutex> g(m_);
        changed_ = true;
        lineDown_ = lineDown_ || lineDown;
    }
    cv_.notify_one();
}

void TSxSimHostThread::Start(std::function<void()> run) {
    std::lock_guard<std::mutex> g(runLock_);
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> g2(m_);
        stop_ = false;
        changed_ = true;
    }
    thread_ = std::thread(std::move(run));
}

void TSxSimHostThread::Stop(const std::function<void()>& afterStop) {
    std::lock_guard<std::mutex> g(runLock_);
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> g2(m_);
        stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
    if (afterStop) afterStop();
}

TSxSimHostThread::TWake TSxSimHostThread::Wait(int64_t dueUs) {
    using TClock = std::chrono::steady_clock;
    TWake w;
    std::unique_lock<std::mutex> lk(m_);
    auto ready = [&] { return stop_ || changed_ || !input_.Empty(); };
    if (dueUs < 0)
        cv_.wait(lk, ready);
    else
        cv_.wait_until(lk, TClock::time_point(std::chrono::microseconds(dueUs)), ready);
    std::swap(w.Input, input_);
    changed_ = false;
    w.Stop = stop_;
    w.LineDown = std::exchange(lineDown_, false);
    return w;
}

void TSxFarInput::AddBytes(const uint8_t* data, size_t n) {
    const size_t room = limit_ - std::min(limit_, bytes_.size());
    bytes_.append(reinterpret_cast<const char*>(data), std::min(room, n));
}

void TSxFarInput::Deliver(const std::function<void(const std::string&)>& onBytes,
                          const std::function<void(int ms)>& onBreak) {
    size_t from = 0;
    for (const auto& [at, ms] : breaks_) {
        if (at > from) onBytes(bytes_.substr(from, at - from));
        onBreak(ms);
        from = at;
    }
    if (from < bytes_.size()) onBytes(bytes_.substr(from));
    bytes_.clear();
    breaks_.clear();
}

} // namespace sx
