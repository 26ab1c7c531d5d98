// The input checks of an arrival delivered on the GUI thread as one run, with the dispatch thread
// reading ahead meanwhile and running what the run hands back to it. The round (SxDispatcherRound.cpp)
// posts a run; the dispatch thread's loop (SxDispatcherThreads.cpp) follows it.

#include "serial/core/SxDispatcher.h"

#include "platform/GuiHandoff.h"
#include "serial/core/SxDispatcherPrivate.h"

#include <algorithm>
#include <chrono>

namespace sx {

// Hands the input checks of this round to the GUI thread. Until they have run there, the dispatch
// thread delivers nothing else: it reads on into the ring (the bytes become visible to the scan and
// the handlers when the run ends, and are announced by the next round), runs what the run hands
// back to it and keeps the time-out: a run the GUI thread has not begun within 3000 ms is dropped,
// and the next round delivers its messages one hand-off each, as always.
void TSxBaseDispatcher::PostGuiBatch() {
    auto batch = std::make_shared<GuiBatch>();
    {
        std::lock_guard<std::mutex> g(inLock_);
        readAhead_ = true;
        readAheadRoom_ = true;
        frozenTail_ = inTail_;
    }
    batch_ = batch;
    batchYield_ = false;
    batchDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(WindowTimeoutMs);
    gui_->PostToGuiThread([this, batch] {
        {
            std::lock_guard<std::mutex> g(batch->M);
            if (batch->Dropped) return;
            batch->Started = true;
        }
        RunGuiBatch(*batch);
    });
}

// The run on the GUI thread. Bytes the dispatch thread has read meanwhile are taken on in the same
// run (their checks are the next round's), for at most MaxGuiRun and while the dispatch thread
// has nothing else to do. At its end the bytes read meanwhile become visible; the dispatch thread
// is woken only when there is something for it (such bytes, input held back by a full ring):
// otherwise it goes on waiting for the device as it does now.
void TSxBaseDispatcher::RunGuiBatch(GuiBatch& batch) {
    const auto until = std::chrono::steady_clock::now() + MaxGuiRun;
    guiBatch_.store(&batch, std::memory_order_release);
    bool work;
    for (;;) {
        while (CheckDataAndAvail()) {
        }
        bool wasFull = false;
        {
            std::lock_guard<std::mutex> g(inLock_);
            work = inHead_ != visibleHead_ || morePending_;
            const bool goOn = inHead_ != visibleHead_ && !batchYield_.load() && !morePending_ &&
                              std::chrono::steady_clock::now() < until;
            if (!goOn) {
                readAhead_ = false;
                visibleHead_ = inHead_;
                break;
            }
            // Every byte before the new visible head is scanned or visible: what is taken from
            // now on may be read over again.
            visibleHead_ = inHead_;
            frozenTail_ = inTail_;
            wasFull = !readAheadRoom_;
            readAheadRoom_ = true;
        }
        if (wasFull) batch.Cv.notify_all(); // the dispatch thread waits for room
    }
    guiBatch_.store(nullptr, std::memory_order_release);
    SignalBatch(batch, [&] { batch.Done = true; }, work);
}

// Sets what change does under the run's lock and lets the dispatch thread know: a waiter on the
// run's condition always, one waiting for the device only when wake is asked for.
void TSxBaseDispatcher::SignalBatch(GuiBatch& batch, const std::function<void()>& change, bool wake) {
    bool onDevice;
    {
        std::lock_guard<std::mutex> g(batch.M);
        change();
        onDevice = batch.OnDevice;
    }
    batch.Cv.notify_all();
    if (wake && onDevice) device_->CancelWait();
}

// One step of the dispatch thread while a run is out on the GUI thread: runs a job handed back,
// notes the run's end or drops it when not begun in time, or waits for the device (reading ahead)
// or the next due time. True when the run is over.
bool TSxBaseDispatcher::FollowGuiBatch(bool& deviceGone) {
    GuiBatch& batch = *batch_;
    int waitMs = PollingNeeded();
    bool room;
    {
        std::lock_guard<std::mutex> g(inLock_);
        room = readAheadRoom_;
    }
    std::unique_lock<std::mutex> lk(batch.M);
    if (batch.Back) {
        RunHandedBack(batch, lk);
        return false;
    }
    if (batch.Done) return true;
    if (!batch.Started) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= batchDeadline_) {
            batch.Dropped = true;
            lk.unlock();
            EndReadAhead();
            localChecks_ = true;
            pendingEvents_ |= evRxChar;
            return true;
        }
        const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(batchDeadline_ - now).count());
        waitMs = waitMs < 0 ? left : std::min(waitMs, left);
    }
    // Events other than arrivals wait for the round after the run: then so does this thread.
    const bool otherWork = deviceGone || kill_ || (pendingEvents_ & ~static_cast<uint32_t>(evRxChar)) != 0;
    if (otherWork) batchYield_ = true;
    if (otherWork || !room) {
        // Nothing to read: the run's end, a job or the next due time (and a close) is waited for.
        const int ms = waitMs < 0 ? static_cast<int>(PollInterval.count()) : std::min<int>(waitMs, PollInterval.count());
        batch.Cv.wait_for(lk, std::chrono::milliseconds(ms),
                          [&] { return batch.Done || batch.Back || kill_.load(); });
        return false;
    }
    batch.OnDevice = true;
    lk.unlock();
    const uint32_t ev = WaitDevice(waitMs);
    lk.lock();
    batch.OnDevice = false;
    if (ev & evHangup) deviceGone = true;
    if (batch.Done) {
        // Over while this thread waited (it woke it only if there was something): the round
        // after it reads what arrived.
        pendingEvents_ |= ev;
        return true;
    }
    lk.unlock();
    // Other events and the bytes read are taken up by the round after the run; for anything but
    // bytes (an event, a time due, a poke) the run should end soon.
    pendingEvents_ |= ev & ~static_cast<uint32_t>(evRxChar);
    if ((ev & ~static_cast<uint32_t>(evRxChar)) != 0 || ev == 0) batchYield_ = true;
    if ((ev & evRxChar) && ReadInput() > 0) pendingEvents_ |= evRxChar;
    return false;
}

// Runs the job the run handed back (lk holds the run's lock, and holds it again on return) and
// tells the run it is done.
void TSxBaseDispatcher::RunHandedBack(GuiBatch& batch, std::unique_lock<std::mutex>& lk) {
    auto job = std::move(batch.Back);
    batch.Back = nullptr;
    lk.unlock();
    job();
    lk.lock();
    batch.BackDone = true;
    batch.Cv.notify_all();
}

void TSxBaseDispatcher::EndReadAhead() {
    std::lock_guard<std::mutex> g(inLock_);
    readAhead_ = false;
    visibleHead_ = inHead_;
}

// The dispatch thread leaves: a run not begun is dropped, a run under way is waited for (it ends
// after the handler it is in, the dispatcher closing), as the close waits for a delivery.
void TSxBaseDispatcher::LeaveGuiBatch() {
    const std::shared_ptr<GuiBatch> held = std::move(batch_);
    if (!held) return;
    GuiBatch& batch = *held;
    std::unique_lock<std::mutex> lk(batch.M);
    if (!batch.Started) {
        batch.Dropped = true;
        lk.unlock();
        EndReadAhead();
    } else {
        for (;;) {
            batch.Cv.wait(lk, [&] { return batch.Done || batch.Back; });
            if (batch.Done) break;
            RunHandedBack(batch, lk);
        }
    }
}

void TSxBaseDispatcher::OnDispatchThread(const std::function<void()>& job) {
    GuiBatch* batch = guiBatch_.load(std::memory_order_acquire);
    if (!batch) {
        job();
        return;
    }
    SignalBatch(*batch, [&] {
        batch->Back = job;
        batch->BackDone = false;
    }, true);
    std::unique_lock<std::mutex> lk(batch->M);
    batch->Cv.wait(lk, [&] { return batch->BackDone; });
}

} // namespace sx
