// The status light controller on a port over the simulated line. The far end sets the modem
// lines, sends bytes and injects line errors; the port's triggers run on a clock that only the
// test moves, so a light's flash is counted in ticks.

#include "serial/lights/SxSLController.h"
#include "platform/Clock.h"
#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/device/SxSimLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

using namespace sx;

namespace {

// A millisecond clock that stands still until the test moves it; read by the dispatch thread.
class ManualClock : public plat::IClock {
public:
    int64_t NowMs() const override { return now_.load(); }
    void Advance(int64_t ms) { now_ += ms; }

private:
    std::atomic<int64_t> now_{TickMs * 1000}; // on a tick boundary
};

class TestLight : public ISxLight {
public:
    ~TestLight() override { NotifyFree(); }
    bool Lit() const override { return lit_; }
    void SetLit(bool on) override {
        if (on == lit_) return;
        lit_ = on;
        ++Changes;
    }
    int Changes = 0;

private:
    bool lit_ = false;
};

class Lights : public ::testing::Test {
protected:
    static constexpr uint16_t Com = 12;
    static constexpr int Deadline = 5000;

    void SetUp() override {
        const std::string name =
            std::string("sim:lights-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::ClearComDevices();
        plat::SetComDevice(Com, name);
        line = TSxSimLine::Get(TSxSimLine::LineName(name));
        line->SetLines(msCTS | msDSR);
        line->SetPaced(false);
        // What an earlier run of this test left on the line.
        while (!line->Read(4096, 0).empty())
            continue;
        port = std::make_unique<TSxComPort>(&gui, &clock);
        port->SetComNumber(Com);
        // The form's own handlers: the avail handler reads what it is told of, unless told not to.
        port->SetOnTriggerAvail(FormAvail{this});
        port->SetOnTriggerStatus([this](TSxCustomComPort&, uint16_t h) { formStatus.push_back(h); });
        port->SetOnTriggerTimer([this](TSxCustomComPort&, uint16_t h) { formTimer.push_back(h); });
    }
    void TearDown() override {
        ctrl.reset();
        port.reset();
        EXPECT_TRUE(PumpUntil([] { return TSxCustomComPort::PendingReleases() == 0; }));
        plat::ClearComDevices();
    }

    struct FormAvail {
        Lights* T;
        void operator()(TSxCustomComPort& p, uint16_t count) const {
            T->formCounts.push_back(count);
            if (T->closeInAvail)
                p.SetOpen(false);
            else if (T->formReads)
                for (int i = 0; i < count; ++i)
                    T->formBytes.push_back(static_cast<char>(p.GetChar()));
        }
    };

    // The console's lights: DCD, DSR, RING, RxD, TxD.
    void MakeController(bool consoleSet = true) {
        ctrl = std::make_unique<TSxSLController>(port.get());
        if (!consoleSet) return;
        TLightSet set;
        set.DCDLight = &dcd;
        set.DSRLight = &dsr;
        set.RINGLight = &ring;
        set.RXDLight = &rxd;
        set.TXDLight = &txd;
        ctrl->SetLights(set);
    }

    bool PumpUntil(const std::function<bool()>& pred, int deadline = Deadline) {
        return gui.PumpUntil(pred, deadline);
    }

    // Returns once the dispatch thread has run a whole round, with its timer checks, after this
    // call began: the DCD line is switched twice and each change is waited for on the DCD light.
    void Settle() {
        for (int i = 0; i < 2; ++i) {
            const bool on = (line->Lines() & msDCD) == 0;
            line->SetLine(msDCD, on);
            ASSERT_TRUE(PumpUntil([&] { return dcd.Lit() == on; }));
        }
    }

    // Moves the clock a tick at a time until the light goes out: the number of ticks, or 0 when it
    // is still lit after max ticks.
    int TicksUntilOut(const TestLight& light, int max) {
        for (int k = 1; k <= max; ++k) {
            clock.Advance(TickMs);
            Settle();
            if (!light.Lit()) return k;
        }
        return 0;
    }

    void Receive(const std::string& bytes) {
        const size_t before = formCounts.size();
        line->Write(bytes);
        ASSERT_TRUE(PumpUntil([&] { return formCounts.size() > before; }));
    }

    plat::QueueHandoff gui;
    ManualClock clock;
    std::shared_ptr<TSxSimLine> line;
    std::unique_ptr<TSxComPort> port;
    TestLight dcd, dsr, ring, rxd, txd, cts, error, brk;
    std::unique_ptr<TSxSLController> ctrl;

    bool formReads = true;
    bool closeInAvail = false;
    std::vector<uint16_t> formCounts;
    std::string formBytes;
    std::vector<uint16_t> formStatus, formTimer;
};

} // namespace

TEST_F(Lights, WatchingWaitsForThePortAndTheLinesFollow) {
    MakeController();
    EXPECT_EQ(ctrl->ComPort(), port.get());
    EXPECT_EQ(ctrl->RXDOffTimeout(), 1);
    EXPECT_EQ(ctrl->TXDOffTimeout(), 1);
    EXPECT_EQ(ctrl->RingOffTimeout(), 8);
    EXPECT_EQ(ctrl->ErrorOffTimeout(), 36);
    EXPECT_EQ(ctrl->BreakOffTimeout(), 36);

    // A closed port: only the wish is kept, nothing is shown.
    ctrl->SetWatching(true);
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_TRUE(ctrl->MonitoringWanted());
    for (const TestLight* l : {&dcd, &dsr, &ring, &rxd, &txd})
        EXPECT_EQ(l->Changes, 0);

    // Opening starts the monitoring: DSR is on at the far end, DCD is not.
    port->SetOpen(true);
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_TRUE(dsr.Lit());
    EXPECT_FALSE(dcd.Lit());
    EXPECT_EQ(ctrl->ModemMask() & (msDSR | msDCD | msCTS), msDSR | msDCD);

    line->SetLine(msDCD, true);
    ASSERT_TRUE(PumpUntil([&] { return dcd.Lit(); }));
    line->SetLine(msDSR, false);
    ASSERT_TRUE(PumpUntil([&] { return !dsr.Lit(); }));
    EXPECT_TRUE(dcd.Lit());
    line->SetLines(msDSR);
    ASSERT_TRUE(PumpUntil([&] { return dsr.Lit() && !dcd.Lit(); }));
    EXPECT_FALSE(ring.Lit());
    // The form's status handler saw each of the controller's modem-status notifications.
    ASSERT_FALSE(formStatus.empty());
    EXPECT_EQ(formStatus.back(), ctrl->ModemTrigger());

    // Switching off puts every light out and leaves the port's triggers as they were.
    const int32_t modem = ctrl->ModemTrigger();
    ctrl->SetWatching(false);
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_FALSE(ctrl->MonitoringWanted());
    EXPECT_FALSE(dsr.Lit());
    EXPECT_THROW(port->DropTrigger(modem), EBadTriggerHandle);
}

TEST_F(Lights, WatchingNeedsAPort) {
    TSxSLController alone;
    EXPECT_EQ(alone.ComPort(), nullptr);
    alone.SetWatching(false); // unchanged: nothing to complain about
    try {
        alone.SetWatching(true);
        FAIL() << "no exception";
    } catch (const EPortNotAssigned& e) {
        EXPECT_EQ(e.ResultCode, ecPortNotAssigned);
        EXPECT_STREQ(e.what(), "ComPort component not assigned");
    }
    EXPECT_FALSE(alone.MonitoringWanted());

    // While loading, the wish is ignored; afterwards the controller follows the port's openings.
    TSxSLController loading;
    loading.BeginLoading();
    loading.SetComPort(port.get());
    loading.SetDSRLight(&dsr);
    loading.SetWatching(true);
    EXPECT_FALSE(loading.MonitoringWanted());
    loading.Loaded();
    loading.SetWatching(true);
    port->SetOpen(true);
    EXPECT_TRUE(loading.Watching());
    EXPECT_TRUE(dsr.Lit());
}

TEST_F(Lights, CloseAndReopenRestoreTheMonitoring) {
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);
    ASSERT_TRUE(dsr.Lit());
    const int32_t oldModem = ctrl->ModemTrigger();
    const int32_t oldRxd = ctrl->RXDTimer();

    port->SetOpen(false);
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_TRUE(ctrl->MonitoringWanted());
    EXPECT_FALSE(dsr.Lit()); // no modem on a closed port
    EXPECT_NE(port->OnTriggerAvail().target<FormAvail>(), nullptr);

    line->SetLine(msDCD, true);
    port->SetOpen(true);
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_TRUE(dsr.Lit());
    EXPECT_TRUE(dcd.Lit());
    // The port kept its triggers across the close, but not the controller's old ones: they were
    // taken away at the close and new ones made at the opening.
    EXPECT_THROW(port->DropTrigger(oldModem), EBadTriggerHandle);
    EXPECT_THROW(port->DropTrigger(oldRxd), EBadTriggerHandle);
    line->SetLine(msDCD, false);
    ASSERT_TRUE(PumpUntil([&] { return !dcd.Lit(); }));
    Receive("x");
    EXPECT_TRUE(rxd.Lit());

    // Switched off while closed: the next opening does not start it.
    port->SetOpen(false);
    ctrl->SetWatching(false);
    port->SetOpen(true);
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_FALSE(dsr.Lit());
}

TEST_F(Lights, ReceivedDataKeepsRxdLitUntilEveryByteIsRead) {
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);

    // A burst the form reads at once: RXD goes out when its tick has run out.
    Receive("hello");
    EXPECT_EQ(formBytes, "hello");
    EXPECT_TRUE(rxd.Lit());
    Receive(" world");
    EXPECT_EQ(TicksUntilOut(rxd, 5), ctrl->RXDOffTimeout() + 1);
    EXPECT_EQ(rxd.Changes, 2); // lit once for the burst, out once
    EXPECT_EQ(formBytes, "hello world");

    // Bytes the form leaves unread keep it lit through the timer rounds.
    formReads = false;
    Receive("abc");
    EXPECT_TRUE(rxd.Lit());
    const size_t timers = formTimer.size();
    EXPECT_EQ(TicksUntilOut(rxd, 4), 0);
    EXPECT_GT(formTimer.size(), timers); // the RXD timer ran, and the form heard of it too
    EXPECT_EQ(formTimer.back(), ctrl->RXDTimer());
    EXPECT_EQ(port->InputUsed(), 3);
    for (char c : std::string("abc"))
        EXPECT_EQ(port->GetChar(), c);
    EXPECT_EQ(TicksUntilOut(rxd, 3), ctrl->RXDOffTimeout() + 1);

    // Every notification reached the form's handler; after the monitoring it is the port's again.
    EXPECT_EQ(formCounts.size(), 3u);
    ctrl->SetWatching(false);
    EXPECT_NE(port->OnTriggerAvail().target<FormAvail>(), nullptr);
    formReads = true;
    Receive("z");
    EXPECT_EQ(formBytes, "hello worldz");
    EXPECT_EQ(formCounts.size(), 4u);
    EXPECT_FALSE(rxd.Lit());
}

TEST_F(Lights, TheFormClosingThePortFromItsOwnHandler) {
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);
    closeInAvail = true;
    line->Write("q");
    ASSERT_TRUE(PumpUntil([&] { return port->PortPhase() == phClosed; }));
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_TRUE(ctrl->MonitoringWanted());
    EXPECT_NE(port->OnTriggerAvail().target<FormAvail>(), nullptr);
    for (const TestLight* l : {&dcd, &dsr, &ring, &rxd, &txd})
        EXPECT_FALSE(l->Lit());

    closeInAvail = false;
    port->SetOpen(true);
    EXPECT_TRUE(ctrl->Watching());
    Receive("r");
    EXPECT_EQ(formBytes.back(), 'r');
    EXPECT_TRUE(rxd.Lit());
}

TEST_F(Lights, TxdFlashesWhileOutputIsQueued) {
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);

    port->PutString("AT\r");
    ASSERT_TRUE(PumpUntil([&] { return txd.Lit(); }));
    EXPECT_EQ(line->ReadExactly(3, Deadline), "AT\r");
    ASSERT_TRUE(PumpUntil([&] { return port->OutputUsed() == 0; }));
    EXPECT_EQ(TicksUntilOut(txd, 5), ctrl->TXDOffTimeout() + 1);

    // Again: the output-sent trigger was armed anew. This time the line is slow, and TXD stays
    // lit as long as output waits in the ring.
    line->SetPaced(true);
    port->SetBaud(110);
    port->PutString(std::string(30, 'x')); // about three seconds at 110 baud
    ASSERT_TRUE(PumpUntil([&] { return txd.Lit(); }));
    EXPECT_EQ(TicksUntilOut(txd, 3), 0);
    EXPECT_GT(port->OutputUsed(), 0);
    ASSERT_TRUE(PumpUntil([&] { return port->OutputUsed() == 0; }, 4 * Deadline));
    // Out at the first timer round that finds the ring empty.
    const int ticks = TicksUntilOut(txd, 5);
    EXPECT_GE(ticks, 1);
    EXPECT_LE(ticks, ctrl->TXDOffTimeout() + 1);
    line->SetPaced(false);
}

TEST_F(Lights, RingFlashesForItsTicks) {
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);

    line->SetLine(msRI, true);
    ASSERT_TRUE(PumpUntil([&] { return ring.Lit(); }));
    EXPECT_EQ(TicksUntilOut(ring, 12), ctrl->RingOffTimeout() + 1);
    EXPECT_EQ(formTimer.back(), ctrl->RingTimer());

    // The ring ends: a change of the ring line flashes it again, for a shorter time now.
    ctrl->SetRingOffTimeout(3);
    line->SetLine(msRI, false);
    ASSERT_TRUE(PumpUntil([&] { return ring.Lit(); }));
    EXPECT_EQ(TicksUntilOut(ring, 6), 4);
    // DCD changes (Settle) on the way did not light it.
    EXPECT_EQ(ring.Changes, 4);
}

TEST_F(Lights, LineErrorsAndBreaksFlashTheirLights) {
    MakeController();
    ctrl->SetERRORLight(&error);
    ctrl->SetBREAKLight(&brk);
    ctrl->SetErrorOffTimeout(3);
    ctrl->SetBreakOffTimeout(2);
    port->SetOpen(true);
    ctrl->SetWatching(true);
    ASSERT_NE(ctrl->ErrorTrigger(), 0);
    ASSERT_NE(ctrl->BreakTrigger(), 0);

    line->InjectErrors(leParity);
    ASSERT_TRUE(PumpUntil([&] { return error.Lit(); }));
    EXPECT_FALSE(brk.Lit());
    EXPECT_EQ(port->LineError(), 0); // the controller took it
    EXPECT_EQ(TicksUntilOut(error, 6), 4);

    line->InjectErrors(leBreak);
    ASSERT_TRUE(PumpUntil([&] { return brk.Lit(); }));
    EXPECT_FALSE(error.Lit());
    EXPECT_FALSE(port->LineBreak());
    EXPECT_EQ(TicksUntilOut(brk, 6), 3);

    // Both triggers were armed again when their lights went out.
    line->InjectErrors(leOverrun | leBreak);
    ASSERT_TRUE(PumpUntil([&] { return error.Lit() && brk.Lit(); }));
    EXPECT_EQ(port->LineError(), 0);
    EXPECT_FALSE(port->LineBreak());
}

TEST_F(Lights, AFreedLightIsForgottenAndMonitoringGoesOn) {
    MakeController(false);
    auto dsrLight = std::make_unique<TestLight>();
    auto rxdLight = std::make_unique<TestLight>();
    TLightSet set;
    set.DCDLight = &dcd;
    set.DSRLight = dsrLight.get();
    set.RXDLight = rxdLight.get();
    set.CTSLight = dsrLight.get(); // one light in two places
    ctrl->SetLights(set);
    port->SetOpen(true);
    ctrl->SetWatching(true);
    ASSERT_TRUE(dsrLight->Lit());

    dsrLight.reset();
    EXPECT_EQ(ctrl->DSRLight(), nullptr);
    EXPECT_EQ(ctrl->CTSLight(), nullptr);
    EXPECT_TRUE(ctrl->Watching());
    line->SetLines(msDCD); // DSR and CTS drop: nobody to tell
    ASSERT_TRUE(PumpUntil([&] { return dcd.Lit(); }));

    Receive("1");
    ASSERT_TRUE(rxdLight->Lit());
    rxdLight.reset(); // its timer still runs, with no light to put out
    clock.Advance(3 * TickMs);
    Settle();
    EXPECT_EQ(formTimer.back(), ctrl->RXDTimer());
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_EQ(ctrl->RXDLight(), nullptr);
}

TEST_F(Lights, ALightAddedWhileMonitoringGetsItsTrigger) {
    MakeController(false);
    ctrl->SetDCDLight(&dcd);
    port->SetOpen(true);
    ctrl->SetWatching(true);
    EXPECT_EQ(ctrl->RXDTimer(), 0);
    ctrl->SetRXDLight(&rxd);
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_NE(ctrl->RXDTimer(), 0);
    Receive("a");
    EXPECT_TRUE(rxd.Lit());

    // A light taken out of the set goes out and is switched no more.
    ctrl->SetRXDLight(nullptr);
    EXPECT_FALSE(rxd.Lit());
    Receive("b");
    EXPECT_FALSE(rxd.Lit());
    EXPECT_EQ(formBytes, "ab");
}

TEST_F(Lights, ThePortOrTheControllerGoingAway) {
    // The controller goes first: the port has the form's handlers back and none of its triggers.
    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);
    const int32_t modem = ctrl->ModemTrigger();
    ctrl.reset();
    EXPECT_FALSE(dsr.Lit());
    EXPECT_NE(port->OnTriggerAvail().target<FormAvail>(), nullptr);
    EXPECT_THROW(port->DropTrigger(modem), EBadTriggerHandle);
    Receive("k");
    EXPECT_EQ(formBytes, "k");
    EXPECT_FALSE(rxd.Lit());

    // The port goes first: the controller lets go of it and stops.
    MakeController();
    ctrl->SetWatching(true);
    ASSERT_TRUE(ctrl->Watching());
    port.reset();
    EXPECT_EQ(ctrl->ComPort(), nullptr);
    EXPECT_FALSE(ctrl->Watching());
    EXPECT_FALSE(dsr.Lit());
    EXPECT_THROW(ctrl->SetWatching(true), EPortNotAssigned);

    // A new port on the same line (free once the old port's dispatcher is gone): the controller
    // watches it once told to.
    ASSERT_TRUE(PumpUntil([&] { return TSxCustomComPort::PendingReleases() == 0 && !line->NearOpen(); }));
    port = std::make_unique<TSxComPort>(&gui, &clock);
    port->SetComNumber(Com);
    ctrl->SetComPort(port.get());
    ctrl->SetWatching(true);
    EXPECT_FALSE(ctrl->Watching());
    port->SetOpen(true);
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_TRUE(dsr.Lit());
}

TEST_F(Lights, TwoControllersOnOnePortKeepTheFormsHandlerReachable) {
    // The second controller chains on the first; the first stops and goes away while the second
    // still calls through it.
    MakeController(false);
    ctrl->SetRXDLight(&rxd);
    TestLight rxd2;
    auto second = std::make_unique<TSxSLController>(port.get());
    second->SetRXDLight(&rxd2);
    port->SetOpen(true);
    ctrl->SetWatching(true);
    second->SetWatching(true);
    Receive("1");
    EXPECT_TRUE(rxd.Lit());
    EXPECT_TRUE(rxd2.Lit());

    ctrl->SetWatching(false);
    EXPECT_FALSE(rxd.Lit());
    ctrl.reset();
    Receive("2");
    EXPECT_EQ(formBytes, "12");
    EXPECT_TRUE(rxd2.Lit());

    second->SetWatching(false);
    second.reset();
    Receive("3");
    EXPECT_EQ(formBytes, "123");
    EXPECT_EQ(formCounts.size(), 3u);
}

TEST_F(Lights, MovingToAnotherPortTakesTheMonitoringAlong) {
    // A second port on a line of its own, with DSR off and DCD on.
    const std::string otherName =
        std::string("sim:lights-other-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    plat::SetComDevice(Com + 1, otherName);
    auto otherLine = TSxSimLine::Get(TSxSimLine::LineName(otherName));
    otherLine->SetLines(msCTS | msDCD);
    TSxComPort other(&gui, &clock);
    other.SetComNumber(Com + 1);
    other.SetOpen(true);

    MakeController();
    port->SetOpen(true);
    ctrl->SetWatching(true);
    ASSERT_TRUE(dsr.Lit());
    const int32_t modem = ctrl->ModemTrigger();

    ctrl->SetComPort(&other);
    EXPECT_TRUE(ctrl->Watching());
    EXPECT_FALSE(dsr.Lit());
    EXPECT_TRUE(dcd.Lit());
    // The first port is as it was before the monitoring.
    EXPECT_NE(port->OnTriggerAvail().target<FormAvail>(), nullptr);
    EXPECT_THROW(port->DropTrigger(modem), EBadTriggerHandle);
    Receive("p");
    EXPECT_FALSE(rxd.Lit());
    // The second one is watched.
    otherLine->SetLine(msDCD, false);
    ASSERT_TRUE(PumpUntil([&] { return !dcd.Lit(); }));

    // Its closing and opening now count, the first port's no more.
    port->SetOpen(false);
    EXPECT_TRUE(ctrl->Watching());
    other.SetOpen(false);
    EXPECT_FALSE(ctrl->Watching());
    // A close that met a delivery on the dispatch thread finishes after it, and the opening asked
    // for meanwhile follows then.
    other.SetOpen(true);
    EXPECT_TRUE(PumpUntil([&] { return ctrl->Watching(); }));
    ctrl.reset(); // before the port it watches
}
