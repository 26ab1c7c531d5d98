// The dispatch and output threads' loops, their waits for the device and for pokes, and how long the
// dispatch thread may sleep. StartThreads (SxDispatcher.cpp) starts them; WaitTicks serves the modem.

#include "serial/core/SxDispatcher.h"

#include "platform/Clock.h"
#include "platform/ThreadName.h"
#include "serial/core/SxDispatcherPrivate.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace sx {

namespace {
void Acknowledge(std::mutex& m, std::condition_variable& cv, int& acks) {
    {
        std::lock_guard<std::mutex> g(m);
        ++acks;
    }
    cv.notify_all();
}
} // namespace

// The dispatch thread waits for the device's events itself, so that an arrival is read and its
// triggers are evaluated without a hand-over between threads. It waits for the next event only
// after it has handled the previous one; pokes (a timer armed, room made in a full ring) end the
// wait early, and the wait is limited to when the next timer is due or the full ring must be
// looked at again.
void TSxBaseDispatcher::DispThreadBody() {
    plat::NameThisThread("sx-dispatch"); // so that a debugger, top or perf tells the threads apart
    {
        std::lock_guard<std::mutex> g(threadIdsLock_);
        dispId_ = std::this_thread::get_id();
    }
    Acknowledge(startLock_, startCv_, threadAcks_);
    bool deviceGone = false;
    pendingEvents_ = 0;
    localChecks_ = false;
    while (!kill_) {
        bool roundDue = false;
        if (batch_) {
            if (!FollowGuiBatch(deviceGone)) continue;
            batch_.reset(); // the run on the GUI thread is over: the rest of its round at once
            roundDue = true;
        }
        uint32_t ev = std::exchange(pendingEvents_, 0); // left by the last round or the run
        if (ev == 0 && !roundDue) {
            if (deviceGone)
                WaitForPoke(PollingNeeded());
            else
                ev = WaitDevice(PollingNeeded());
        }
        if (kill_) break;
        deviceGone = deviceGone || (ev & evHangup) != 0; // nothing more will come from this device
        inThreadRound_ = true;
        RunRound(ev);
        inThreadRound_ = false;
    }
    LeaveGuiBatch();
    ThreadLeaves();
}

// Once the device is gone only pokes (and the next due time) wake the dispatch thread.
void TSxBaseDispatcher::WaitForPoke(int timeoutMs) {
    std::unique_lock<std::mutex> lk(evLock_);
    auto ready = [&] { return poked_ || kill_.load(); };
    if (timeoutMs >= 0)
        evCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    else
        evCv_.wait(lk, ready);
    poked_ = false;
}

uint32_t TSxBaseDispatcher::WaitDevice(int timeoutMs) {
    const uint32_t ev = device_->WaitEvent(timeoutMs);
    if (ev & (evRing | evRingTE)) ringSeen_ = true;
    return ev;
}

void TSxBaseDispatcher::OutThreadBody() {
    plat::NameThisThread("sx-output");
    {
        std::lock_guard<std::mutex> g(threadIdsLock_);
        outId_ = std::this_thread::get_id();
    }
    Acknowledge(startLock_, startCv_, threadAcks_);
    std::unique_lock<std::mutex> lk(outLock_);
    while (!kill_) {
        outCv_.wait(lk, [&] { return kill_.load() || outputReady_ || flushRequests_ != flushAcks_; });
        if (kill_) break;
        if (flushRequests_ != flushAcks_) {
            // Emptied here, between writes, so that no chunk of the old contents is written after
            // the acknowledgement.
            outHead_ = outTail_ = 0;
            outFull_ = false;
            outputReady_ = false;
            flushAcks_ = flushRequests_;
            outCv_.notify_all();
            lk.unlock();
            PokeForOutput();
            lk.lock();
            continue;
        }
        outputReady_ = false;
        while (!kill_ && flushRequests_ == flushAcks_ && (outFull_ || outHead_ != outTail_)) {
            if (dsrGate_ && !dsrOn_) {
                // Output waits for DSR. The dispatch thread notifies when DSR comes on; the wait
                // also looks again every poll interval, as the line is sampled no more often.
                outCv_.wait_for(lk, PollInterval, [&] {
                    return kill_.load() || flushRequests_ != flushAcks_ || !dsrGate_ || dsrOn_.load();
                });
                continue;
            }
            // The pending bytes up to the end of the ring; a wrapped rest follows in the next turn.
            const size_t end = (outHead_ > outTail_) ? outHead_ : out_.size();
            const size_t n = end - outTail_;
            const uint8_t* p = out_.data() + outTail_;
            outWriting_ = true;
            lk.unlock();
            const int w = device_->Write(p, static_cast<int>(n));
            lk.lock();
            outWriting_ = false;
            if (flushRequests_ != flushAcks_) break; // the flush empties the ring
            // A failed write drops its chunk rather than retrying for ever.
            const size_t done = w < 0 ? n : static_cast<size_t>(w);
            if (done > 0) {
                outTail_ = (outTail_ + done) % out_.size();
                outFull_ = false;
                everWritten_ = true;
            }
            outCv_.notify_all();
            if (done > 0) {
                lk.unlock();
                PokeForOutput();
                lk.lock();
            }
        }
    }
    lk.unlock();
    ThreadLeaves();
}

int TSxBaseDispatcher::PollingNeeded() {
    const int poll = static_cast<int>(PollInterval.count());
    bool pending;
    {
        std::lock_guard<std::mutex> g(inLock_);
        pending = morePending_;
    }
    std::lock_guard<std::mutex> g(lock_);
    int wait = pending ? poll : -1;
    // An armed timer is looked at when it is due rather than at the next poll, so it ends close to
    // its time (and never before it: ExpiredAt decides).
    const int64_t now = clock_->NowMs();
    for (const auto& t : timers_)
        if (t.Armed) {
            // One that is due already was left for a reason (a delivery, a close): the usual poll.
            const uint32_t due = t.MsUntilExpiry(now);
            const int left = due == 0 ? poll : static_cast<int>(std::min<uint32_t>(due, static_cast<uint32_t>(poll)));
            wait = wait < 0 ? left : std::min(wait, left);
        }
    NoteOutputWatchLocked();
    return wait;
}

// Output levels change only when output is queued or written: with an output status trigger armed,
// those two wake the dispatch thread instead of a poll every 50 ms.
void TSxBaseDispatcher::NoteOutputWatchLocked() {
    watchOutput_ = std::any_of(status_.begin(), status_.end(),
                               [](const auto& t) { return t.Armed && t.Kind >= stOutBuffFree; });
}

void TSxBaseDispatcher::PokeForOutput() {
    if (watchOutput_.load()) Poke();
}

void TSxBaseDispatcher::Poke() {
    {
        std::lock_guard<std::mutex> g(evLock_);
        poked_ = true;
    }
    evCv_.notify_all();
    if (liveThreads_.load() > 0) device_->CancelWait();
}

// ---- Waiting ---------------------------------------------------------------------------------

void WaitTicks(plat::IClock& clock, int32_t n, bool yield, const std::function<bool()>& pump,
               const std::function<void(int)>& sleepMs) {
    if (n < 1) return;
    TSxTimerTrigger t;
    t.Start(clock.NowMs());
    t.Ticks = std::min(static_cast<uint32_t>(n), MaxTimerTicks);
    t.Armed = true;
    for (;;) {
        const uint32_t left = t.MsUntilExpiry(clock.NowMs());
        if (left == 0) return;
        if (yield && pump && !pump()) return;
        sleepMs(static_cast<int>(std::min<uint32_t>(left, TickMs / 5)));
    }
}

} // namespace sx
