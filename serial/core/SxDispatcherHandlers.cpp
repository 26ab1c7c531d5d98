// The handler lists (window, procedure and event handlers; removal during a delivery only marks) and the
// attachment slots. The port registers its window here, the modem engine its procedure and slot 3.

#include "serial/core/SxDispatcher.h"

#include "serial/errors/SxErrors.h"

#include <algorithm>

namespace sx {

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

} // namespace sx
