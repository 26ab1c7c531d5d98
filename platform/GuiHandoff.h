#pragma once
// Hand-off of work from a worker thread to the GUI thread.

#include <functional>

namespace plat {

class IGuiHandoff {
public:
    virtual ~IGuiHandoff() = default;
    // Runs job on the GUI thread and waits until it has run, at most timeoutMs. Called on the GUI
    // thread itself, the job runs at once. Returns false when the time ran out; a job that has not
    // started by then is dropped, one that has started runs to its end (so whatever it captures
    // must stay valid: capture shared ownership, not raw pointers to the caller's stack).
    virtual bool RunOnGuiThread(std::function<void()> job, int timeoutMs) = 0;
    // Queues job for the GUI thread and returns at once.
    virtual void PostToGuiThread(std::function<void()> job) = 0;
};

} // namespace plat
