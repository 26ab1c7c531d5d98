// Delivery of one trigger message to the event, procedure and window handlers, the settling of an avail
// notification's bytes, and the guard that keeps a handler's exception from ending the thread. The
// round and a run on the GUI thread deliver through DispatchTrigger.

#include "serial/core/SxDispatcher.h"

#include "platform/GuiHandoff.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <stdexcept>

namespace sx {

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

} // namespace sx
