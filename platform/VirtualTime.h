#pragma once
// Virtual time for tests: timers fire only when the test advances the clock.

#include "platform/Clock.h"

#include <map>
#include <vector>

namespace plat {

class VirtualTime : public ITimerService {
public:
    VirtualTime() = default;
    ~VirtualTime() override;
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    int64_t NowMs() const override { return now_; }
    std::unique_ptr<ITimer> CreateTimer() override;

    // Moves the clock forward by ms, firing every timer that falls due on the way, in time order
    // (timers due at the same instant fire in the order they were armed). A handler may re-arm,
    // disable or destroy timers, including its own.
    void Advance(int64_t ms);
    // Advances to the next due timer and fires it; false when no timer is armed.
    bool RunNext();
    // Milliseconds until the next due timer, or -1 when none is armed.
    int64_t NextDueIn() const;

private:
    class Timer;
    friend class Timer;
    void Arm(Timer* t);
    void Disarm(Timer* t);
    void Forget(Timer* t);

    int64_t now_ = 0;
    uint64_t seq_ = 0;
    // due time and arming sequence -> timer
    std::map<std::pair<int64_t, uint64_t>, Timer*> due_;
    std::vector<Timer*> timers_;
};

} // namespace plat
