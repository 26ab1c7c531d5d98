// How late the program's timers fire on this machine: the Qt timer adapter (the link's step and answer
// timers, the console's Timer1) and the dispatcher's timer triggers (the modem engine's, in 55 ms
// ticks). Prints min / median / max lateness over a few hundred firings each, and how many fired
// early (always 0 unless something is broken). A bare coarse QTimer is shown beside them for comparison.
//
//   timer_spread [--firings N]   (default 200 per timer; about a minute in all)

#include "platform/qt/QtTime.h"
#include "platform/QueueHandoff.h"
#include "serial/core/SxDispatcher.h"
#include "serial/device/SxSimLine.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Series {
    std::string Name;
    double IntervalMs = 0;
    std::vector<double> Lateness; // measured period minus interval, ms

    void Print() const {
        std::vector<double> v = Lateness;
        std::sort(v.begin(), v.end());
        const size_t early = static_cast<size_t>(std::count_if(v.begin(), v.end(), [](double x) { return x < 0; }));
        if (v.empty()) {
            std::printf("%-38s no firings\n", Name.c_str());
            return;
        }
        std::printf("%-38s %5zu  %8.3f  %8.3f  %8.3f  %5zu\n", Name.c_str(), v.size(), v.front(), v[v.size() / 2],
                    v.back(), early);
    }
};

// Periodic Qt-adapter timers, all running at once on the GUI thread.
void QtAdapter(std::vector<Series>& out, size_t firings) {
    plat::QtTimerService service;
    struct Run {
        std::unique_ptr<plat::ITimer> Timer;
        Series S;
        Clock::time_point Mark;
    };
    std::vector<std::unique_ptr<Run>> runs;
    for (int ms : {20, 55, 100, 200}) {
        auto r = std::make_unique<Run>();
        r->S.Name = "Qt adapter, periodic " + std::to_string(ms) + " ms";
        r->S.IntervalMs = ms;
        r->Timer = service.CreateTimer();
        Run* raw = r.get();
        const size_t want = ms >= 200 ? firings / 2 : firings;
        r->Timer->SetOnTimer([raw, want] {
            const auto now = Clock::now();
            raw->S.Lateness.push_back(Ms(now - raw->Mark) - raw->S.IntervalMs);
            raw->Mark = now;
            if (raw->S.Lateness.size() >= want) raw->Timer->SetEnabled(false);
        });
        r->Timer->SetInterval(ms);
        r->Mark = Clock::now();
        r->Timer->SetEnabled(true);
        runs.push_back(std::move(r));
    }
    // The link's pattern: disabled in its handler and armed again (1000 ms receive window shortened to
    // 250 ms here so the run stays short; the adapter does not care about the size).
    auto oneShot = std::make_unique<Run>();
    oneShot->S.Name = "Qt adapter, re-armed 250 ms";
    oneShot->S.IntervalMs = 250;
    oneShot->Timer = service.CreateTimer();
    {
        Run* raw = oneShot.get();
        const size_t want = firings / 4;
        raw->Timer->SetOnTimer([raw, want] {
            raw->S.Lateness.push_back(Ms(Clock::now() - raw->Mark) - raw->S.IntervalMs);
            raw->Timer->SetEnabled(false);
            if (raw->S.Lateness.size() < want) {
                raw->Mark = Clock::now();
                raw->Timer->SetEnabled(true);
            }
        });
        raw->Timer->SetInterval(250);
        raw->Mark = Clock::now();
        raw->Timer->SetEnabled(true);
    }
    // For comparison: a bare QTimer with its default (coarse) type.
    Series coarse;
    coarse.Name = "bare QTimer (coarse), 100 ms";
    coarse.IntervalMs = 100;
    QTimer bare;
    Clock::time_point bareMark = Clock::now();
    QObject::connect(&bare, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        coarse.Lateness.push_back(Ms(now - bareMark) - 100);
        bareMark = now;
        if (coarse.Lateness.size() >= firings) bare.stop();
    });
    bare.start(100);

    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        bool done = !bare.isActive() && !oneShot->Timer->Enabled();
        for (auto& r : runs) done = done && !r->Timer->Enabled();
        if (done) QCoreApplication::quit();
    });
    check.start(10);
    QCoreApplication::exec();
    for (auto& r : runs) out.push_back(r->S);
    out.push_back(oneShot->S);
    out.push_back(coarse);
}

// The dispatcher's timer triggers over the simulated line, re-armed by the handler as the modem
// engine does, and armed from another thread at arbitrary points within a tick.
void DispatcherTicks(std::vector<Series>& out, size_t firings) {
    plat::QueueHandoff gui;
    auto line = sx::TSxSimLine::Get("timer-spread");
    line->Plug();
    sx::TSxBaseDispatcher d(nullptr, &gui);
    if (d.Open("sim:timer-spread", 19200, 0, 8, 1, 4096, 4096, true, true) != 0) {
        std::fprintf(stderr, "cannot open the simulated line\n");
        return;
    }
    const int32_t timer = d.NewTimerTrigger();
    std::mutex m;
    std::condition_variable cv;
    Series s;
    int32_t ticks = 1;
    size_t want = 0;
    Clock::time_point mark;
    bool rearm = true;
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg != sx::smTimer || first != static_cast<uint32_t>(timer)) return;
        std::lock_guard<std::mutex> g(m);
        s.Lateness.push_back(Ms(Clock::now() - mark) - s.IntervalMs);
        if (rearm && s.Lateness.size() < want) {
            mark = Clock::now();
            d.ArmTimerTrigger(timer, ticks, true);
        }
        cv.notify_all();
    });
    for (int32_t n : {1, 3}) {
        for (bool fromHandler : {true, false}) {
            {
                std::lock_guard<std::mutex> g(m);
                s = Series{};
                s.Name = "dispatcher, " + std::to_string(n) + " tick" + (n > 1 ? "s" : "") +
                         (fromHandler ? ", re-armed in handler" : ", armed from outside");
                s.IntervalMs = n * 55.0;
                ticks = n;
                want = firings / (n > 1 ? 2 : 1);
                rearm = fromHandler;
            }
            for (size_t k = 0; k < (fromHandler ? 1 : want); ++k) {
                {
                    std::lock_guard<std::mutex> g(m);
                    mark = Clock::now();
                }
                d.ArmTimerTrigger(timer, n, true);
                std::unique_lock<std::mutex> lk(m);
                const size_t target = fromHandler ? want : k + 1;
                cv.wait_for(lk, std::chrono::seconds(60), [&] { return s.Lateness.size() >= target; });
                if (!fromHandler) {
                    // Start the next one somewhere else within a tick.
                    lk.unlock();
                    std::this_thread::sleep_for(std::chrono::microseconds(((k * 7919) % 55) * 1000 + 300));
                }
            }
            std::lock_guard<std::mutex> g(m);
            out.push_back(s);
        }
    }
    d.Close();
}

} // namespace

int main(int argc, char** argv) {
    size_t firings = 200;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--firings") == 0) firings = static_cast<size_t>(std::max(4, std::atoi(argv[i + 1])));
    QCoreApplication app(argc, argv);
    std::vector<Series> results;
    QtAdapter(results, firings);
    DispatcherTicks(results, firings);
    std::printf("%-38s %5s  %8s  %8s  %8s  %5s\n", "lateness (ms)", "n", "min", "median", "max", "early");
    for (const auto& s : results) s.Print();
    return 0;
}
