// The trigger lists: allocating handles, arming and dropping timer, data and status triggers, the avail
// level, and saving and restoring them across a port reopen. The port and the modem engine call these.

#include "serial/core/SxDispatcher.h"

#include "platform/Clock.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <unordered_set>

namespace sx {

uint32_t TSxBaseDispatcher::CurrentTick() const { return TickOf(clock_->NowMs()); }

// ---- Triggers --------------------------------------------------------------------------------

int32_t TSxBaseDispatcher::NextHandleLocked() {
    if (handles_.Counter() < 4096) return handles_.Next([](int32_t) { return false; });
    std::unordered_set<int32_t> used;
    for (const auto& t : timers_) used.insert(t.Handle & ~7);
    for (const auto& t : data_) used.insert(t.Handle & ~7);
    for (const auto& t : status_) used.insert(t.Handle & ~7);
    return handles_.Next([&](int32_t h) { return used.count(h) != 0; });
}

int32_t TSxBaseDispatcher::NewDataTrigger(const std::string& text, bool ignoreCase) {
    if (text.empty()) return ecBadArgument;
    if (text.size() > static_cast<size_t>(DataTriggerMaxLength)) return ecTriggerTooLong;
    std::lock_guard<std::mutex> g(lock_);
    const int32_t h = NextHandleLocked();
    data_.emplace_back(h, text, ignoreCase);
    return h;
}

int32_t TSxBaseDispatcher::NewTimerTrigger() {
    std::lock_guard<std::mutex> g(lock_);
    TSxTimerTrigger t;
    t.Handle = NextHandleLocked();
    timers_.push_back(t);
    return t.Handle;
}

int32_t TSxBaseDispatcher::NewStatusTrigger(uint16_t kind) {
    if (kind < stModem || kind > stOutSent) return ecBadArgument;
    std::lock_guard<std::mutex> g(lock_);
    TSxStatusTrigger t;
    t.Handle = NextHandleLocked() + kind;
    t.Kind = kind;
    status_.push_back(t);
    return t.Handle;
}

int TSxBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = std::find_if(timers_.begin(), timers_.end(), [&](const auto& t) { return t.Handle == handle; });
        if (it == timers_.end()) return ecBadTriggerHandle;
        if (activate) {
            if (ticks > 0) it->Ticks = std::min(static_cast<uint32_t>(ticks), MaxTimerTicks);
            it->Start(clock_->NowMs());
            it->Armed = true;
        } else {
            it->Armed = false;
        }
    }
    Poke();
    return 0;
}

int TSxBaseDispatcher::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = std::find_if(status_.begin(), status_.end(), [&](const auto& t) { return t.Handle == handle; });
        if (it == status_.end()) return ecBadTriggerHandle;
        if (!activate) {
            it->Armed = false;
            return 0;
        }
        switch (it->Kind) {
        case stModem:
            RefreshModemLocked();
            it->LineMask = static_cast<uint8_t>(value & 0xF0);
            it->LineStates = modemStatus_ & it->LineMask;
            break;
        case stLine: it->ErrorBits = MapLineErrorCondition(value); break;
        case stOutBuffFree:
        case stOutBuffUsed: it->Level = value; break;
        default: break;
        }
        it->Armed = true;
        NoteOutputWatchLocked();
    }
    Poke();
    return 0;
}

int TSxBaseDispatcher::DropTrigger(int32_t handle) {
    std::lock_guard<std::mutex> g(lock_);
    if (handle == AvailTriggerHandle) {
        availLevel_ = 0;
        return 0;
    }
    auto drop = [&](auto& list) {
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& t) { return t.Handle == handle; });
        if (it == list.end()) return false;
        list.erase(it);
        return true;
    };
    if (drop(timers_) || drop(data_) || drop(status_)) return 0;
    return ecBadTriggerHandle;
}

int TSxBaseDispatcher::DropAllTriggers() {
    std::lock_guard<std::mutex> g(lock_);
    timers_.clear();
    data_.clear();
    status_.clear();
    handles_.Reset();
    availLevel_ = 0;
    return 0;
}

int TSxBaseDispatcher::SetAvailLevel(uint16_t level) {
    std::lock_guard<std::mutex> g(lock_);
    availLevel_ = level;
    return 0;
}

uint16_t TSxBaseDispatcher::AvailLevel() const {
    std::lock_guard<std::mutex> g(lock_);
    return availLevel_;
}

void TSxBaseDispatcher::SaveTriggers(TSxSavedTriggers& saved) const {
    std::lock_guard<std::mutex> g(lock_);
    saved.Valid = true;
    saved.HandleCounter = handles_.Counter();
    saved.AvailLevel = availLevel_;
    saved.Timers = timers_;
    saved.Data = data_;
    saved.Status = status_;
}

void TSxBaseDispatcher::RestoreTriggers(const TSxSavedTriggers& saved) {
    if (!saved.Valid) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        handles_.SetCounter(saved.HandleCounter);
        availLevel_ = saved.AvailLevel;
        timers_ = saved.Timers;
        data_ = saved.Data;
        for (auto& t : data_) t.Reset();
        status_ = saved.Status;
        for (auto& t : status_) t.HitThisRound = false;
        NoteOutputWatchLocked();
    }
    Poke();
}

} // namespace sx
