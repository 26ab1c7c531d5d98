#include "platform/qt/QtTime.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace plat {
namespace {

// A precise single-shot QTimer re-armed for each period. A coarse QTimer may fire up to 5 % early
// and even a precise one may come a fraction of a millisecond before its time; a timeout that comes
// before the period is over re-arms for the rest, so OnTimer never runs before Interval ms have
// passed since the timer was started or last fired.
class QtTimer : public ITimer {
public:
    QtTimer() {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { OnTimeout(); });
        clock_.start();
    }
    void SetInterval(int ms) override {
        if (ms == interval_) return;
        interval_ = ms;
        Apply();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        Apply();
    }
    bool Enabled() const override { return enabled_; }
    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    static constexpr qint64 NsPerMs = 1000000;

    void Apply() {
        timer_.stop();
        if (enabled_ && interval_ > 0) {
            dueNs_ = clock_.nsecsElapsed() + interval_ * NsPerMs;
            Arm();
        }
    }
    // Starts the single shot for the time left until dueNs_, rounded up to whole milliseconds.
    void Arm() {
        const qint64 left = dueNs_ - clock_.nsecsElapsed();
        timer_.start(static_cast<int>(left <= 0 ? 0 : (left + NsPerMs - 1) / NsPerMs));
    }
    void OnTimeout() {
        if (!enabled_ || interval_ <= 0) return;
        const qint64 now = clock_.nsecsElapsed();
        if (now < dueNs_) {
            Arm(); // early: wait for the rest
            return;
        }
        // The next period counts from this firing, so no period is shorter than the interval. It is
        // armed before the handler runs: the handler may change the timer or destroy it.
        dueNs_ = now + interval_ * NsPerMs;
        Arm();
        if (handler_) {
            auto handler = handler_; // the handler may replace itself or destroy this timer
            handler();
        }
    }

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 dueNs_ = 0;
    int interval_ = 1000;
    bool enabled_ = false;
    std::function<void()> handler_;
};

struct HandoffJob {
    std::function<void()> fn;
    std::mutex m;
    std::condition_variable cv;
    bool started = false, done = false, dropped = false;
};

} // namespace

QtTimerService::QtTimerService() { elapsed_.start(); }
int64_t QtTimerService::NowMs() const { return elapsed_.elapsed(); }
std::unique_ptr<ITimer> QtTimerService::CreateTimer() { return std::make_unique<QtTimer>(); }

QtTimerService& QtTimerService::Instance() {
    static QtTimerService instance;
    return instance;
}

bool QtGuiHandoff::RunOnGuiThread(std::function<void()> job, int timeoutMs) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    if (QThread::currentThread() == app->thread()) {
        job();
        return true;
    }
    auto j = std::make_shared<HandoffJob>();
    j->fn = std::move(job);
    QMetaObject::invokeMethod(
        app,
        [j] {
            {
                std::lock_guard<std::mutex> lock(j->m);
                if (j->dropped) return;
                j->started = true;
            }
            j->fn();
            {
                std::lock_guard<std::mutex> lock(j->m);
                j->done = true;
            }
            j->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(j->m);
    if (j->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return j->done; })) return true;
    if (!j->started) j->dropped = true;
    return false;
}

void QtGuiHandoff::PostToGuiThread(std::function<void()> job) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

QtGuiHandoff& QtGuiHandoff::Instance() {
    static QtGuiHandoff instance;
    return instance;
}

} // namespace plat
