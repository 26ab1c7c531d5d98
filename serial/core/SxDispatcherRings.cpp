// The input ring as readers see it (GetChar, GetBlock, PeekChar, flushes) and the output ring that
// PutBlock fills and the output thread empties. The port and the modem engine call these.

#include "serial/core/SxDispatcher.h"

#include "serial/core/SxDispatcherPrivate.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <cstring>

namespace sx {

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

} // namespace sx
