// The dispatcher's lifecycle: the process-wide table of dispatchers, open, close and the end of the
// threads, and what happens when the device goes away. The port opens and closes through these;
// the other SxDispatcher*.cpp files hold the rest of the class.

#include "serial/core/SxDispatcher.h"

#include "platform/Clock.h"
#include "platform/GuiHandoff.h"
#include "serial/core/SxDispatcherPrivate.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

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

} // namespace sx
