#include "platform/QueueHandoff.h"
#include "platform/VirtualTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using plat::VirtualTime;

TEST(VirtualTime, PeriodicTimerFiresAtEachIntervalAndStopsWhenDisabled) {
    VirtualTime vt;
    auto t = vt.CreateTimer();
    std::vector<int64_t> fired;
    t->SetOnTimer([&] { fired.push_back(vt.NowMs()); });
    t->SetInterval(100);
    t->SetEnabled(true);
    vt.Advance(350);
    EXPECT_EQ(fired, (std::vector<int64_t>{100, 200, 300}));
    t->SetEnabled(false);
    vt.Advance(1000);
    EXPECT_EQ(fired.size(), 3u);
}

TEST(VirtualTime, OnlyARealChangeRestartsTheCountdown) {
    VirtualTime vt;
    auto t = vt.CreateTimer();
    int count = 0;
    t->SetOnTimer([&] { ++count; });
    t->SetInterval(200);
    t->SetEnabled(true);
    vt.Advance(150);
    t->SetInterval(200); // same value: the countdown goes on
    t->SetEnabled(true);
    vt.Advance(50);
    EXPECT_EQ(count, 1);
    vt.Advance(150);
    t->SetInterval(100); // a new interval restarts from now
    vt.Advance(99);
    EXPECT_EQ(count, 1);
    vt.Advance(1);
    EXPECT_EQ(count, 2);
}

TEST(VirtualTime, HandlerMayDisableOrDestroyItsOwnTimer) {
    VirtualTime vt;
    auto a = vt.CreateTimer();
    auto b = vt.CreateTimer();
    int aCount = 0, bCount = 0;
    a->SetOnTimer([&] { ++aCount; a->SetEnabled(false); });
    b->SetOnTimer([&] { ++bCount; b.reset(); });
    a->SetInterval(10);
    b->SetInterval(10);
    a->SetEnabled(true);
    b->SetEnabled(true);
    vt.Advance(100);
    EXPECT_EQ(aCount, 1);
    EXPECT_EQ(bCount, 1);
    EXPECT_EQ(vt.NextDueIn(), -1);
}

TEST(QueueHandoff, JobRunsOnTheOwningThreadAndTheSenderWaitsForIt) {
    plat::QueueHandoff handoff;
    std::thread::id ranOn;
    std::atomic<bool> answered{false};
    std::thread worker([&] {
        EXPECT_TRUE(handoff.RunOnGuiThread([&] { ranOn = std::this_thread::get_id(); }, 3000));
        answered = true;
    });
    EXPECT_TRUE(handoff.PumpUntil([&] { return answered.load(); }, 10000));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(QueueHandoff, AJobNotStartedBeforeTheTimeoutIsDropped) {
    plat::QueueHandoff handoff;
    bool ran = false;
    std::thread worker([&] { EXPECT_FALSE(handoff.RunOnGuiThread([&] { ran = true; }, 20)); });
    worker.join();
    handoff.Pump();
    EXPECT_FALSE(ran);
}
