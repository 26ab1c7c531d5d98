#pragma once
// Free notification: objects that keep a reference to a component (a light, a port) learn that it
// is being destroyed and let go of it, as components on one form do.

#include <algorithm>
#include <vector>

namespace sx {

class TSxFreeNotifier;

// Told when a component it registered with is being destroyed.
class ISxFreeListener {
public:
    virtual ~ISxFreeListener() = default;
    // freed is still whole while this runs (its own destructor calls NotifyFree first).
    virtual void FreeNotification(TSxFreeNotifier& freed) = 0;
};

class TSxFreeNotifier {
public:
    TSxFreeNotifier() = default;
    TSxFreeNotifier(const TSxFreeNotifier&) = delete;
    TSxFreeNotifier& operator=(const TSxFreeNotifier&) = delete;
    virtual ~TSxFreeNotifier() { NotifyFree(); }

    // A listener is registered once however often it is added.
    void AddFreeListener(ISxFreeListener* listener) {
        if (listener &&
            std::find(freeListeners_.begin(), freeListeners_.end(), listener) == freeListeners_.end())
            freeListeners_.push_back(listener);
    }
    void RemoveFreeListener(ISxFreeListener* listener) { std::erase(freeListeners_, listener); }

protected:
    // Tells every listener once. A derived class calls it first in its destructor, while the whole
    // object can still be used; listeners may remove themselves (or others) while being told.
    void NotifyFree() {
        while (!freeListeners_.empty()) {
            ISxFreeListener* l = freeListeners_.back();
            freeListeners_.pop_back();
            l->FreeNotification(*this);
        }
    }

private:
    std::vector<ISxFreeListener*> freeListeners_;
};

} // namespace sx
