// One round of the dispatch thread: reading input into the ring, the modem lines, and the status, timer,
// data and avail checks. The dispatch thread runs it (tests call RunRound on a dispatcher without threads);
// the data and avail checks also run on the GUI thread in a run (SxDispatcherGuiRun.cpp).

#include "serial/core/SxDispatcher.h"

#include "platform/Clock.h"

#include <algorithm>
#include <array>
#include <bit>

namespace sx {

// ---- Dispatch work ---------------------------------------------------------------------------

void TSxBaseDispatcher::RunRound(uint32_t events) {
    if (!open_) return;
    if (events) {
        if (events & evModemLines) {
            RefreshModemStatus();
            while (CheckStatusTriggers()) {
            }
        }
        if (events & (evBreak | evErr)) {
            {
                std::lock_guard<std::mutex> g(lock_);
                errorBits_ |= device_->TakeErrors();
            }
            while (CheckStatusTriggers()) {
            }
        }
        if (events & evRxChar) {
            ReadInput();
            while (CheckStatusTriggers()) {
            }
            RunInputChecks();
            ReadBacklog(); // not while a run is out
        }
        if ((events & evHangup) && !batch_) {
            // What arrived before the hang-up is delivered first.
            while (!batch_ && ReadInput() > 0) RunInputChecks();
            if (!batch_) HandleDeviceLost();
        }
        // With the input out on the GUI thread the round ends here; the next one goes on after it.
        if (batch_) pendingEvents_ |= events & evHangup;
    } else {
        ReadBacklog();
        AnnounceHeldInput();
    }
    if (!batch_) {
        for (;;) {
            const bool s = CheckStatusTriggers();
            const bool t = CheckTimerTriggers();
            if (!s && !t) break;
        }
    }
    // A status trigger fires at most once a round, even when its handler arms it again at once:
    // otherwise a level that stays reached would be delivered without end.
    std::lock_guard<std::mutex> g(lock_);
    for (auto& t : status_) t.HitThisRound = false;
}

void TSxBaseDispatcher::RunInputChecks() {
    if (batch_) return; // a run is out on the GUI thread; the round after it goes on
    if (inThreadRound_ && !localChecks_ && InputChecksOnGui()) {
        PostGuiBatch();
        return;
    }
    localChecks_ = false;
    while (CheckDataAndAvail()) {
    }
}

// When every handler of the input messages runs on the GUI thread, a whole run of them is
// delivered there in one hand-off instead of one round trip each: the same messages in the same
// order, each handler called as it would be.
bool TSxBaseDispatcher::InputChecksOnGui() {
    std::lock_guard<std::mutex> g(lock_);
    if (!gui_ || !serviceNeeded_ || closing_ || (availLevel_ == 0 && data_.empty())) return false;
    for (const auto& p : procs_)
        if (!p.Deleted) return false;
    for (const auto& e : events_)
        if (!e.Deleted && !e.Synchronize) return false;
    return true;
}


// Bytes the device held back while the ring was full are read as soon as there is room, and are
// announced like any arrival.
void TSxBaseDispatcher::ReadBacklog() {
    for (;;) {
        {
            std::lock_guard<std::mutex> g(inLock_);
            if (!morePending_ || inHead_ - inTail_ >= static_cast<uint64_t>(InputRingSize)) return;
        }
        if (!open_ || kill_ || batch_) return;
        if (ReadInput() == 0) return;
        RunInputChecks();
    }
}

// A full ring whose further input the device holds back sees no further arrival that would announce
// its bytes again: they were announced before a handler was attached, or to one that took less.
// Each look at the held input announces them once more, until a handler makes room.
void TSxBaseDispatcher::AnnounceHeldInput() {
    if (!open_ || kill_ || batch_) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!serviceNeeded_ || availLevel_ == 0) return;
    }
    {
        std::lock_guard<std::mutex> g(inLock_);
        if (!morePending_ || inHead_ - inTail_ < static_cast<uint64_t>(InputRingSize)) return;
    }
    lastAvailPos_ = UINT64_MAX;
    RunInputChecks();
}

int TSxBaseDispatcher::ReadInput() {
    int total = 0;
    bool lost = false;
    {
        std::lock_guard<std::mutex> g(inLock_);
        if (!deviceOpenForIo()) return 0;
        // Reading ahead, the bytes taken meanwhile stay in place: they may not have been scanned yet.
        const uint64_t tail = readAhead_ ? frozenTail_ : inTail_;
        for (;;) {
            const uint64_t used = inHead_ - tail;
            const size_t free = InputRingSize - used;
            if (free == 0) break;
            const size_t idx = inHead_ % InputRingSize;
            const size_t seg = std::min(free, InputRingSize - idx);
            const int r = device_->Read(in_.data() + idx, static_cast<int>(seg));
            if (r < 0) {
                lost = true;
                break;
            }
            if (r == 0) break;
            inHead_ += static_cast<uint64_t>(r);
            total += r;
            if (static_cast<size_t>(r) < seg) break;
        }
        if (readAhead_) {
            readAheadRoom_ = !lost && inHead_ - tail < static_cast<uint64_t>(InputRingSize);
        } else {
            visibleHead_ = inHead_;
            const bool full = inHead_ - inTail_ == static_cast<uint64_t>(InputRingSize);
            const bool pending = full && !lost && device_->BytesWaiting() > 0;
            if (pending != morePending_) {
                morePending_ = pending;
                device_->HoldInput(pending);
            }
        }
    }
    if (lost) HandleDeviceLost();
    if (total > 0) DtrFlowCheck();
    return total;
}

bool TSxBaseDispatcher::deviceOpenForIo() const { return device_ && !deviceLost_.load(); }

void TSxBaseDispatcher::RefreshModemStatus() {
    std::lock_guard<std::mutex> g(lock_);
    RefreshModemLocked();
}

void TSxBaseDispatcher::RefreshModemLocked() {
    uint8_t lines = 0;
    if (device_ && deviceOpen_ && device_->ModemLines(lines) >= 0) {
        const uint8_t old = modemStatus_ & 0xF0;
        const uint8_t changed = static_cast<uint8_t>(((old ^ lines) >> 4) & 0x0F);
        modemStatus_ = static_cast<uint8_t>((lines & 0xF0) | (modemStatus_ & 0x0F) | changed);
        const bool dsr = (lines & msDSR) != 0;
        if (dsr != dsrOn_.exchange(dsr) && dsr && dsrGate_) outCv_.notify_all(); // held output may go
    }
    if (ringSeen_.exchange(false)) modemStatus_ |= msRingChange;
}

bool TSxBaseDispatcher::CheckStatusTriggers() {
    bool queued;
    {
        std::lock_guard<std::mutex> g(outLock_);
        queued = outputQueued_;
        outputQueued_ = false;
    }
    bool any = false;
    for (;;) {
        int32_t handle = 0;
        uint16_t datum = 0;
        bool found = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_ || delivering_) break;
            const uint8_t lines = modemStatus_ & 0xF0;
            int used, free;
            {
                std::lock_guard<std::mutex> o(outLock_);
                used = OutUsedLocked();
                free = static_cast<int>(out_.size()) - used;
            }
            for (auto& t : status_) {
                if (!t.Armed || t.HitThisRound) continue;
                bool fire = false;
                switch (t.Kind) {
                case stModem: fire = (lines & t.LineMask) != t.LineStates; break;
                case stLine: fire = (errorBits_ & t.ErrorBits) != 0; break;
                case stOutBuffFree:
                    fire = free >= t.Level;
                    datum = static_cast<uint16_t>(free);
                    break;
                case stOutBuffUsed:
                    fire = used <= t.Level;
                    datum = static_cast<uint16_t>(used);
                    break;
                case stOutSent: fire = queued; break;
                }
                if (fire) {
                    if (t.Kind != stOutBuffFree && t.Kind != stOutBuffUsed) datum = 0;
                    t.Armed = false;
                    t.HitThisRound = true;
                    handle = t.Handle;
                    found = true;
                    break;
                }
            }
        }
        if (!found) break;
        any = true;
        DispatchTrigger(smStatus, static_cast<uint32_t>(handle), datum);
    }
    return any;
}

bool TSxBaseDispatcher::CheckTimerTriggers() {
    bool any = false;
    for (;;) {
        int32_t handle = 0;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_ || delivering_) break;
            const int64_t now = clock_->NowMs();
            for (auto& t : timers_) {
                if (t.Armed && t.ExpiredAt(now)) {
                    t.Armed = false;
                    handle = t.Handle;
                    break;
                }
            }
        }
        if (!handle) break;
        any = true;
        DispatchTrigger(smTimer, static_cast<uint32_t>(handle), 0);
    }
    return any;
}

bool TSxBaseDispatcher::CheckDataAndAvail() {
    bool fired = false;
    for (;;) {
        uint64_t head;
        struct Hit {
            int32_t Handle;
            uint16_t Length;
        };
        std::vector<Hit> hits;
        uint64_t matchPos = 0;
        int maxLen = 0;
        uint16_t level;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_ || delivering_) return fired;
            level = availLevel_;
            {
                // Under the general lock, as ClearInput moves the floor: bytes it flushed are
                // never offered to the triggers it has just reset.
                std::lock_guard<std::mutex> i(inLock_);
                head = visibleHead_;
                if (scanPos_ < scanFloor_) scanPos_ = scanFloor_;
            }
            // While no trigger has a candidate in progress, a byte that begins none of them leaves
            // every trigger as it is and matches nothing: runs of such bytes are passed over.
            // Besides, a byte concerns only the triggers it begins and those with a candidate in
            // progress: with up to 64 triggers, bit masks name them, so the others are not looked at.
            const size_t count = data_.size();
            const bool byMask = count <= 64;
            std::array<bool, 256> starts{};
            std::array<uint64_t, 256> begun{};
            uint64_t inProgress = 0;
            bool allIdle = true;
            for (size_t i = 0; i < count; ++i) {
                const uint64_t bit = byMask ? uint64_t{1} << i : 0;
                for (const uint8_t b : data_[i].StartBytes()) {
                    starts[b] = true;
                    begun[b] |= bit;
                }
                if (!data_[i].Idle()) {
                    inProgress |= bit;
                    allIdle = false;
                }
            }
            auto offer = [&](TSxDataTrigger& t, uint8_t c) {
                if (t.Offer(c)) {
                    hits.push_back({t.Handle, static_cast<uint16_t>(t.Length())});
                    maxLen = std::max(maxLen, t.Length());
                }
            };
            // Bytes up to the visible head are written no more until they are taken (and the
            // dispatch thread reading ahead keeps off those taken during a run): read them here.
            const uint8_t* ring = in_.data();
            while (scanPos_ < head && hits.empty()) {
                if (allIdle) {
                    while (scanPos_ < head) {
                        const size_t from = scanPos_ % InputRingSize;
                        const size_t end = static_cast<size_t>(
                            std::min<uint64_t>(InputRingSize, from + (head - scanPos_)));
                        size_t j = from;
                        while (j < end && !starts[ring[j]]) ++j;
                        scanPos_ += j - from;
                        if (j < end) break;
                    }
                    if (scanPos_ == head) break;
                }
                const uint8_t c = ring[scanPos_ % InputRingSize];
                if (byMask) {
                    for (uint64_t m = begun[c] | inProgress; m != 0;) { // last added first
                        const int i = 63 - std::countl_zero(m);
                        const uint64_t bit = uint64_t{1} << i;
                        m &= ~bit;
                        offer(data_[static_cast<size_t>(i)], c);
                        inProgress = data_[static_cast<size_t>(i)].Idle() ? inProgress & ~bit : inProgress | bit;
                    }
                    allIdle = inProgress == 0;
                } else {
                    allIdle = true;
                    for (auto it = data_.rbegin(); it != data_.rend(); ++it) { // last added first
                        offer(*it, c);
                        allIdle = allIdle && it->Idle();
                    }
                }
                if (!hits.empty()) matchPos = scanPos_;
                ++scanPos_;
            }
        }
        if (hits.empty()) {
            if (level > 0 && head != lastAvailPos_) {
                const int used = InputUsed();
                if (used >= level) {
                    lastAvailPos_ = head;
                    DispatchTrigger(smAvail, static_cast<uint32_t>(used), 0);
                    fired = true;
                }
            }
            return fired;
        }
        fired = true;
        bool complete = true;
        if (level > 0 && matchPos != lastAvailPos_) {
            uint64_t tail;
            {
                std::lock_guard<std::mutex> g(inLock_);
                tail = inTail_;
            }
            const uint64_t matchStart = matchPos + 1 - static_cast<uint64_t>(maxLen);
            const int64_t before = static_cast<int64_t>(matchStart) - static_cast<int64_t>(tail);
            if (before >= level) {
                lastAvailPos_ = matchPos;
                complete = DispatchTrigger(smAvail, static_cast<uint32_t>(before), 0);
            }
        }
        for (const auto& h : hits) DispatchTrigger(smData, static_cast<uint32_t>(h.Handle), h.Length);
        // A notification whose bytes were not all taken ends this round; the next one goes on.
        if (!complete) return fired;
    }
}

} // namespace sx
