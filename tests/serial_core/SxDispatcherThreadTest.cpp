// The dispatcher with its threads over the simulated line: data in both directions, triggers,
// modem lines, delivery on the (stand-in) GUI thread, closing during a delivery and unplugging.
#include "SxTestSupport.h"

#include "platform/Clock.h"
#include "platform/QueueHandoff.h"
#include "serial/device/SxSimLine.h"
#include "serial/errors/SxErrors.h"

#include <gtest/gtest.h>

using namespace sx;
using namespace sxtest;

namespace {

constexpr int Deadline = 10000;

// A window whose messages arrive on the test thread while it pumps the hand-off.
class Window : public ISxWindow {
public:
    void HandleMessage(uint16_t msg, uint32_t first, uint32_t second) override {
        Log.Add(msg, first, second);
        if (On) On(msg, first);
    }
    MsgLog Log;
    std::function<void(uint16_t, uint32_t)> On;
};

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

class SimLineDispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        name = std::string("thr-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        line = TSxSimLine::Get(name);
        line->SetLines(msCTS | msDSR); // the far end's lines outlive a test (and its repeats)
        line->Plug();
        line->SetPaced(false);
    }
    int Open(TSxBaseDispatcher& d) { return d.Open("sim:" + name, 19200, 0, 8, 1, 4096, 4096, true, true); }
    std::string ReadAll(TSxBaseDispatcher& d) {
        std::string s;
        uint8_t c;
        while (d.GetChar(c) == 0) s.push_back(static_cast<char>(c));
        return s;
    }

    std::string name;
    std::shared_ptr<TSxSimLine> line;
    plat::QueueHandoff gui;
};

} // namespace

TEST_F(SimLineDispatcher, DataFlowsBothWaysAndAvailArrivesOnTheGuiThread) {
    Window w;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    EXPECT_TRUE(d.ThreadsRunning());
    EXPECT_TRUE(line->NearOpen());
    EXPECT_TRUE(line->DTR());
    std::string received;
    const auto guiThread = std::this_thread::get_id();
    w.On = [&](uint16_t msg, uint32_t) {
        EXPECT_EQ(std::this_thread::get_id(), guiThread);
        if (msg == smAvail) received += ReadAll(d);
    };
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    d.SetAvailLevel(1);
    line->Write("hello, ");
    line->Write("world");
    ASSERT_TRUE(gui.PumpUntil([&] { return received == "hello, world"; }, Deadline)) << received;

    // Output: more than the ring holds at once, each block queued whole.
    const std::string out = Pattern(10000, 7);
    for (size_t pos = 0; pos < out.size();) {
        const int n = static_cast<int>(std::min<size_t>(3000, out.size() - pos));
        ASSERT_TRUE(Eventually([&] { return d.PutBlock(out.data() + pos, n) == 0; }, Deadline));
        pos += static_cast<size_t>(n);
    }
    EXPECT_EQ(line->ReadExactly(out.size(), Deadline), out);

    EXPECT_EQ(d.Close(), 0);
    EXPECT_FALSE(d.ThreadsRunning());
    EXPECT_FALSE(line->NearOpen());
    EXPECT_FALSE(line->DTR());
}

TEST_F(SimLineDispatcher, TriggersReachProcedureHandlersOnTheDispatchThread) {
    MsgLog log; // outlives the dispatcher's threads
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t second) { log.Add(msg, first, second); });
    const int32_t ok = d.NewDataTrigger("OK\r", true);
    const int32_t dcd = d.NewStatusTrigger(stModem);
    const int32_t timer = d.NewTimerTrigger();
    ASSERT_EQ(d.ArmStatusTrigger(dcd, msDCD, true), 0);
    line->Write("AT\rok\r");
    EXPECT_TRUE(log.WaitFor([&](const auto& v) { return !v.empty() && v.back() == Msg{smData, static_cast<uint32_t>(ok), 3}; }, Deadline));
    line->SetLine(msDCD, true);
    EXPECT_TRUE(log.WaitForCode(smStatus, Deadline));
    EXPECT_TRUE(d.DCD());
    // A ring that comes and goes leaves its change bit for the next read.
    line->SetLine(msRI, true);
    line->SetLine(msRI, false);
    EXPECT_TRUE(Eventually([&] { return d.Ring(); }, Deadline));
    ASSERT_EQ(d.ArmTimerTrigger(timer, 2, true), 0);
    EXPECT_TRUE(log.WaitForCode(smTimer, Deadline));
    const auto msgs = log.Snapshot();
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), Msg{smStatus, static_cast<uint32_t>(dcd), 0}), 1);
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), Msg{smTimer, static_cast<uint32_t>(timer), 0}), 1);

    // Our output lines reach the far end.
    EXPECT_EQ(d.SetDTR(false), 0);
    EXPECT_TRUE(line->WaitUntil([&] { return !line->DTR(); }, Deadline));
    EXPECT_EQ(d.SetRTS(false), 0);
    EXPECT_TRUE(line->WaitUntil([&] { return !line->RTS(); }, Deadline));
}

TEST_F(SimLineDispatcher, CloseInsideAWindowHandlerFinishesAfterTheDelivery) {
    auto d = std::make_unique<TSxBaseDispatcher>(nullptr, &gui);
    ASSERT_EQ(Open(*d), 0);
    Window w;
    int closes = 0;
    bool stillDelivering = false;
    w.On = [&](uint16_t msg, uint32_t) {
        if (msg != smAvail || closes++) return;
        EXPECT_EQ(d->Close(), 0);
        stillDelivering = d->Delivering();
        EXPECT_FALSE(d->IsOpen());
    };
    d->AddWindowHandler(&w);
    d->NotePortHandlers(1);
    d->SetAvailLevel(1);
    line->Write("abc");
    ASSERT_TRUE(gui.PumpUntil([&] { return closes > 0 && !d->ThreadsRunning(); }, Deadline));
    EXPECT_TRUE(stillDelivering);
    EXPECT_FALSE(line->NearOpen());
    line->Write("more"); // nothing listens any more
    gui.Pump();
    EXPECT_EQ(w.Log.Snapshot().size(), 1u);
    d.reset();
    // The line can be opened again at once.
    TSxBaseDispatcher again(nullptr, &gui);
    EXPECT_EQ(Open(again), 0);
}

TEST_F(SimLineDispatcher, CloseInsideAProcedureHandlerFinishesOnTheDispatchThread) {
    std::atomic<int> calls{0};
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    d.AddProcedureHandler([&](uint16_t, uint32_t, uint32_t) {
        if (calls++ == 0) d.Close();
    });
    d.SetAvailLevel(1);
    line->Write("x");
    EXPECT_TRUE(Eventually([&] { return calls > 0 && !d.ThreadsRunning(); }, Deadline));
    EXPECT_FALSE(line->NearOpen());
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(d.PutChar('x'), ecCommNotOpen);
}

TEST_F(SimLineDispatcher, OpeningIsExclusive) {
    TSxBaseDispatcher a(nullptr, &gui), b(nullptr, &gui);
    ASSERT_EQ(Open(a), 0);
    EXPECT_EQ(Open(b), ecAlreadyOpen);
    EXPECT_FALSE(b.IsOpen());
    a.Close();
    EXPECT_EQ(Open(b), 0);
}

TEST_F(SimLineDispatcher, UnpluggingClosesThePortOnTheGuiThreadAndReopenWorksOncePluggedIn) {
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    int lost = 0;
    const auto guiThread = std::this_thread::get_id();
    d.SetOnDeviceLost([&] {
        EXPECT_EQ(std::this_thread::get_id(), guiThread);
        ++lost;
        d.Close(); // what the port does, after telling its listeners
    });
    line->Unplug();
    ASSERT_TRUE(gui.PumpUntil([&] { return lost == 1 && !d.ThreadsRunning(); }, Deadline));
    EXPECT_FALSE(d.IsOpen());
    EXPECT_EQ(Open(d), ecBadId);
    line->Plug();
    ASSERT_EQ(Open(d), 0);
    line->Write("back");
    EXPECT_TRUE(Eventually([&] { return d.InputUsed() == 4; }, Deadline));
}

TEST_F(SimLineDispatcher, UnpluggedWithoutAHandlerTheDispatcherClosesItself) {
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    line->Unplug();
    EXPECT_TRUE(gui.PumpUntil([&] { return !d.IsOpen() && !d.ThreadsRunning(); }, Deadline));
    line->Plug();
}

TEST_F(SimLineDispatcher, StartingTwiceIsRefused) {
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    try {
        d.StartThreads();
        FAIL() << "second start accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Dispatcher already started");
    }
}

TEST_F(SimLineDispatcher, PacedLineTakesItsTimeAndAFlushCutsItShort) {
    line->SetPaced(true);
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(d.Open("sim:" + name, 300, 0, 8, 1, 4096, 4096, true, true), 0); // 30 bytes a second
    const std::string block(3000, 'p');
    ASSERT_EQ(d.PutBlock(block.data(), static_cast<int>(block.size())), 0);
    EXPECT_EQ(d.ClearOutput(), 0); // cancels the write in progress
    EXPECT_EQ(d.OutputUsed(), 0);
    EXPECT_EQ(line->Read(4096, 0), "");
    EXPECT_EQ(d.PutBlock("ok", 2), 0);
    EXPECT_EQ(line->ReadExactly(2, Deadline), "ok");
}

TEST_F(SimLineDispatcher, DispatcherTableFindsLiveDispatchersOnly) {
    auto a = std::make_unique<TSxBaseDispatcher>(this, &gui);
    TSxBaseDispatcher b(nullptr, &gui);
    EXPECT_NE(a->Handle(), b.Handle());
    EXPECT_EQ(TSxBaseDispatcher::FindByHandle(a->Handle()), a.get());
    EXPECT_EQ(TSxBaseDispatcher::FindByHandle(a->Handle())->Owner(), this);
    const uint16_t h = a->Handle();
    a.reset();
    EXPECT_NE(TSxBaseDispatcher::FindByHandle(h), &b);
    TSxBaseDispatcher c(nullptr, &gui); // takes the first empty slot
    EXPECT_EQ(c.Handle(), h);
}

TEST_F(SimLineDispatcher, SynchronisedEventHandlersRunOnTheGuiThreadTheOthersOnTheDispatchThread) {
    const auto guiThread = std::this_thread::get_id();
    std::atomic<int> onGui{0}, offGui{0};
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    d.AddEventHandler([&](void*, uint16_t, uint32_t, uint32_t) {
        (std::this_thread::get_id() == guiThread ? onGui : offGui)++;
    }, nullptr, true);
    d.AddEventHandler([&](void*, uint16_t, uint32_t, uint32_t) {
        (std::this_thread::get_id() == guiThread ? onGui : offGui)++;
    }, nullptr, false);
    d.SetAvailLevel(1);
    line->Write("x");
    ASSERT_TRUE(gui.PumpUntil([&] { return onGui + offGui >= 2; }, Deadline));
    EXPECT_EQ(onGui.load(), 1);
    EXPECT_EQ(offGui.load(), 1);
}

TEST_F(SimLineDispatcher, AThrowingHandlerIsReportedAndDeliveryGoesOn) {
    std::vector<std::string> reported;
    const auto guiThread = std::this_thread::get_id();
    std::atomic<int> later{0};
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    d.SetOnException([&](std::exception_ptr e) {
        EXPECT_EQ(std::this_thread::get_id(), guiThread);
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            reported.push_back(x.what());
        }
    });
    d.AddProcedureHandler([](uint16_t, uint32_t, uint32_t) { throw std::runtime_error("handler failed"); });
    d.AddProcedureHandler([&](uint16_t msg, uint32_t, uint32_t) {
        if (msg == smAvail) ++later;
    });
    d.SetAvailLevel(1);
    line->Write("a");
    ASSERT_TRUE(gui.PumpUntil([&] { return later == 1 && reported.size() == 1; }, Deadline));
    EXPECT_EQ(reported[0], "handler failed");
    line->Write("b"); // the dispatch thread lives on
    EXPECT_TRUE(gui.PumpUntil([&] { return later == 2; }, Deadline));
}

TEST_F(SimLineDispatcher, AWindowThatDoesNotAnswerIsSkippedAfterItsTimeout) {
    MsgLog log;
    Window w;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t second) { log.Add(msg, first, second); });
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    d.SetAvailLevel(1);
    // The GUI thread does not pump: the dispatch thread waits 3000 ms for the window, then goes on.
    line->Write("a");
    ASSERT_TRUE(log.WaitFor([](const auto& v) { return v.size() == 1; }, Deadline));
    line->Write("b");
    ASSERT_TRUE(log.WaitFor([](const auto& v) { return v.size() == 2; }, Deadline));
    EXPECT_EQ(log.Snapshot()[1], (Msg{smAvail, 2, 0}));
    // The window gets the second message once the GUI thread runs again, never the dropped first.
    ASSERT_TRUE(gui.PumpUntil([&] { return !w.Log.Snapshot().empty(); }, Deadline));
    EXPECT_EQ(w.Log.Snapshot(), (std::vector<Msg>{{smAvail, 2, 0}}));
}

// Timer triggers on the real clock: a timer of n ticks is delivered no sooner than n x 55 ms after it
// was armed, armed from the test thread (anywhere within a tick) and re-armed from the handler itself,
// as the modem engine does. Late is allowed; early is not.
TEST_F(SimLineDispatcher, TimerTriggersNeverEndBeforeTheirTicks) {
    using Clock = std::chrono::steady_clock;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    const int32_t timer = d.NewTimerTrigger();
    std::mutex m;
    std::condition_variable cv;
    std::vector<double> took; // guarded by m
    Clock::time_point armedAt;  // guarded by m
    int rearms = 0;             // handler re-arms left; guarded by m
    int32_t ticks = 0;          // guarded by m
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg != smTimer || first != static_cast<uint32_t>(timer)) return;
        std::lock_guard<std::mutex> g(m);
        took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - armedAt).count());
        if (rearms > 0) {
            --rearms;
            armedAt = Clock::now();
            d.ArmTimerTrigger(timer, ticks, true);
        }
        cv.notify_all();
    });
    for (int32_t n : {1, 2, 3, 18}) {
        SCOPED_TRACE(testing::Message() << n << " ticks");
        {
            std::lock_guard<std::mutex> g(m);
            took.clear();
            rearms = 3;
            ticks = n;
            armedAt = Clock::now();
        }
        ASSERT_EQ(d.ArmTimerTrigger(timer, n, true), 0);
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::milliseconds(Deadline), [&] { return took.size() == 4; }));
        for (double ms : took) EXPECT_GE(ms, n * 55.0);
    }

    // WaitTicks on the same clock keeps the same lower bound.
    struct : plat::IClock {
        int64_t NowMs() const override {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
        }
    } clock;
    for (int32_t n : {1, 4}) {
        const auto start = Clock::now();
        WaitTicks(clock, n, false, {}, [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });
        const double waited = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        EXPECT_GE(waited, n * 55.0);
    }
}

// The DTR handshake: DTR drops when the input ring reaches the full level and rises at the resume
// level, as the reader takes bytes; a line change while it is down keeps it down; switching the
// handshake off gives DTR back to its requested state.
TEST_F(SimLineDispatcher, DtrHandshakeFollowsTheInputRingsFill) {
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    ASSERT_TRUE(line->WaitUntil([&] { return line->DTR(); }, Deadline));
    ASSERT_EQ(d.SetHardFlow(100, 20, hwfUseDTR), 0);
    EXPECT_TRUE(line->DTR());
    EXPECT_EQ(d.SetDTR(false), 1) << "DTR is the handshake's now";

    line->Write(Pattern(99, 1));
    ASSERT_TRUE(Eventually([&] { return d.InputUsed() == 99; }, Deadline));
    EXPECT_TRUE(line->DTR()) << "dropped below the full level";
    line->Write(Pattern(51, 2));
    ASSERT_TRUE(line->WaitUntil([&] { return !line->DTR(); }, Deadline));

    // A line change while held does not raise it.
    ASSERT_EQ(d.SetLine(9600, 5, 9, 3), 0);
    EXPECT_FALSE(line->DTR());

    uint8_t c;
    for (int i = 0; i < 129; ++i) ASSERT_EQ(d.GetChar(c), 0);
    EXPECT_EQ(d.InputUsed(), 21);
    EXPECT_FALSE(line->DTR()) << "raised above the resume level";
    uint8_t block[1];
    ASSERT_EQ(d.GetBlock(block, 1), 1);
    EXPECT_TRUE(line->WaitUntil([&] { return line->DTR(); }, Deadline));

    // Full again, then the input flushed: the flush makes room as reading does.
    line->Write(Pattern(120, 3));
    ASSERT_TRUE(line->WaitUntil([&] { return !line->DTR(); }, Deadline));
    ASSERT_EQ(d.ClearInput(), 0);
    EXPECT_TRUE(line->WaitUntil([&] { return line->DTR(); }, Deadline));

    // Off while held: DTR returns to what was asked for, and answers to SetDTR again.
    line->Write(Pattern(120, 4));
    ASSERT_TRUE(line->WaitUntil([&] { return !line->DTR(); }, Deadline));
    ASSERT_EQ(d.SetHardFlow(100, 20, 0), 0);
    EXPECT_TRUE(line->WaitUntil([&] { return line->DTR(); }, Deadline));
    EXPECT_EQ(d.SetDTR(false), 0);
    EXPECT_TRUE(line->WaitUntil([&] { return !line->DTR(); }, Deadline));
}

// Output that must wait for DSR is held while DSR is off and goes out when it comes on; without the
// option it goes out whatever DSR says.
TEST_F(SimLineDispatcher, OutputWaitsForDsrWhenAskedTo) {
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    ASSERT_EQ(d.SetHardFlow(100, 20, hwfRequireDSR), 0);
    line->SetLine(msDSR, false);
    ASSERT_TRUE(Eventually([&] { return !d.DSR(); }, Deadline));
    ASSERT_EQ(d.PutBlock("held", 4), 0);
    // Nothing may arrive while DSR is off; a few sampling intervals are given to show it.
    EXPECT_EQ(line->Read(4, 300), "");
    EXPECT_EQ(d.OutputUsed(), 4);
    line->SetLine(msDSR, true);
    EXPECT_EQ(line->ReadExactly(4, Deadline), "held");

    // DSR off again while output is held, then the option is switched off: the bytes go out.
    line->SetLine(msDSR, false);
    ASSERT_TRUE(Eventually([&] { return !d.DSR(); }, Deadline));
    ASSERT_EQ(d.PutBlock("more", 4), 0);
    EXPECT_EQ(line->Read(4, 200), "");
    ASSERT_EQ(d.SetHardFlow(100, 20, 0), 0);
    EXPECT_EQ(line->ReadExactly(4, Deadline), "more");
    line->SetLine(msDSR, true);
}

// The messages of one arrival go to the GUI thread together when every handler runs there. They
// must come exactly as one at a time would bring them: per message the synchronised event handler
// before the window, the avail counts up to each match, the bytes taken in stream order. A
// procedure handler added by a handler meanwhile still runs on the dispatch thread, in its place
// between the two.
TEST_F(SimLineDispatcher, MessagesOfOneArrivalKeepOrderCountsAndThreadsWhenDeliveredTogether) {
    struct Call {
        char Who;
        Msg M;
        bool OnGui;
        bool operator==(const Call&) const = default;
    };
    std::mutex m;
    std::vector<Call> calls;
    const auto guiThread = std::this_thread::get_id();
    auto note = [&](char who, uint16_t msg, uint32_t first, uint32_t second) {
        std::lock_guard<std::mutex> g(m);
        calls.push_back({who, {msg, first, static_cast<uint16_t>(second & 0xFFFF)},
                         std::this_thread::get_id() == guiThread});
    };
    Window w;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    std::string taken;
    w.On = [&](uint16_t msg, uint32_t first) {
        note('W', msg, first, w.Log.Snapshot().back().Datum);
        if (msg != smAvail) return;
        std::string bytes(first, '\0');
        ASSERT_EQ(d.GetBlock(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<int>(first)), static_cast<int>(first));
        taken += bytes;
        if (taken.size() == first) // the first notification
            d.AddProcedureHandler([&](uint16_t msg2, uint32_t first2, uint32_t second2) { note('P', msg2, first2, second2); });
    };
    d.AddEventHandler([&](void*, uint16_t msg, uint32_t first, uint32_t second) { note('E', msg, first, second); },
                      nullptr, true);
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    const auto ok = static_cast<uint32_t>(d.NewDataTrigger("OK", true));
    const auto ring = static_cast<uint32_t>(d.NewDataTrigger("RING", false));
    d.SetAvailLevel(1);
    const std::string stream = "xxOKyyRINGzzok..";
    line->Write(stream); // one arrival
    ASSERT_TRUE(gui.PumpUntil([&] { return taken.size() == stream.size(); }, Deadline)) << taken;
    EXPECT_EQ(taken, stream);

    const std::vector<Msg> expected = {{smAvail, 2, 0}, {smData, ok, 2},   {smAvail, 4, 0}, {smData, ring, 4},
                                       {smAvail, 6, 0}, {smData, ok, 2},   {smAvail, 4, 0}};
    std::vector<Call> want;
    for (size_t i = 0; i < expected.size(); ++i) {
        want.push_back({'E', expected[i], true});
        if (i > 0) want.push_back({'P', expected[i], false});
        want.push_back({'W', expected[i], true});
    }
    std::lock_guard<std::mutex> g(m);
    ASSERT_EQ(calls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(calls[i], want[i]) << "call " << i << ": " << calls[i].Who << calls[i].M << " on GUI "
                                     << calls[i].OnGui;
}

// Input never waits for the GUI: bytes that arrive while a run of messages is out on the GUI thread
// are read into the ring at once, but belong to the next round. The running notification does not
// see them; the next one announces them, and a string begun before and ended after them is found.
TEST_F(SimLineDispatcher, BytesArrivingDuringADeliveryAreReadAtOnceAndAnnouncedNext) {
    Window w;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d), 0);
    std::string taken;
    bool readAhead = false;
    w.On = [&](uint16_t msg, uint32_t first) {
        if (msg != smAvail) return;
        if (taken.empty()) {
            line->Write("NG and more");
            readAhead = Eventually([&] { return line->PendingToNear() == 0; }, Deadline);
            EXPECT_EQ(d.InputUsed(), static_cast<int>(first));
            uint8_t c;
            EXPECT_EQ(d.PeekChar(static_cast<int>(first) + 1, c), ecBufferIsEmpty);
        }
        std::string bytes(first, '\0');
        ASSERT_EQ(d.GetBlock(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<int>(first)), static_cast<int>(first));
        taken += bytes;
    };
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    const auto ring = static_cast<uint32_t>(d.NewDataTrigger("RING", false));
    d.SetAvailLevel(1);
    line->Write("xRI");
    ASSERT_TRUE(gui.PumpUntil([&] { return taken.size() == 14; }, Deadline)) << taken;
    EXPECT_TRUE(readAhead);
    EXPECT_EQ(taken, "xRING and more");
    EXPECT_EQ(w.Log.Snapshot(), (std::vector<Msg>{{smAvail, 3, 0}, {smData, ring, 4}, {smAvail, 11, 0}}));
}
