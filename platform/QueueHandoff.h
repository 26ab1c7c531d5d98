#pragma once
// A hand-off to a thread that pumps a queue itself: the stand-in for the GUI thread in tests without Qt.

#include "platform/GuiHandoff.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace plat {

class QueueHandoff : public IGuiHandoff {
public:
    // The thread that constructs the hand-off is its "GUI thread".
    QueueHandoff();
    bool RunOnGuiThread(std::function<void()> job, int timeoutMs) override;
    void PostToGuiThread(std::function<void()> job) override;

    // Runs the queued jobs; returns how many ran. Call on the owning thread.
    int Pump();
    // Pumps until pred() holds or timeoutMs passed, sleeping on the queue in between (no busy loop).
    bool PumpUntil(const std::function<bool()>& pred, int timeoutMs);

private:
    struct Job {
        std::function<void()> fn;
        std::mutex m;
        std::condition_variable cv;
        bool started = false, done = false, dropped = false;
    };
    std::thread::id owner_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Job>> queue_;
};

} // namespace plat
