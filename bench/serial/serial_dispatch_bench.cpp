// The dispatcher over a pseudo-terminal pair, the kernel's tty path.
//   Throughput: the peer streams bytes in while eight data triggers are armed; an avail handler on
//     the dispatch thread takes every byte. Reports MB/s and the process's CPU seconds per MB (the
//     peer's writing included).
//   Latency: from the peer's write of one byte to the avail event on the stand-in GUI thread;
//     median and 99th percentile in microseconds.
//   Idle wake-ups: context switches per second of the whole process with the port open and idle.
#include "platform/QueueHandoff.h"
#include "serial/core/SxDispatcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace sx;

namespace {

struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        slave = ::ptsname(master);
    }
    ~Pty() { ::close(master); }
    int master;
    std::string slave;
};

double ProcessCpuSeconds() {
    timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long ContextSwitches() {
    rusage ru;
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

void BM_ThroughputEightTriggers(benchmark::State& state) {
    Pty pty;
    plat::QueueHandoff gui;
    std::atomic<size_t> got{0};
    TSxBaseDispatcher d(nullptr, &gui);
    if (d.Open(pty.slave, 115200, 0, 8, 1, 4096, 4096, true, true) != 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    for (const char* t : {"OK", "ERROR", "CONNECT", "RING", "NO CARRIER", "BUSY", "\r\n", "\x10\x02"})
        d.NewDataTrigger(t, true);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg != smAvail) return;
        uint8_t c;
        size_t n = 0;
        while (n < first && d.GetChar(c) == 0) ++n;
        got += n;
    });
    d.SetAvailLevel(1);
    const size_t total = static_cast<size_t>(state.range(0)) << 20;
    std::string data(total, '\0');
    for (size_t i = 0; i < total; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    double cpu = 0;
    for (auto _ : state) {
        got = 0;
        const double cpu0 = ProcessCpuSeconds();
        std::thread writer([&] {
            for (size_t pos = 0; pos < total;) {
                const ssize_t w = ::write(pty.master, data.data() + pos, std::min<size_t>(4096, total - pos));
                if (w > 0) pos += static_cast<size_t>(w);
            }
        });
        while (got.load() < total) std::this_thread::sleep_for(std::chrono::microseconds(200));
        writer.join();
        cpu += ProcessCpuSeconds() - cpu0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["cpu_s_per_MB"] =
        cpu / (static_cast<double>(state.iterations()) * static_cast<double>(total) / (1 << 20));
}
BENCHMARK(BM_ThroughputEightTriggers)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

class AvailWindow : public ISxWindow {
public:
    void HandleMessage(uint16_t msg, uint32_t, uint32_t) override {
        if (msg != smAvail) return;
        uint8_t c;
        while (Port->GetChar(c) == 0) {
        }
        Arrived = std::chrono::steady_clock::now();
        ++Count;
    }
    TSxBaseDispatcher* Port = nullptr;
    std::chrono::steady_clock::time_point Arrived;
    int Count = 0;
};

void BM_LatencyToGuiThread(benchmark::State& state) {
    Pty pty;
    plat::QueueHandoff gui;
    AvailWindow w;
    TSxBaseDispatcher d(nullptr, &gui);
    if (d.Open(pty.slave, 115200, 0, 8, 1, 4096, 4096, true, true) != 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    w.Port = &d;
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    d.SetAvailLevel(1);
    std::vector<double> us;
    for (auto _ : state) {
        const int before = w.Count;
        const auto sent = std::chrono::steady_clock::now();
        const char b = 'x';
        if (::write(pty.master, &b, 1) != 1) state.SkipWithError("write failed");
        gui.PumpUntil([&] { return w.Count > before; }, 5000);
        us.push_back(std::chrono::duration<double, std::micro>(w.Arrived - sent).count());
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    }
}
BENCHMARK(BM_LatencyToGuiThread)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_IdleWakeups(benchmark::State& state) {
    Pty pty;
    plat::QueueHandoff gui;
    TSxBaseDispatcher d(nullptr, &gui);
    if (d.Open(pty.slave, 115200, 0, 8, 1, 4096, 4096, true, true) != 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    d.SetAvailLevel(1);
    d.AddProcedureHandler([](uint16_t, uint32_t, uint32_t) {});
    long switches = 0;
    double seconds = 0;
    for (auto _ : state) {
        const long s0 = ContextSwitches();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the measurement: nothing happens
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        switches += ContextSwitches() - s0;
    }
    // The measuring thread's own sleep accounts for one switch per iteration.
    state.counters["wakeups_per_s"] = static_cast<double>(switches - state.iterations()) / seconds;
}
BENCHMARK(BM_IdleWakeups)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
