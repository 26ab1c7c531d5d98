#include "serial/core/SxDispatcher.h"

#include "platform/Clock.h"
#include "platform/GuiHandoff.h"
#include "platform/ThreadName.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#if defined(__linux__)
#endif

namespace sx {

namespace {

class SteadyClock : public plat::IClock {
public:
    int64_t NowMs() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

// The process-wide dispatcher table: a slot index is a dispatcher's handle.
std::mutex& TableLock() {
    static std::mutex m;
    return m;
}
std::vector<TSxBaseDispatcher*>& Table() {
    static std::vector<TSxBaseDispatcher*> t;
    return t;
}
std::atomic<uint64_t> g_serials{0};

constexpr auto PollInterval = std::chrono::milliseconds(50);
// How long a run of input messages on the GUI thread goes on with bytes that keep arriving.
constexpr auto MaxGuiRun = std::chrono::milliseconds(20);
constexpr auto StartTimeout = std::chrono::milliseconds(3000);
constexpr auto FlushAckTimeout = std::chrono::milliseconds(3000);
constexpr auto DrainTimeout = std::chrono::milliseconds(10000);

} // namespace

// ---- Lifecycle -------------------------------------------------------------------------------

TSxBaseDispatcher::TSxBaseDispatcher(void* owner, plat::IGuiHandoff* gui, plat::IClock* clock)
    : owner_(owner), gui_(gui), clock_(clock) {
    if (!clock_) {
        ownClock_ = std::make_unique<SteadyClock>();
        clock_ = ownClock_.get();
    }
    serial_ = ++g_serials;
    std::lock_guard<std::mutex> g(TableLock());
    auto& t = Table();
    auto it = std::find(t.begin(), t.end(), nullptr);
    if (it != t.end()) {
        *it = this;
        handle_ = static_cast<uint16_t>(it - t.begin());
    } else {
        t.push_back(this);
        handle_ = static_cast<uint16_t>(t.size() - 1);
    }
}

TSxBaseDispatcher::~TSxBaseDispatcher() {
    Close();
    kill_ = true;
    JoinThreads();
    FinishClose();
    std::lock_guard<std::mutex> g(TableLock());
    auto& t = Table();
    if (handle_ < t.size() && t[handle_] == this) t[handle_] = nullptr;
    while (!t.empty() && t.back() == nullptr) t.pop_back();
}

TSxBaseDispatcher* TSxBaseDispatcher::FindByHandle(uint16_t handle) {
    std::lock_guard<std::mutex> g(TableLock());
    auto& t = Table();
    return handle < t.size() ? t[handle] : nullptr;
}

int TSxBaseDispatcher::Open(const std::string& deviceName, int32_t baud, uint8_t parity, uint8_t dataBits,
                            uint8_t stopBits, uint16_t inSize, uint16_t outSize, bool dtr, bool rts) {
    return OpenDevice(SxCreateDevice(deviceName), deviceName, baud, parity, dataBits, stopBits, inSize, outSize, dtr,
                      rts, threadsOnOpen_);
}

int TSxBaseDispatcher::OpenDevice(std::unique_ptr<ISxDevice> device, const std::string& deviceName, int32_t baud,
                                  uint8_t parity, uint8_t dataBits, uint8_t stopBits, uint16_t inSize,
                                  uint16_t outSize, bool dtr, bool rts, bool startThreads) {
    if (!device || outSize == 0) return ecBadArgument;
    if (IsOpen()) return ecAlreadyOpen;
    // Threads left over from a close that finished on the dispatch thread.
    JoinThreads();
    FinishClose();

    const int r = device->Open(deviceName, inSize, outSize);
    {
        std::lock_guard<std::mutex> g(lock_);
        failedOpenNote_ = r < 0 ? device->OpenNote() : std::string();
    }
    if (r < 0) return r;
    {
        std::lock_guard<std::mutex> g(lock_);
        device_ = std::move(device);
        deviceName_ = deviceName;
        inSize_ = inSize;
        outSize_ = outSize;
        kill_ = false;
        deviceLost_ = false;
        closing_ = false;
        delivering_ = false;
        errorBits_ = 0;
        dtr_ = dtr;
        rts_ = rts;
        dtrAuto_ = rtsAuto_ = rs485_ = false;
        dtrFlow_ = false;
        dtrHeld_ = false;
        dsrGate_ = false;
        dsrOn_ = true;
        ringSeen_ = false;
        timers_.clear();
        data_.clear();
        status_.clear();
        handles_.Reset();
        availLevel_ = 0;
    }
    {
        std::lock_guard<std::mutex> g(inLock_);
        in_.assign(InputRingSize, 0);
        inHead_ = visibleHead_ = inTail_ = scanFloor_ = 0;
        readAhead_ = false;
        frozenTail_ = 0;
        morePending_ = inAvailDispatch_ = flushedInDispatch_ = false;
        takenCount_ = maxTakenCount_ = 0;
        scanPos_ = 0;
        lastAvailPos_ = UINT64_MAX;
    }
    {
        std::lock_guard<std::mutex> g(outLock_);
        out_.assign(outSize, 0);
        outHead_ = outTail_ = 0;
        outFull_ = outputReady_ = outputQueued_ = outWriting_ = false;
        flushRequests_ = flushAcks_ = 0;
        everWritten_ = false;
    }
    {
        std::lock_guard<std::mutex> g(evLock_);
        poked_ = false;
    }
    int result;
    {
        std::lock_guard<std::mutex> g(lock_);
        deviceOpen_ = true;
        TSxLineSettings s;
        result = device_->GetLine(s);
        if (result >= 0) {
            // Plain lines: no flow control until asked for, DTR and RTS as requested.
            s.OutxCtsFlow = s.OutxDsrFlow = s.OutX = s.InX = false;
            line_ = s;
            result = ApplyLineLocked(s);
        }
        modemStatus_ = 0;
        uint8_t lines = 0;
        if (result >= 0 && device_->ModemLines(lines) >= 0) modemStatus_ = lines;
        dsrOn_ = (modemStatus_ & msDSR) != 0;
    }
    open_ = true;
    if (result >= 0) result = SetLine(baud, parity, dataBits, stopBits);
    if (result < 0) {
        open_ = false;
        FinishClose();
        return result;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        errorBits_ |= device_->TakeErrors();
    }
    if (startThreads) StartThreads();
    return 0;
}

void TSxBaseDispatcher::StartThreads() {
    std::lock_guard<std::mutex> g(threadsLock_);
    if (liveThreads_.load() > 0) throw std::logic_error("Dispatcher already started");
    for (auto* t : {&dispThread_, &outThread_})
        if (t->joinable()) t->join();
    kill_ = false;
    {
        std::lock_guard<std::mutex> s(startLock_);
        threadAcks_ = 0;
    }
    auto start = [&](std::thread& t, void (TSxBaseDispatcher::*body)(), int ordinal) {
        ++liveThreads_;
        t = std::thread(body, this);
        std::unique_lock<std::mutex> s(startLock_);
        startCv_.wait_for(s, StartTimeout, [&] { return threadAcks_ >= ordinal; });
    };
    start(dispThread_, &TSxBaseDispatcher::DispThreadBody, 1);
    start(outThread_, &TSxBaseDispatcher::OutThreadBody, 2);
}

int TSxBaseDispatcher::Close() {
    if (!open_) return 0;
    ClearOutput();
    ClearInput();
    bool deferred;
    {
        std::lock_guard<std::mutex> g(lock_);
        closing_ = true;
        open_ = false;
        deferred = delivering_ || OnOwnThread();
    }
    kill_ = true;
    if (device_) {
        device_->CancelWait();
        device_->CancelWrite();
    }
    {
        std::lock_guard<std::mutex> g(evLock_);
    }
    evCv_.notify_all();
    {
        std::lock_guard<std::mutex> g(outLock_);
    }
    outCv_.notify_all();
    if (deferred && liveThreads_.load() > 0) return 0; // the last thread to leave finishes the close
    JoinThreads();
    FinishClose();
    return 0;
}

bool TSxBaseDispatcher::IsOpen() const { return open_.load(); }

bool TSxBaseDispatcher::Delivering() const {
    std::lock_guard<std::mutex> g(lock_);
    return delivering_;
}

bool TSxBaseDispatcher::OnOwnThread() const {
    const auto self = std::this_thread::get_id();
    std::lock_guard<std::mutex> g(threadIdsLock_);
    return self == dispId_ || self == outId_;
}

void TSxBaseDispatcher::JoinThreads() {
    std::lock_guard<std::mutex> g(threadsLock_);
    const auto self = std::this_thread::get_id();
    for (auto* t : {&dispThread_, &outThread_})
        if (t->joinable() && t->get_id() != self) t->join();
}

void TSxBaseDispatcher::FinishClose() {
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) device_->Close();
    deviceOpen_ = false;
}

void TSxBaseDispatcher::ThreadLeaves() {
    {
        std::lock_guard<std::mutex> g(threadIdsLock_);
        const auto self = std::this_thread::get_id();
        if (dispId_ == self) dispId_ = {};
        if (outId_ == self) outId_ = {};
    }
    bool last;
    {
        // Under the general lock, so that a close deciding whether to wait sees a consistent count.
        std::lock_guard<std::mutex> g(lock_);
        last = liveThreads_.fetch_sub(1) == 1;
        if (last && closing_ && device_ && deviceOpen_) {
            device_->Close();
            deviceOpen_ = false;
        }
    }
    (void)last;
}

void TSxBaseDispatcher::SetOnDeviceLost(std::function<void()> handler) {
    std::lock_guard<std::mutex> g(lock_);
    onDeviceLost_ = std::move(handler);
}

void TSxBaseDispatcher::HandleDeviceLost() {
    if (deviceLost_.exchange(true)) return;
    if (gui_) {
        const uint16_t h = handle_;
        const uint64_t serial = serial_;
        gui_->PostToGuiThread([h, serial] {
            TSxBaseDispatcher* d = FindByHandle(h);
            if (!d || d->serial_ != serial || !d->IsOpen()) return;
            std::function<void()> lost;
            {
                std::lock_guard<std::mutex> g(d->lock_);
                lost = d->onDeviceLost_;
            }
            if (lost)
                lost();
            else
                d->Close();
        });
    } else {
        Close(); // on our own thread: finishes when the threads leave
    }
}

// ---- Threads ---------------------------------------------------------------------------------

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

bool TSxBaseDispatcher::DispatchTrigger(uint16_t msg, uint32_t first, uint16_t datum) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!serviceNeeded_ || closing_) return true;
        delivering_ = true;
    }
    {
        std::lock_guard<std::mutex> g(inLock_);
        takenCount_ = maxTakenCount_ = 0;
        flushedInDispatch_ = false;
        inAvailDispatch_ = msg == smAvail || msg == smData;
    }
    const uint32_t second = (static_cast<uint32_t>(handle_) << 16) | datum;
    auto afterHandler = [&]() -> bool {
        {
            std::lock_guard<std::mutex> g(inLock_);
            maxTakenCount_ = std::max(maxTakenCount_, takenCount_);
            takenCount_ = 0;
        }
        std::lock_guard<std::mutex> g(lock_);
        return !closing_;
    };

    bool go = true;
    for (size_t i = 0; go; ++i) {
        EventEntry e;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (i >= events_.size()) break;
            if (events_[i].Deleted) continue;
            e = events_[i];
        }
        if (e.Synchronize && gui_ && InGuiBatch()) {
            Guarded([&] { e.Fn(e.UserData, msg, first, second); });
        } else if (e.Synchronize && gui_) {
            gui_->RunOnGuiThread(
                [this, fn = e.Fn, ud = e.UserData, msg, first, second] {
                    Guarded([&] { fn(ud, msg, first, second); });
                },
                WindowTimeoutMs);
        } else {
            OnDispatchThread([&] { Guarded([&] { e.Fn(e.UserData, msg, first, second); }); });
        }
        go = afterHandler();
    }
    for (size_t i = 0; go; ++i) {
        TSxProcedureHandler fn;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (i >= procs_.size()) break;
            if (procs_[i].Deleted) continue;
            fn = procs_[i].Fn;
        }
        OnDispatchThread([&] { Guarded([&] { fn(msg, first, second); }); });
        go = afterHandler();
    }
    for (size_t i = 0; go; ++i) {
        ISxWindow* w;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!(windows_.size() > 1 || portHandlers_)) break;
            if (i >= windows_.size()) break;
            if (windows_[i].Deleted) continue;
            w = windows_[i].Window;
        }
        if (gui_ && InGuiBatch()) {
            Guarded([&] { w->HandleMessage(msg, first, second); });
        } else if (gui_) {
            // Runs on the GUI thread, which also removes windows: check there that it is still ours.
            gui_->RunOnGuiThread(
                [this, w, msg, first, second] {
                    {
                        std::lock_guard<std::mutex> g(lock_);
                        auto it = std::find_if(windows_.begin(), windows_.end(),
                                               [w](const WindowEntry& x) { return x.Window == w && !x.Deleted; });
                        if (it == windows_.end()) return;
                    }
                    Guarded([&] { w->HandleMessage(msg, first, second); });
                },
                WindowTimeoutMs);
        } else {
            Guarded([&] { w->HandleMessage(msg, first, second); });
        }
        go = afterHandler();
    }

    int taken;
    {
        std::lock_guard<std::mutex> g(inLock_);
        const uint64_t used = visibleHead_ - inTail_;
        uint64_t advance = flushedInDispatch_ ? used : std::min<uint64_t>(used, static_cast<uint64_t>(maxTakenCount_));
        inTail_ += advance;
        taken = static_cast<int>(advance);
        inAvailDispatch_ = false;
        flushedInDispatch_ = false;
        takenCount_ = maxTakenCount_ = 0;
    }
    bool finishClose = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        delivering_ = false;
        if (handlersChanged_) {
            PurgeMarkedHandlersLocked();
            RecomputeServiceLocked();
        }
        finishClose = closing_ && liveThreads_.load() == 0;
    }
    if (taken > 0 && dtrHeld_.load(std::memory_order_acquire)) DtrFlowCheck();
    if (finishClose) FinishClose(); // a close asked for inside a handler with no threads running
    return msg != smAvail || static_cast<uint32_t>(taken) >= first;
}

// A handler's exception ends that handler's call, not the thread that made it: the other handlers
// and all later triggers are still delivered. The exception is reported on the GUI thread.
void TSxBaseDispatcher::Guarded(const std::function<void()>& call) {
    try {
        call();
    } catch (...) {
        std::function<void(std::exception_ptr)> report;
        {
            std::lock_guard<std::mutex> g(lock_);
            report = onException_;
        }
        if (!report) return;
        if (!gui_) {
            report(std::current_exception());
            return;
        }
        // The exception in flight stays on this thread; the GUI thread gets a copy of what it says,
        // made there. Sharing the original would leave its lifetime to a reference count inside the
        // C++ runtime that a thread checker cannot follow.
        int code = 0;
        std::string text = "Serx exception";
        try {
            throw;
        } catch (const ESxException& e) {
            code = e.ResultCode;
            text = e.what();
        } catch (const std::exception& e) {
            text = e.what();
        } catch (...) {
        }
        gui_->PostToGuiThread([report, code, text] {
            report(code != 0 ? std::make_exception_ptr(ESxException(code, text))
                             : std::make_exception_ptr(std::runtime_error(text)));
        });
    }
}

void TSxBaseDispatcher::SetOnException(std::function<void(std::exception_ptr)> handler) {
    std::lock_guard<std::mutex> g(lock_);
    onException_ = std::move(handler);
}

uint32_t TSxBaseDispatcher::CurrentTick() const { return TickOf(clock_->NowMs()); }

// ---- Line ------------------------------------------------------------------------------------

int TSxBaseDispatcher::ApplyLineLocked(const TSxLineSettings& settings) {
    TSxLineSettings s = settings;
    s.DtrControl = dtrAuto_ ? 2 : (dtr_ ? 1 : 0);
    if (rs485_)
        s.RtsControl = 3;
    else
        s.RtsControl = rtsAuto_ ? 2 : (rts_ ? 1 : 0);
    const int r = device_->SetLine(s);
    if (r < 0) return r;
    line_ = s;
    // The device raises DTR under handshake; the handshake may be holding it down just now.
    if (dtrAuto_ && dtrHeld_) device_->SetDTR(false);
    return 0;
}

void TSxBaseDispatcher::DtrFlowCheck() {
    if (!dtrFlow_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> g(lock_);
    DtrFlowCheckLocked();
}

// The DTR handshake: DTR drops when the input ring holds the full level or more and rises again once
// it is down to the resume level. Decided on the ring's fill under its lock, so a reader and the
// dispatch thread cannot leave DTR down over an emptied ring.
void TSxBaseDispatcher::DtrFlowCheckLocked() {
    if (!dtrAuto_ || !deviceOpen_ || !device_) return;
    bool drop = false, raise = false;
    {
        std::lock_guard<std::mutex> i(inLock_);
        const uint64_t used = inHead_ - inTail_;
        if (!dtrHeld_ && used >= flowFull_) {
            dtrHeld_ = true;
            drop = true;
        } else if (dtrHeld_ && used <= flowResume_) {
            dtrHeld_ = false;
            raise = true;
        }
    }
    if (drop || raise) device_->SetDTR(raise);
}

int TSxBaseDispatcher::SetLine(int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    if (baud < 0) return ecBaudRate;
    if (parity > 5 || stopBits < 1 || stopBits > 3) return ecBadArgument;
    if (dataBits < 5 || dataBits > 9) return ecByteSize;
    TSxLineSettings s;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!open_ || !deviceOpen_) return ecCommNotOpen;
        if (device_->GetLine(s) < 0) s = line_;
        s.DtrControl = line_.DtrControl;
        s.RtsControl = line_.RtsControl;
        if (baud != 0) s.Baud = baud;
        if (parity != 5) s.Parity = parity;
        if (dataBits != 9) s.DataBits = dataBits;
        if (stopBits != 3) s.StopBits = stopBits == 1 ? 0 : 2;
        // Five data bits cannot have two stop bits: the UART sends one and a half.
        if (s.DataBits == 5 && s.StopBits == 2) s.StopBits = 1;
        if (s == line_) return 0;
    }
    DrainOutput();
    std::lock_guard<std::mutex> g(lock_);
    if (!deviceOpen_) return ecCommNotOpen;
    return ApplyLineLocked(s);
}

void TSxBaseDispatcher::DrainOutput() {
    bool wrote;
    {
        std::unique_lock<std::mutex> lk(outLock_);
        if (liveThreads_.load() > 0)
            outCv_.wait_for(lk, DrainTimeout, [&] { return OutUsedLocked() == 0 && !outWriting_; });
        wrote = everWritten_;
    }
    if (!wrote) return;
    // Let the driver's last characters leave: 18 character times at the current line settings.
    TSxLineSettings s = LineSettings();
    const int bits = 1 + s.DataBits + (s.Parity ? 1 : 0) + (s.StopBits == 0 ? 1 : 2);
    double ms = 18.0 * bits * 1000.0 / std::max<int32_t>(s.Baud, 1);
    if (ms < 1.0) ms *= 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(std::ceil(ms))));
}

int TSxBaseDispatcher::GetLine(int32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_) return ecCommNotOpen;
    baud = line_.Baud;
    parity = line_.Parity;
    dataBits = line_.DataBits;
    stopBits = line_.StopBits == 0 ? 1 : 2;
    return 0;
}

TSxLineSettings TSxBaseDispatcher::LineSettings() const {
    std::lock_guard<std::mutex> g(lock_);
    return line_;
}

int TSxBaseDispatcher::SetDTR(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (dtrAuto_) return 1;
    if (device_->SetDTR(on) < 0) return ecBadArgument;
    dtr_ = on;
    line_.DtrControl = on ? 1 : 0;
    return 0;
}

// A break starts once the output queued before it has left the ring (within 2000 ms) and the device's
// driver (the device's own bound); output held back by flow control refuses it with ecOutputStalled.
int TSxBaseDispatcher::SetBreak(bool on) {
    if (!IsOpen()) return ecCommNotOpen;
    if (on) {
        std::unique_lock<std::mutex> lk(outLock_);
        const auto drained = [&] { return OutUsedLocked() == 0 && !outWriting_; };
        if (liveThreads_.load() > 0 && !outCv_.wait_for(lk, std::chrono::milliseconds(2000), drained))
            return ecOutputStalled;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    return device_->SetBreak(on);
}

int TSxBaseDispatcher::SetRTS(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (rtsAuto_ || rs485_) return 1;
    if (device_->SetRTS(on) < 0) return ecBadArgument;
    rts_ = on;
    line_.RtsControl = on ? 1 : 0;
    return 0;
}

int TSxBaseDispatcher::SetHardFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t options) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (resumeLevel > fullLevel || fullLevel > inSize_) return ecBadArgument;
    TSxLineSettings s = line_;
    const bool oldDtrAuto = dtrAuto_, oldRtsAuto = rtsAuto_;
    dtrAuto_ = (options & hwfUseDTR) != 0;
    rtsAuto_ = (options & hwfUseRTS) != 0;
    s.XoffLim = static_cast<uint16_t>(inSize_ - fullLevel);
    s.XonLim = resumeLevel;
    s.OutxDsrFlow = (options & hwfRequireDSR) != 0;
    s.OutxCtsFlow = (options & hwfRequireCTS) != 0;
    if (!dtrAuto_) dtrHeld_ = false; // DTR returns to its requested state with the line below
    const int r = ApplyLineLocked(s);
    if (r < 0) {
        // Refused: nothing of it is in force.
        dtrAuto_ = oldDtrAuto;
        rtsAuto_ = oldRtsAuto;
        return r;
    }
    flowFull_ = fullLevel;
    flowResume_ = resumeLevel;
    dtrFlow_ = dtrAuto_;
    {
        std::lock_guard<std::mutex> o(outLock_);
        dsrGate_ = s.OutxDsrFlow;
    }
    outCv_.notify_all();
    DtrFlowCheckLocked();
    return 0;
}

int TSxBaseDispatcher::SetSoftFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t directions) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (resumeLevel > fullLevel || fullLevel > inSize_) return ecBadArgument;
    TSxLineSettings s = line_;
    s.InX = (directions & sfReceive) != 0;
    s.OutX = (directions & sfTransmit) != 0;
    s.XoffLim = static_cast<uint16_t>(inSize_ - fullLevel);
    s.XonLim = resumeLevel;
    s.XonChar = 17;
    s.XoffChar = 19;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SoftFlowOff() {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    TSxLineSettings s = line_;
    s.InX = s.OutX = false;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SetFlowChars(uint8_t xonChar, uint8_t xoffChar) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    TSxLineSettings s = line_;
    s.XonChar = xonChar;
    s.XoffChar = xoffChar;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    const bool old = rs485_;
    rs485_ = on;
    const int r = ApplyLineLocked(line_);
    if (r < 0) rs485_ = old; // refused by the device: not in force
    return r;
}

std::string TSxBaseDispatcher::FailedOpenNote() const {
    std::lock_guard<std::mutex> g(lock_);
    return failedOpenNote_;
}

std::string TSxBaseDispatcher::DeviceNote() const {
    std::lock_guard<std::mutex> g(lock_);
    return device_ && deviceOpen_ ? device_->OpenNote() : std::string();
}

bool TSxBaseDispatcher::RS485Mode() const {
    std::lock_guard<std::mutex> g(lock_);
    return rs485_;
}

int TSxBaseDispatcher::RaiseThreadPriority(int n) {
    std::lock_guard<std::mutex> g(lock_);
    priorityBoost_ = n;
    return 0;
}

// ---- Input -----------------------------------------------------------------------------------

int TSxBaseDispatcher::GetChar(uint8_t& c) {
    if (!open_) return ecCommNotOpen;
    bool poke;
    {
        std::lock_guard<std::mutex> g(inLock_);
        const uint64_t used = visibleHead_ - inTail_;
        if (inAvailDispatch_) {
            // Read without consuming: the dispatch settles what was taken after all handlers ran.
            if (flushedInDispatch_ || static_cast<uint64_t>(takenCount_) >= used) return ecBufferIsEmpty;
            c = in_[(inTail_ + static_cast<uint64_t>(takenCount_)) % InputRingSize];
            ++takenCount_;
            return 0;
        }
        if (used == 0) return ecBufferIsEmpty;
        c = in_[inTail_ % InputRingSize];
        ++inTail_;
        poke = morePending_ && used == static_cast<uint64_t>(InputRingSize);
    }
    // Room again in a ring the device is waiting to fill: the dispatch thread reads on at once.
    if (poke) Poke();
    if (dtrHeld_.load(std::memory_order_acquire)) DtrFlowCheck();
    return 0;
}

int TSxBaseDispatcher::GetBlock(uint8_t* data, int n) {
    if (!open_) return ecCommNotOpen;
    if (n < 0) return ecBadArgument;
    if (n == 0) return 0;
    int k;
    bool poke = false;
    {
        std::lock_guard<std::mutex> g(inLock_);
        const uint64_t used = visibleHead_ - inTail_;
        const uint64_t skip = inAvailDispatch_ ? static_cast<uint64_t>(takenCount_) : 0;
        if ((inAvailDispatch_ && flushedInDispatch_) || skip >= used) return ecBufferIsEmpty;
        k = static_cast<int>(std::min<uint64_t>(used - skip, static_cast<uint64_t>(n)));
        const size_t from = (inTail_ + skip) % InputRingSize;
        const size_t first = std::min<size_t>(static_cast<size_t>(k), InputRingSize - from);
        std::memcpy(data, in_.data() + from, first);
        std::memcpy(data + first, in_.data(), static_cast<size_t>(k) - first);
        if (inAvailDispatch_) {
            // Read without consuming, as GetChar does there.
            takenCount_ += k;
        } else {
            inTail_ += static_cast<uint64_t>(k);
            poke = morePending_ && used == static_cast<uint64_t>(InputRingSize);
        }
    }
    if (poke) Poke();
    if (dtrHeld_.load(std::memory_order_acquire)) DtrFlowCheck();
    return k;
}

int TSxBaseDispatcher::PeekChar(int n, uint8_t& c) {
    if (!open_) return ecCommNotOpen;
    if (n < 1) return ecBadArgument;
    std::lock_guard<std::mutex> g(inLock_);
    const uint64_t used = visibleHead_ - inTail_;
    const uint64_t skip = inAvailDispatch_ ? static_cast<uint64_t>(takenCount_) : 0;
    if ((inAvailDispatch_ && flushedInDispatch_) || skip + static_cast<uint64_t>(n) > used) return ecBufferIsEmpty;
    c = in_[(inTail_ + skip + static_cast<uint64_t>(n) - 1) % InputRingSize];
    return 0;
}

int TSxBaseDispatcher::InputUsed() {
    if (!open_) return 0;
    std::lock_guard<std::mutex> g(inLock_);
    uint64_t used = visibleHead_ - inTail_;
    if (inAvailDispatch_) used = flushedInDispatch_ ? 0 : used - std::min<uint64_t>(used, takenCount_);
    return static_cast<int>(used);
}

int TSxBaseDispatcher::ClearInput() {
    std::lock_guard<std::mutex> g(lock_);
    if (!deviceOpen_) return ecCommNotOpen;
    device_->PurgeInput();
    {
        std::lock_guard<std::mutex> i(inLock_);
        if (inAvailDispatch_)
            flushedInDispatch_ = true; // the dispatch takes everything when it settles
        else
            inTail_ = visibleHead_;
        scanFloor_ = visibleHead_;
    }
    for (auto& t : data_) t.Reset();
    DtrFlowCheckLocked();
    return 0;
}

// ---- Output ----------------------------------------------------------------------------------

int TSxBaseDispatcher::OutUsedLocked() const {
    if (outFull_) return static_cast<int>(out_.size());
    if (out_.empty()) return 0;
    return static_cast<int>((outHead_ + out_.size() - outTail_) % out_.size());
}

int TSxBaseDispatcher::PutChar(uint8_t c) { return PutBlock(&c, 1); }

int TSxBaseDispatcher::PutBlock(const void* data, int length) {
    if (!open_) return ecCommNotOpen;
    if (length <= 0) return 0;
    if (deviceLost_) return ecPutBlockFail;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!deviceOpen_) return ecCommNotOpen;
        errorBits_ |= device_->TakeErrors();
    }
    {
        std::lock_guard<std::mutex> g(outLock_);
        const size_t size = out_.size();
        const size_t used = static_cast<size_t>(OutUsedLocked());
        if (static_cast<size_t>(length) > size - used) return ecOutputBufferTooSmall;
        const auto* p = static_cast<const uint8_t*>(data);
        const size_t first = std::min(static_cast<size_t>(length), size - outHead_);
        std::copy(p, p + first, out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
        std::copy(p + first, p + length, out_.begin());
        outHead_ = (outHead_ + static_cast<size_t>(length)) % size;
        if (used + static_cast<size_t>(length) == size) outFull_ = true;
        outputQueued_ = true;
        outputReady_ = true;
    }
    outCv_.notify_all();
    PokeForOutput();
    return 0;
}

int TSxBaseDispatcher::OutputUsed() {
    std::lock_guard<std::mutex> g(outLock_);
    return OutUsedLocked();
}

int TSxBaseDispatcher::WriteOutput() {
    if (liveThreads_.load() > 0) return 0;
    std::lock_guard<std::mutex> g(outLock_);
    if (!device_ || !open_) return 0;
    int total = 0;
    while (outFull_ || outHead_ != outTail_) {
        const size_t end = (outHead_ > outTail_) ? outHead_ : out_.size();
        const size_t n = end - outTail_;
        const int w = device_->Write(out_.data() + outTail_, static_cast<int>(n));
        // A failed write drops its chunk, as on the output thread.
        const size_t done = w < 0 ? n : static_cast<size_t>(w);
        if (done == 0) break;
        outTail_ = (outTail_ + done) % out_.size();
        outFull_ = false;
        everWritten_ = true;
        if (w > 0) total += w;
    }
    return total;
}

int TSxBaseDispatcher::OutputFree() {
    std::lock_guard<std::mutex> g(outLock_);
    return static_cast<int>(out_.size()) - OutUsedLocked();
}

int TSxBaseDispatcher::ClearOutput() {
    {
        std::unique_lock<std::mutex> lk(outLock_);
        if (liveThreads_.load() > 0 && !OnOwnThreadIs(outId_) && !kill_) {
            // The output thread empties the ring when it acknowledges, between two writes.
            const uint64_t target = ++flushRequests_;
            if (device_) device_->CancelWrite();
            outCv_.notify_all();
            outCv_.wait_for(lk, FlushAckTimeout, [&] { return flushAcks_ >= target || kill_.load(); });
        } else if (!outWriting_) {
            outHead_ = outTail_ = 0;
            outFull_ = false;
        }
    }
    outCv_.notify_all();
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) device_->PurgeOutput();
    return 0;
}

bool TSxBaseDispatcher::OnOwnThreadIs(const std::thread::id& id) const {
    std::lock_guard<std::mutex> g(threadIdsLock_);
    return id == std::this_thread::get_id();
}

// ---- Status ----------------------------------------------------------------------------------

uint8_t TSxBaseDispatcher::ModemStatus(uint8_t clearMask) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_) return 0;
    RefreshModemLocked();
    const uint8_t result = modemStatus_;
    modemStatus_ &= static_cast<uint8_t>(~(clearMask & 0x0F));
    return result;
}

bool TSxBaseDispatcher::CTS() { return (ModemStatus(msDeltaCTS) & msCTS) != 0; }
bool TSxBaseDispatcher::DSR() { return (ModemStatus(msDeltaDSR) & msDSR) != 0; }
bool TSxBaseDispatcher::DCD() { return (ModemStatus(msDeltaDCD) & msDCD) != 0; }
bool TSxBaseDispatcher::Ring() { return (ModemStatus(msRingChange) & msRingChange) != 0; }

int TSxBaseDispatcher::LineError() {
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) errorBits_ |= device_->TakeErrors();
    int code = 0;
    if (errorBits_ & leOverflow)
        code = 1;
    else if (errorBits_ & leOverrun)
        code = 2;
    else if (errorBits_ & leParity)
        code = 3;
    else if (errorBits_ & leFraming)
        code = 4;
    else if (errorBits_ & leBreak)
        return 9;
    if (code) errorBits_ &= static_cast<uint8_t>(~0x0F);
    return code;
}

bool TSxBaseDispatcher::LineBreak() {
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) errorBits_ |= device_->TakeErrors();
    const bool b = (errorBits_ & leBreak) != 0;
    errorBits_ &= static_cast<uint8_t>(~leBreak);
    return b;
}

uint8_t TSxBaseDispatcher::LineErrorBits() const {
    std::lock_guard<std::mutex> g(lock_);
    return errorBits_;
}

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

// ---- Handlers --------------------------------------------------------------------------------

void TSxBaseDispatcher::RecomputeServiceLocked() {
    size_t windows = 0;
    for (const auto& w : windows_) windows += w.Deleted ? 0 : 1;
    bool any = windows > 0 && (windows > 1 || portHandlers_);
    for (const auto& e : events_) any = any || !e.Deleted;
    for (const auto& p : procs_) any = any || !p.Deleted;
    serviceNeeded_ = any;
}

void TSxBaseDispatcher::PurgeMarkedHandlersLocked() {
    auto purge = [](auto& list) {
        list.erase(std::remove_if(list.begin(), list.end(), [](const auto& x) { return x.Deleted; }), list.end());
    };
    purge(windows_);
    purge(procs_);
    purge(events_);
    handlersChanged_ = false;
}

int TSxBaseDispatcher::AddWindowHandler(ISxWindow* window) {
    if (!window) return ecBadArgument;
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& w : windows_)
        if (w.Window == window && !w.Deleted) return 0;
    windows_.push_back({window});
    RecomputeServiceLocked();
    return 0;
}

int TSxBaseDispatcher::RemoveWindowHandler(ISxWindow* window) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(windows_.begin(), windows_.end(),
                           [&](const WindowEntry& w) { return w.Window == window && !w.Deleted; });
    if (it == windows_.end()) return ecBadArgument;
    if (delivering_) {
        it->Deleted = true;
        handlersChanged_ = true;
    } else {
        windows_.erase(it);
    }
    RecomputeServiceLocked();
    return 0;
}

int TSxBaseDispatcher::AddProcedureHandler(TSxProcedureHandler handler) {
    if (!handler) return ecBadArgument;
    std::lock_guard<std::mutex> g(lock_);
    const int id = nextHandlerId_++;
    procs_.push_back({id, std::move(handler)});
    RecomputeServiceLocked();
    return id;
}

int TSxBaseDispatcher::RemoveProcedureHandler(int id) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(procs_.begin(), procs_.end(), [&](const ProcEntry& p) { return p.Id == id && !p.Deleted; });
    if (it == procs_.end()) return ecBadArgument;
    if (delivering_) {
        it->Deleted = true;
        handlersChanged_ = true;
    } else {
        procs_.erase(it);
    }
    RecomputeServiceLocked();
    return 0;
}

int TSxBaseDispatcher::AddEventHandler(TSxEventHandler handler, void* userData, bool synchronize) {
    if (!handler) return ecBadArgument;
    std::lock_guard<std::mutex> g(lock_);
    const int id = nextHandlerId_++;
    events_.push_back({id, std::move(handler), userData, synchronize});
    RecomputeServiceLocked();
    return id;
}

int TSxBaseDispatcher::RemoveEventHandler(int id) {
    std::lock_guard<std::mutex> g(lock_);
    auto it =
        std::find_if(events_.begin(), events_.end(), [&](const EventEntry& e) { return e.Id == id && !e.Deleted; });
    if (it == events_.end()) return ecBadArgument;
    if (delivering_) {
        it->Deleted = true;
        handlersChanged_ = true;
    } else {
        events_.erase(it);
    }
    RecomputeServiceLocked();
    return 0;
}

void TSxBaseDispatcher::NotePortHandlers(int mode) {
    std::lock_guard<std::mutex> g(lock_);
    if (mode == 1) portHandlers_ = true;
    if (mode == 2) portHandlers_ = false;
    RecomputeServiceLocked();
}

int TSxBaseDispatcher::Attach(int slot, void* object) {
    if (slot < 1 || slot > 3) return ecBadArgument;
    std::lock_guard<std::mutex> g(lock_);
    attachments_[slot - 1] = object;
    return 0;
}

void* TSxBaseDispatcher::Attachment(int slot) const {
    if (slot < 1 || slot > 3) return nullptr;
    std::lock_guard<std::mutex> g(lock_);
    return attachments_[slot - 1];
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
