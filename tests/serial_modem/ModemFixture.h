#pragma once
// A modem on a port whose dispatcher runs without threads, in virtual time: the test is the GUI
// thread and the dispatch thread at once. The far end of the simulated line plays the modem: what the
// component sent is read there, replies are written there.

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "platform/VirtualTime.h"
#include "serial/device/SxSimLine.h"
#include "serial/modem/SxModem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sxtest {

inline const char* EventName(uint16_t kind)
{
    static const char* const names[] = {"ModemOk", "ModemConnect", "ModemBusy", "ModemVoice", "ModemNoCarrier",
                                        "ModemNoDialTone", "ModemError", "GotLineSpeed", "GotErrCorrection",
                                        "GotDataCompression", "CmdTimedOut", "DialTimedOut", "AnswerTimedOut",
                                        "DialCount", "AnswerCount", "ModemRing", "ModemIsConnected",
                                        "ConnectFailed", "CommandProcessed"};
    return kind < 19 ? names[kind] : "?";
}

// One raised event as OnModemEvent saw it, with the tick it came at.
struct SeenEvent {
    std::string Name;
    int32_t Data;
    int64_t Tick;
};

class ModemTest : public ::testing::Test {
protected:
    static constexpr uint16_t Com = 12;

    void SetUp() override
    {
        const std::string name =
            std::string("sim:modem-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetComDevice(Com, name);
        line = sx::TSxSimLine::Get(sx::TSxSimLine::LineName(name));
        line->SetLines(sx::msCTS | sx::msDSR);
        port.SetComNumber(Com);
        port.SetDispatcherFactory([this](sx::TSxCustomComPort& p) {
            auto d = std::make_unique<sx::TSxBaseDispatcher>(&p, &gui, &clock);
            d->SetThreadsOnOpen(false);
            return d;
        });
        // The program's instance.
        modem.SetInitCmd("AT^M");
        modem.SetHangupCmd("DTR");
        modem.SetConfigCmd("AT^M");
        modem.SetDialTimeout(45);
        // Pauses pass virtual time; the GUI thread's messages are this test's queue.
        modem.SetSleeper([this](int ms) {
            clock.Advance(ms);
            if (onSleep) onSleep();
        });
        modem.SetPump([this] {
            gui.Pump();
            return true;
        });
        modem.SetOnModemEvent([this](sx::TSxCustomModem&, uint16_t what, int32_t data) {
            seen.push_back({EventName(what), data, Tick()});
        });
    }
    void TearDown() override { plat::ClearComDevices(); }

    int64_t Tick() const { return clock.NowMs() / sx::TickMs; }
    sx::TSxBaseDispatcher& D()
    {
        sx::TSxBaseDispatcher* d = port.DispatcherIfOpen();
        EXPECT_NE(d, nullptr);
        return *d;
    }
    // One dispatch round and the output it leaves.
    void Round(uint32_t events = 0)
    {
        if (sx::TSxBaseDispatcher* d = port.DispatcherIfOpen()) {
            d->RunRound(events);
            d->WriteOutput();
        }
    }
    // Lets ticks pass, one dispatch round per tick, and runs what waits for the GUI thread.
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            clock.Advance(sx::TickMs);
            Round();
            gui.Pump();
        }
    }
    // Lets ticks pass until pred holds, at most limit ticks.
    bool TicksUntil(const std::function<bool()>& pred, int limit)
    {
        for (int i = 0; i < limit && !pred(); ++i) Ticks(1);
        return pred();
    }
    // The modem's reply arrives in one read.
    void Reply(const std::string& bytes)
    {
        line->Write(bytes);
        Round(sx::evRxChar);
    }
    // What the component sent since the last look.
    std::string Sent()
    {
        if (sx::TSxBaseDispatcher* d = port.DispatcherIfOpen()) d->WriteOutput();
        return line->Read(1 << 16, 0);
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> v;
        for (const auto& e : seen) v.push_back(e.Name);
        return v;
    }
    const SeenEvent* Find(const std::string& name) const
    {
        for (const auto& e : seen)
            if (e.Name == name) return &e;
        return nullptr;
    }
    // Dials and takes the dial string off the line.
    void StartDial(const std::string& number = "0123")
    {
        modem.Dial(number);
        EXPECT_EQ(Sent(), "ATDT" + number + "\r");
        EXPECT_EQ(modem.State(), sx::esDialing);
    }

    plat::VirtualTime clock;
    plat::QueueHandoff gui;
    std::shared_ptr<sx::TSxSimLine> line;
    sx::TSxComPort port{&gui, &clock};
    sx::TSxModem modem{&port, &clock};
    std::vector<SeenEvent> seen;
    std::function<void()> onSleep;
};

} // namespace sxtest
