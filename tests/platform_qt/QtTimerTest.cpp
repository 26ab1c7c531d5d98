// The Qt timer adapter against the real clock. Timers may fire late (the machine is busy), never
// early: every assertion here is a lower bound.

#include "platform/qt/QtTime.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "platform_qt_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until done() holds; a generous guard ends a hang (not a timing assertion).
bool RunUntil(const std::function<bool()>& done, int guardMs = 20000) {
    App();
    QEventLoop loop;
    QTimer check, guard;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    QObject::connect(&guard, &QTimer::timeout, [&] { loop.quit(); });
    check.start(1);
    guard.setSingleShot(true);
    guard.start(guardMs);
    if (!done()) loop.exec();
    return done();
}

// A periodic timer that records when it fired, measured from just before it was started. The k-th
// firing (from 1) may come no sooner than k intervals after the start: each period counts from the
// firing before it.
struct Probe {
    std::unique_ptr<plat::ITimer> Timer;
    int IntervalMs = 0;
    Clock::time_point Start;
    std::vector<double> Firings;
};

} // namespace

// Several periodic timers at once, from 1 ms to a protocol-sized 250 ms: none fires before its time.
TEST(QtTimers, PeriodicTimersNeverFireBeforeTheirInterval) {
    App();
    plat::QtTimerService service;
    constexpr size_t Firings = 6;
    std::vector<std::unique_ptr<Probe>> probes;
    for (int ms : {1, 7, 20, 55, 100, 250}) {
        auto p = std::make_unique<Probe>();
        p->IntervalMs = ms;
        p->Timer = service.CreateTimer();
        Probe* raw = p.get();
        p->Timer->SetOnTimer([raw] {
            raw->Firings.push_back(MsSince(raw->Start));
            if (raw->Firings.size() == Firings) raw->Timer->SetEnabled(false);
        });
        p->Timer->SetInterval(ms);
        p->Start = Clock::now();
        p->Timer->SetEnabled(true);
        probes.push_back(std::move(p));
    }
    ASSERT_TRUE(RunUntil([&] {
        for (const auto& p : probes)
            if (p->Firings.size() < Firings) return false;
        return true;
    }));
    for (const auto& p : probes) {
        SCOPED_TRACE(testing::Message() << p->IntervalMs << " ms");
        EXPECT_EQ(p->Firings.size(), Firings) << "a disabled timer fired again";
        for (size_t k = 0; k < p->Firings.size(); ++k)
            EXPECT_GE(p->Firings[k], static_cast<double>((k + 1) * static_cast<size_t>(p->IntervalMs))) << "firing " << k + 1;
    }
}

// The link's way of using its step timer: the handler disables the timer and arms it again with another
// interval; a change of interval while running restarts the countdown from the change.
TEST(QtTimers, RearmingAndChangingTheIntervalCountFromTheChange) {
    App();
    plat::QtTimerService service;
    auto timer = service.CreateTimer();
    const std::vector<int> steps = {200, 50, 100, 1000, 30};
    size_t step = 0;
    Clock::time_point mark;
    std::vector<double> took;
    timer->SetOnTimer([&] {
        took.push_back(MsSince(mark));
        timer->SetEnabled(false);
        if (++step < steps.size()) {
            timer->SetInterval(steps[step]);
            mark = Clock::now();
            timer->SetEnabled(true);
        }
    });
    timer->SetInterval(500);
    timer->SetEnabled(true);
    // Changed before the first 500 ms are up: the countdown starts again with 200 ms.
    QTimer::singleShot(120, [&] {
        mark = Clock::now();
        timer->SetInterval(steps[0]);
    });
    ASSERT_TRUE(RunUntil([&] { return took.size() == steps.size(); }));
    for (size_t i = 0; i < steps.size(); ++i) EXPECT_GE(took[i], steps[i]) << "step " << i;
}
