// The modem with the dispatcher's threads, in real time: the engine runs on the dispatch thread, the
// operations and the posted events on this test's stand-in GUI thread, and a far end scripted on the
// simulated line answers like a modem.

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/device/SxSimLine.h"
#include "serial/modem/SxModem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace sx;

namespace {

constexpr int Deadline = 10000;

class ModemThreads : public ::testing::Test {
protected:
    static constexpr uint16_t Com = 13;
    void SetUp() override
    {
        const std::string name =
            std::string("sim:modemthreads-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetComDevice(Com, name);
        line = TSxSimLine::Get(TSxSimLine::LineName(name));
        line->SetLines(msCTS | msDSR);
        // A far end that answers each command line it receives.
        line->SetOnData([this](const uint8_t* data, size_t n) {
            std::string reply;
            {
                std::lock_guard<std::mutex> g(farLock);
                for (size_t i = 0; i < n; ++i) {
                    const char c = static_cast<char>(data[i]);
                    received.push_back(c);
                    if (c != '\r') {
                        command.push_back(c);
                        // The escape to command mode needs no carriage return.
                        if (command == "+++" && answer) reply += answer(command);
                        continue;
                    }
                    if (answer) reply += answer(command);
                    command.clear();
                }
            }
            if (!reply.empty()) line->Write(reply);
        });
        port.SetComNumber(Com);
        modem.SetEventPoster([this](std::function<void()> e) { gui.PostToGuiThread(std::move(e)); });
        modem.SetPump([this] {
            gui.Pump();
            return true;
        });
        modem.SetOnModemEvent([this](TSxCustomModem&, uint16_t what, int32_t data) {
            // Posted: runs on this thread.
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            events.emplace_back(what, data);
        });
    }
    void TearDown() override
    {
        line->SetOnData({});
        plat::ClearComDevices();
    }
    bool Seen(uint16_t what) const
    {
        for (const auto& e : events)
            if (e.first == what) return true;
        return false;
    }
    std::string Received()
    {
        std::lock_guard<std::mutex> g(farLock);
        return received;
    }

    std::thread::id testThread = std::this_thread::get_id();
    plat::QueueHandoff gui;
    std::shared_ptr<TSxSimLine> line;
    std::mutex farLock;
    std::string received, command;
    std::function<std::string(const std::string&)> answer;
    TSxComPort port{&gui};
    TSxModem modem{&port};
    std::vector<std::pair<uint16_t, int32_t>> events;
};

} // namespace

TEST_F(ModemThreads, DialConnectAndHangUpWithTheEngineOnTheDispatchThread)
{
    answer = [](const std::string& cmd) -> std::string {
        if (cmd.rfind("ATDT", 0) == 0) return "\r\nCONNECT 9600\r\n";
        if (cmd == "+++") return "\r\nNO CARRIER\r\n";
        if (cmd == "+++ATH0") return "\r\nOK\r\n";
        return "";
    };
    // The port's own events go on while the engine works (they run on this thread).
    int availEvents = 0, duringHangup = 0;
    bool inHangup = false;
    port.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t count) {
        for (int i = 0; i < count; ++i) p.GetChar();
        ++availEvents;
        if (inHangup) ++duringHangup;
    });
    modem.Dial("0815");
    ASSERT_TRUE(gui.PumpUntil([&] { return Seen(meModemIsConnected); }, Deadline));
    const std::vector<std::pair<uint16_t, int32_t>> expected = {
        {meModemConnect, 0}, {meGotLineSpeed, 9600}, {meModemIsConnected, 0}};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(Received(), "ATDT0815\r");
    EXPECT_GT(availEvents, 0);

    // A command hang-up: its tilde pauses keep this thread's queue running, so the port's event for
    // what the far end says to the escape arrives during them.
    events.clear();
    modem.SetHangupCmd("+++~~ATH0^M");
    inHangup = true;
    modem.Hangup();
    inHangup = false;
    EXPECT_GT(duringHangup, 0);
    ASSERT_TRUE(gui.PumpUntil([&] { return Seen(meCommandProcessed); }, Deadline));
    EXPECT_EQ(Received(), "ATDT0815\r+++ATH0\r");
    const std::vector<std::pair<uint16_t, int32_t>> hungUp = {{meModemOk, 0}, {meCommandProcessed, meModemOk}};
    EXPECT_EQ(events, hungUp);
    EXPECT_EQ(modem.State(), esIdle);
}

TEST_F(ModemThreads, BusyCancelsAndClosingMidDialStopsTheEngine)
{
    answer = [](const std::string& cmd) -> std::string {
        if (cmd == "ATDT1") return "busy\r\n";
        return "";
    };
    modem.Dial("1");
    ASSERT_TRUE(gui.PumpUntil([&] { return events.size() >= 2; }, Deadline));
    EXPECT_EQ(events[0].first, meConnectFailed);
    EXPECT_EQ(events[1].first, meModemBusy);
    ASSERT_TRUE(gui.PumpUntil([&] { return Received() == "ATDT1\r\r"; }, Deadline)); // the cancel string

    // A dial that is never answered, ended by the port's close.
    events.clear();
    modem.Dial("2");
    EXPECT_TRUE(modem.IsConnecting());
    port.SetOpen(false);
    EXPECT_FALSE(modem.Started());
    EXPECT_FALSE(modem.IsConnecting());
    gui.Pump();
    EXPECT_TRUE(events.empty());
    // And a vanishing line while dialling: the port closes itself, the engine with it.
    modem.Dial("3");
    EXPECT_TRUE(modem.Started());
    line->Unplug();
    ASSERT_TRUE(gui.PumpUntil([&] { return !port.Open(); }, Deadline));
    EXPECT_FALSE(modem.Started());
    EXPECT_EQ(modem.State(), esIdle);
    line->Plug();
}

TEST_F(ModemThreads, DestroyingTheModemWhileEventsAreQueuedIsSafe)
{
    answer = [](const std::string& cmd) -> std::string {
        if (cmd == "ATZ") return "OK\r\n";
        return "";
    };
    auto m = std::make_unique<TSxModem>(&port);
    std::mutex queueLock;
    std::condition_variable queued;
    std::vector<std::function<void()>> queue;
    m->SetEventPoster([&](std::function<void()> e) {
        {
            std::lock_guard<std::mutex> g(queueLock);
            queue.push_back(std::move(e));
        }
        queued.notify_all();
    });
    int ran = 0;
    m->SetOnModemEvent([&](TSxCustomModem&, uint16_t, int32_t) { ++ran; });
    m->Initialize();
    // OK and command processed wait for the GUI thread, which drops the modem before it runs them.
    std::unique_lock<std::mutex> lk(queueLock);
    ASSERT_TRUE(queued.wait_for(lk, std::chrono::milliseconds(Deadline), [&] { return queue.size() == 2; }));
    lk.unlock();
    m.reset();
    for (auto& e : queue) e();
    EXPECT_EQ(ran, 0);
}
