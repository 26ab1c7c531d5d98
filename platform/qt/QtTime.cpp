#include "platform/qt/QtTime.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace plat {
namespace {

class QtTimer : public ITimer {
public:
    QtTimer() {
        timer_.setInterval(interval_);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (handler_) {
                auto handler = handler_; // the handler may replace itself or destroy this timer
                handler();
            }
        });
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
    void Apply() {
        timer_.stop();
        if (enabled_ && interval_ > 0) {
            timer_.setInterval(interval_);
            timer_.start();
        }
    }
    QTimer timer_;
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
