// The port over the simulated line, whose far end shows what the port did to its lines and can
// change the modem lines, inject line errors and pull the cable.

#include "PortFixture.h"
#include "serial/device/SxSimLine.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

using namespace sx;
using namespace sxtest;

namespace {

class SimPortTest : public PortTest {
protected:
    static constexpr uint16_t SimCom = 11;
    void SetUp() override
    {
        PortTest::SetUp();
        name = std::string("sim:port-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        plat::SetComDevice(SimCom, name);
        line = TSxSimLine::Get(TSxSimLine::LineName(name));
        line->SetLines(msCTS | msDSR);
    }
    std::string name;
    std::shared_ptr<TSxSimLine> line;
};

} // namespace

TEST_F(SimPortTest, LineSettingsAndOutputLinesFollowTheProperties)
{
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetOpen(true);
    TSxLineSettings s = line->NearSettings();
    EXPECT_EQ(s.Baud, 19200);
    EXPECT_EQ(s.Parity, 0);
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.StopBits, 0);
    EXPECT_TRUE(line->DTR());
    EXPECT_TRUE(line->RTS());

    port.SetParity(pEven);
    port.SetDataBits(7);
    port.SetStopBits(2);
    port.SetBaud(2400);
    s = line->NearSettings();
    EXPECT_EQ(s.Baud, 2400);
    EXPECT_EQ(s.Parity, 2);
    EXPECT_EQ(s.DataBits, 7);
    EXPECT_EQ(s.StopBits, 2);

    port.SetDTR(false);
    EXPECT_FALSE(line->DTR());
    EXPECT_FALSE(port.DTR());
    port.SetRTS(false);
    EXPECT_FALSE(line->RTS());
    port.SetDTR(true);
    EXPECT_TRUE(line->DTR());

    // Software flow control with the port's own characters.
    port.SetXOnChar(0x11);
    port.SetXOffChar(0x13);
    port.SetSWFlowOptions(swfBoth);
    s = line->NearSettings();
    EXPECT_TRUE(s.InX);
    EXPECT_TRUE(s.OutX);
    EXPECT_EQ(port.BufferFull(), 3072);
    port.SetSWFlowOptions(swfNone);
    s = line->NearSettings();
    EXPECT_FALSE(s.InX);
    EXPECT_FALSE(s.OutX);
}

TEST_F(SimPortTest, ModemLinesAndLineErrorsReachThePort)
{
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    std::vector<std::string> seen;
    port.SetOnTriggerModemStatus([&](TSxCustomComPort&) { seen.push_back("Modem"); });
    port.SetOnTriggerLineError([&](TSxCustomComPort&, uint16_t error, bool lineBreak) {
        seen.push_back("LineError " + std::to_string(error) + (lineBreak ? " break" : ""));
    });
    port.SetOpen(true);
    EXPECT_TRUE(port.CTS());
    EXPECT_TRUE(port.DSR());
    EXPECT_FALSE(port.DCD());

    const int32_t modem = port.NewStatusTrigger(stModem);
    port.ArmStatusTrigger(modem, msDCD, true);
    line->SetLine(msDCD, true);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0], "Modem");
    EXPECT_TRUE(port.DCD());
    EXPECT_EQ(port.ModemStatus() & msDCD, msDCD);

    seen.clear();
    const int32_t errors = port.NewStatusTrigger(stLine);
    port.ArmStatusTrigger(errors, 1 | 2 | 4 | 8, true);
    line->InjectErrors(leParity | leBreak);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    // Both taken from the port at the event: the parity error, and the break.
    EXPECT_EQ(seen[0], "LineError 3 break");
    EXPECT_EQ(port.LineError(), 0);
    EXPECT_FALSE(port.LineBreak());
}

TEST_F(SimPortTest, APulledCableClosesThePort)
{
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    int closes = 0;
    port.SetOnPortClose([&](TSxCustomComPort&) { ++closes; });
    port.SetOpen(true);
    line->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phClosed; }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(closes, 1);
    EXPECT_THROW(port.SetOpen(true), ESxException);
    line->Plug();
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
}

TEST_F(SimPortTest, HardwareFlowKeepsRtsOutOfReach)
{
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    port.SetOpen(true);
    const TSxLineSettings s = line->NearSettings();
    EXPECT_EQ(s.RtsControl, 2);
    EXPECT_TRUE(s.OutxCtsFlow);
    port.SetRTS(false);
    EXPECT_TRUE(port.RTS()); // the request was not taken
}

TEST_F(SimPortTest, FlowLevelsDoNotStopAnOpenWithoutFlowControl)
{
    // A level above InSize is kept (90 % of it) while no flow control is on; it must not make
    // the open fail, and switching flow control on later clamps it.
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetBufferFull(10000);
    ASSERT_NO_THROW(port.SetOpen(true));
    EXPECT_TRUE(port.Open());
    port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    EXPECT_EQ(port.BufferFull(), 3686);
    EXPECT_EQ(line->NearSettings().RtsControl, 2);
}

TEST_F(SimPortTest, RS485ModeOnAnOpenPortDropsRts)
{
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    port.SetOpen(true);
    port.SetRS485Mode(true);
    EXPECT_FALSE(port.RTS()); // as on a closed port
    EXPECT_EQ(port.HWFlowOptions(), 0);
    EXPECT_EQ(line->NearSettings().RtsControl, 3); // raised only while sending
    port.SetOpen(false);
    port.SetOpen(true); // reopens in the same mode
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(line->NearSettings().RtsControl, 3);
}

TEST_F(SimPortTest, AvailLevelSetWhileClosedHoldsAfterAReopen)
{
    // The triggers kept across the close come back, but a level set in between is the one used.
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetOpen(true);
    const int32_t ok = port.Dispatcher().NewDataTrigger("OK", false);
    port.SetOpen(false);
    port.SetAvailLevel(3);
    port.SetOpen(true);
    EXPECT_EQ(port.Dispatcher().AvailLevel(), 3);
    EXPECT_EQ(port.Dispatcher().DropTrigger(ok), 0); // restored
}

TEST_F(SimPortTest, AnExceptionFromAHandlerOnTheDispatchThreadIsShown)
{
    // The modem engine's handlers run on the dispatch thread: what they raise is shown like any
    // other uncaught failure, and the port goes on delivering.
    std::vector<std::string> shown;
    TSxCustomComPort::SetExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetOpen(true);
    TSxBaseDispatcher& d = port.Dispatcher();
    const int32_t ok = d.NewDataTrigger("OK", false);
    std::atomic<int> calls{0}; // counted on the dispatch thread
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg == smData && static_cast<int32_t>(first) == ok && ++calls == 1) throw EModemBusy(ecModemBusy);
    });
    line->Write("OK");
    const bool seen = PumpUntil([&] { return !shown.empty(); });
    line->Write("OK");
    const bool again = PumpUntil([&] { return calls == 2; });
    TSxCustomComPort::SetExceptionHandler({});
    ASSERT_TRUE(seen);
    EXPECT_EQ(shown[0], "Modem is busy elsewhere");
    EXPECT_TRUE(again);
}

TEST_F(SimPortTest, GetBlockTakesBytesAsGetCharDoesAndTracesThem)
{
    char dir[] = "/tmp/sxblockXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string traceName = std::string(dir) + "/SERX.TRC";
    TSxComPort port(&gui);
    port.SetComNumber(SimCom);
    port.SetTraceName(traceName);
    port.SetOpen(true);
    uint8_t buf[8] = {};

    // Tracing off: taken, not recorded.
    line->Write("ab");
    ASSERT_TRUE(PumpUntil([&] { return port.InputUsed() == 2; }));
    EXPECT_EQ(port.GetBlock(buf, 8), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "ab");
    EXPECT_THROW(port.GetBlock(buf, 8), EBufferIsEmpty);
    EXPECT_EQ(port.GetBlock(buf, 0), 0);

    // Tracing on: the bytes taken appear as received, switched off again: no more.
    port.SetTracing(tlOn);
    line->Write("OK\r\nxyz");
    ASSERT_TRUE(PumpUntil([&] { return port.InputUsed() == 7; }));
    EXPECT_EQ(port.GetBlock(buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "OK\r\n");
    EXPECT_EQ(port.GetChar(), 'x');
    port.SetTracing(tlPause);
    EXPECT_EQ(port.GetBlock(buf, 8), 2);
    port.SetTracing(tlDump);
    std::ifstream f(traceName, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "Receive: OK[0D][0A]x\n");
    std::remove(traceName.c_str());
    rmdir(dir);
}
