#include "platform/VirtualTime.h"

#include <algorithm>

namespace plat {

class VirtualTime::Timer : public ITimer {
public:
    explicit Timer(VirtualTime* owner) : owner_(owner) {}
    ~Timer() override {
        if (owner_) owner_->Forget(this);
    }
    void SetInterval(int ms) override {
        if (ms == interval_) return;
        interval_ = ms;
        Restart();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        Restart();
    }
    bool Enabled() const override { return enabled_; }
    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

    void Restart() {
        if (!owner_) return;
        owner_->Disarm(this);
        if (enabled_ && interval_ > 0) owner_->Arm(this);
    }
    void Fire() {
        Restart(); // periodic: the next period starts now
        if (handler_) {
            auto handler = handler_; // the handler may replace itself or destroy this timer
            handler();
        }
    }

    VirtualTime* owner_;
    int interval_ = 1000;
    bool enabled_ = false;
    std::function<void()> handler_;
    bool armed_ = false;
    std::pair<int64_t, uint64_t> key_{};
};

VirtualTime::~VirtualTime() {
    for (Timer* t : timers_) t->owner_ = nullptr;
}

std::unique_ptr<ITimer> VirtualTime::CreateTimer() {
    auto t = std::make_unique<Timer>(this);
    timers_.push_back(t.get());
    return t;
}

void VirtualTime::Arm(Timer* t) {
    t->key_ = {now_ + t->interval_, seq_++};
    due_[t->key_] = t;
    t->armed_ = true;
}

void VirtualTime::Disarm(Timer* t) {
    if (!t->armed_) return;
    due_.erase(t->key_);
    t->armed_ = false;
}

void VirtualTime::Forget(Timer* t) {
    Disarm(t);
    timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end());
}

bool VirtualTime::RunNext() {
    if (due_.empty()) return false;
    auto it = due_.begin();
    Timer* t = it->second;
    now_ = std::max(now_, it->first.first);
    t->Fire();
    return true;
}

void VirtualTime::Advance(int64_t ms) {
    const int64_t end = now_ + ms;
    while (!due_.empty() && due_.begin()->first.first <= end) RunNext();
    now_ = end;
}

int64_t VirtualTime::NextDueIn() const {
    if (due_.empty()) return -1;
    return std::max<int64_t>(0, due_.begin()->first.first - now_);
}

} // namespace plat
