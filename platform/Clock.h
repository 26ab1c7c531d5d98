#pragma once
// Clock and timer interfaces. Everything that waits, polls or times out takes its time from here, so
// the Qt adapter (QTimer) runs the program and a virtual clock runs the tests.

#include <cstdint>
#include <functional>
#include <memory>

namespace plat {

// A millisecond clock. Only differences between readings mean anything.
class IClock {
public:
    virtual ~IClock() = default;
    virtual int64_t NowMs() const = 0;
};

// A periodic timer on the thread that owns it. It fires OnTimer every Interval ms while Enabled.
// A change of Interval or Enabled restarts the countdown; setting the value it already has changes
// nothing (a running countdown goes on). Interval 0 never fires.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetOnTimer(std::function<void()> handler) = 0;
};

// Where timers come from, together with the clock they run on.
class ITimerService : public IClock {
public:
    virtual std::unique_ptr<ITimer> CreateTimer() = 0;
};

} // namespace plat
