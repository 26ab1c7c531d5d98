// The thread of a simulated peer's host: what a wait brings, and the start and stop around it.

#include "serial/device/SxSimHostThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace sx;

namespace {

void Feed(TSxSimHostThread& t, size_t n) {
    const std::vector<uint8_t> bytes(n, 'x');
    t.Feed(bytes.data(), bytes.size());
}

} // namespace

TEST(SxSimHostThread, AWaitBringsTheHeldInputAndALineDropEvenWhenTheLineCameBack) {
    TSxSimHostThread t;
    Feed(t, TSxSimHostThread::MaxQueued - 3);
    Feed(t, 10); // only 3 fit
    TSxSimHostThread::TWake w = t.Wait(-1);
    EXPECT_EQ(w.Input.Bytes().size(), TSxSimHostThread::MaxQueued);
    EXPECT_FALSE(w.LineDown);
    EXPECT_FALSE(w.Stop);

    t.NoteChange(true);
    t.NoteChange(false); // DTR back on before the host looked
    w = t.Wait(-1);
    EXPECT_TRUE(w.LineDown);
    EXPECT_TRUE(w.Input.Empty());
    t.NoteChange(false);
    EXPECT_FALSE(t.Wait(-1).LineDown);

    // Nothing pending and the due time passed: back at once with nothing.
    w = t.Wait(0);
    EXPECT_TRUE(w.Input.Empty());
    EXPECT_FALSE(w.LineDown || w.Stop);
}

TEST(SxSimHostThread, TheThreadLooksOnceAtStartAndOnceMoreAtStop) {
    TSxSimHostThread t;
    std::mutex m;
    std::condition_variable cv;
    int looks = 0, afterStops = 0;
    bool lastSawStop = false;
    auto run = [&] {
        for (;;) {
            const TSxSimHostThread::TWake w = t.Wait(-1); // no due time: only Start and Stop wake it
            {
                std::lock_guard<std::mutex> g(m);
                ++looks;
                lastSawStop = w.Stop;
            }
            cv.notify_all();
            if (w.Stop) return;
        }
    };
    for (int round = 1; round <= 2; ++round) {
        t.Start(run);
        {
            std::unique_lock<std::mutex> lk(m);
            ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(20), [&] { return looks == 2 * round - 1; }));
            EXPECT_FALSE(lastSawStop);
        }
        t.Stop([&] { ++afterStops; });
        EXPECT_EQ(looks, 2 * round);
        EXPECT_TRUE(lastSawStop);
    }
    t.Stop([&] { ++afterStops; }); // no thread: nothing to run after
    EXPECT_EQ(afterStops, 2);
}
