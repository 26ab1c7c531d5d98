#pragma once
// Helpers for the threaded dispatcher tests: a message log that threads append to and the test
// waits on, and a deadline wait for conditions nobody signals.

#include "serial/core/SxDispatcher.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

namespace sxtest {

struct Msg {
    uint16_t Code;
    uint32_t First;
    uint16_t Datum;
    bool operator==(const Msg&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Msg& m) {
    return os << "{" << std::hex << m.Code << std::dec << ", " << m.First << ", " << m.Datum << "}";
}

// Trigger messages as they arrive, from any thread.
class MsgLog {
public:
    void Add(uint16_t msg, uint32_t first, uint32_t second) {
        {
            std::lock_guard<std::mutex> g(m_);
            msgs_.push_back({msg, first, static_cast<uint16_t>(second & 0xFFFF)});
        }
        cv_.notify_all();
    }
    // Waits until pred(messages) holds, at most timeoutMs.
    bool WaitFor(const std::function<bool(const std::vector<Msg>&)>& pred, int timeoutMs) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return pred(msgs_); });
    }
    bool WaitForCode(uint16_t code, int timeoutMs) {
        return WaitFor([&](const std::vector<Msg>& v) {
            for (const auto& m : v)
                if (m.Code == code) return true;
            return false;
        }, timeoutMs);
    }
    std::vector<Msg> Snapshot() {
        std::lock_guard<std::mutex> g(m_);
        return msgs_;
    }
    void Notify() { cv_.notify_all(); }
    std::mutex& Lock() { return m_; }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Msg> msgs_;
};

// Waits for a condition that no one signals, checking it every millisecond up to the deadline.
inline bool Eventually(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until done() holds for as long as progress() keeps changing, through wait(pred, ms) (a log's
// or a pump's wait that evaluates pred under its own lock): a long stream takes what it takes on a busy
// machine, a stalled one fails after stallMs without a change.
template <class Wait>
bool WaitWhileProgressing(Wait wait, const std::function<bool()>& done,
                          const std::function<size_t()>& progress, int stallMs) {
    bool seen = false;
    size_t last = 0;
    for (;;) {
        bool moved = false;
        const std::function<bool()> pred = [&] {
            if (done()) return true;
            const size_t now = progress();
            moved = seen && now != last;
            seen = true;
            last = now;
            return moved;
        };
        if (!wait(pred, stallMs)) return false;
        if (!moved) return true;
    }
}

} // namespace sxtest
