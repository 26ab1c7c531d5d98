// The port component on COM ports mapped to ser2net serving pseudo-terminals on this machine: one
// port through Telnet with the COM port option, one raw. The pty's master is the far end of the
// line: what the port sends appears there, and the slave's termios shows the line settings the
// server applied. A pty carries no modem lines, so their changes are tested against the scripted
// server (NetPortScriptedTest.cpp) instead.

#include "NetFixture.h"

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/core/SxDispatcher.h"
#include "serial/port/SxComPort.h"

#include <algorithm>
#include <thread>

using namespace sx;
using namespace sxnet;

namespace {

constexpr uint16_t ComTelnet = 3, ComRaw = 4;
constexpr int Deadline = 10000;

std::string AllBytes()
{
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    s += "\xff\xff\xff"; // runs of 0xFF as well
    return s;
}

class Ser2netTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (Ser2netBinary().empty()) GTEST_SKIP() << "ser2net is not installed (apt-get install ser2net)";
        ASSERT_FALSE(ptyTelnet.SlavePath.empty());
        ASSERT_FALSE(ptyRaw.SlavePath.empty());
        // A port picked as free can be taken by another test's server before ours binds it: then ours does
        // not come up on it, and it starts again on other ports.
        bool up = false;
        for (int attempt = 0; attempt < 3 && !up; ++attempt) {
            telnetPort = FreePort();
            rawPort = FreePort();
            while (rawPort == telnetPort) rawPort = FreePort();
            server = std::make_unique<Ser2net>(ptyTelnet.SlavePath, telnetPort, rawPort, ptyRaw.SlavePath);
            up = server->Start();
        }
        ASSERT_TRUE(up) << "ser2net did not come up";
        plat::ClearComDevices();
        plat::SetComDevice(ComTelnet, "rfc2217://127.0.0.1:" + std::to_string(telnetPort));
        plat::SetComDevice(ComRaw, "tcp://127.0.0.1:" + std::to_string(rawPort));
    }
    void TearDown() override
    {
        EXPECT_TRUE(gui.PumpUntil([] { return TSxCustomComPort::PendingReleases() == 0; }, Deadline));
        plat::ClearComDevices();
    }

    bool PumpUntil(const std::function<bool()>& pred) { return gui.PumpUntil(pred, Deadline); }

    std::string ReceiveAll(TSxComPort& port, size_t want)
    {
        std::string got;
        PumpUntil([&] {
            while (port.InputUsed() > 0) got += static_cast<char>(port.GetChar());
            return got.size() >= want;
        });
        return got;
    }

    static speed_t Speed(const termios& t) { return cfgetospeed(&t); }

    Pty ptyTelnet, ptyRaw;
    int telnetPort = 0, rawPort = 0;
    std::unique_ptr<Ser2net> server;
    plat::QueueHandoff gui;
};

} // namespace

// Open through RFC 2217: the server puts the line to the port's 19200 8N1 (its own default is
// 9600); every byte value passes both ways, 0xFF included; baud, parity and stop bits changed while
// open reach the slave's termios, and the dispatcher reports what the server confirmed.
TEST_F(Ser2netTest, Rfc2217PortCarriesEveryByteAndItsLineSettingsReachTheDevice)
{
    TSxComPort port(&gui);
    port.SetComNumber(ComTelnet);
    port.SetOpen(true);
    EXPECT_EQ(port.OpenNote(), "");
    ASSERT_TRUE(PumpUntil([&] { return Speed(ptyTelnet.Attr()) == B19200; })) << Speed(ptyTelnet.Attr());
    termios t = ptyTelnet.Attr();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);

    // ser2net reports the modem lines of its device, and a pty has none: the report replaces the
    // always-ready lines a port without line control shows (see the raw port below).
    EXPECT_TRUE(PumpUntil([&] { return (port.ModemStatus() & 0xF0) == 0; })) << int(port.ModemStatus());

    const std::string all = AllBytes();
    port.PutString(all);
    EXPECT_EQ(ptyTelnet.Receive(all.size()), all);
    ptyTelnet.Send(all);
    EXPECT_EQ(ReceiveAll(port, all.size()), all);

    struct Change {
        const char* What;
        std::function<void()> Apply;
        std::function<bool(const termios&)> Seen;
    };
    const Change changes[] = {
        {"9600 baud", [&] { port.SetBaud(9600); }, [](const termios& a) { return Speed(a) == B9600; }},
        // A pseudo-terminal keeps 8 data bits and no parity whatever it is told (the kernel clears
        // PARENB and CSIZE), but it keeps PARODD: odd and even parity show there. Seven data bits
        // show only in what the server confirmed (GetLine below).
        {"odd parity", [&] { port.SetParity(pOdd); }, [](const termios& a) { return (a.c_cflag & PARODD) != 0; }},
        {"even parity", [&] { port.SetParity(pEven); }, [](const termios& a) { return (a.c_cflag & PARODD) == 0; }},
        {"7 data bits", [&] { port.SetDataBits(7); }, [](const termios&) { return true; }},
        {"2 stop bits", [&] { port.SetStopBits(2); }, [](const termios& a) { return (a.c_cflag & CSTOPB) != 0; }},
        {"115200 baud", [&] { port.SetBaud(115200); }, [](const termios& a) { return Speed(a) == B115200; }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.What);
        c.Apply();
        // The setter returns once the server confirmed: the slave has it already.
        EXPECT_TRUE(c.Seen(ptyTelnet.Attr())) << std::hex << ptyTelnet.Attr().c_cflag;
    }
    int32_t baud = 0;
    uint8_t parity = 0, dataBits = 0, stopBits = 0;
    ASSERT_EQ(port.Dispatcher().GetLine(baud, parity, dataBits, stopBits), 0);
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(parity, 2);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(stopBits, 2);
    EXPECT_EQ(port.OpenNote(), "");

    // Data still flows after the changes (7 bits: ASCII only).
    port.PutString("ATZ\r");
    EXPECT_EQ(ptyTelnet.Receive(4), "ATZ\r");
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
}

// Raw TCP: bytes pass unchanged (0xFF is not doubled), line settings have nowhere to go and leave
// the device as the server set it.
TEST_F(Ser2netTest, RawPortCarriesBytesUnchangedAndLeavesTheLineAlone)
{
    TSxComPort port(&gui);
    port.SetComNumber(ComRaw);
    port.SetOpen(true);
    const std::string all = AllBytes();
    port.PutString(all);
    EXPECT_EQ(ptyRaw.Receive(all.size()), all);
    ptyRaw.Send(all);
    EXPECT_EQ(ReceiveAll(port, all.size()), all);
    port.SetBaud(115200);
    EXPECT_EQ(Speed(ptyRaw.Attr()), B9600);
    // The modem lines of a line without control read as ready.
    EXPECT_EQ(port.ModemStatus() & 0xB0, 0xB0);
}

// The server dies while the port is open: the port closes on the GUI thread, listeners are told
// once, its threads end. An open while the server is down fails like a missing port (-2001); once
// the server is back, the next open connects again and data flows.
TEST_F(Ser2netTest, ServerKilledMidSessionClosesThePortAndALaterOpenReconnects)
{
    TSxComPort port(&gui);
    port.SetComNumber(ComTelnet);
    int closes = 0;
    int counts[2] = {0, 0};
    port.AddOpenCloseListener(
        [](TSxCustomComPort&, bool opening, void* data) { ++static_cast<int*>(data)[opening ? 0 : 1]; }, counts);
    port.SetOnPortClose([&](TSxCustomComPort&) { ++closes; });
    port.SetOpen(true);
    EXPECT_EQ(counts[0], 1);
    port.PutString("hello");
    EXPECT_EQ(ptyTelnet.Receive(5), "hello");

    server->Kill();
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phClosed; }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(counts[1], 1);

    try {
        port.SetOpen(true);
        ADD_FAILURE() << "opened with the server down";
    } catch (const ESxException& e) {
        EXPECT_EQ(e.ResultCode, -2001);
    }
    EXPECT_FALSE(port.Open());

    ASSERT_TRUE(server->Start());
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(counts[0], 2);
    port.PutString("again\xff");
    EXPECT_EQ(ptyTelnet.Receive(6), "again\xff");
    ptyTelnet.Send("back");
    EXPECT_EQ(ReceiveAll(port, 4), "back");
    port.SetOpen(false);
    EXPECT_EQ(closes, 2);
}

// A burst far larger than the port's input ring, read only once the ring is full: the port holds
// its input (the server is asked to suspend, the socket is no longer read) and, read on, gets every
// byte in order, through Telnet and raw alike.
TEST_F(Ser2netTest, BurstLargerThanTheInputRingArrivesWholeAfterTheRingFilled)
{
    for (const uint16_t com : {ComTelnet, ComRaw}) {
        SCOPED_TRACE(com == ComTelnet ? "rfc2217" : "raw");
        const Pty& pty = com == ComTelnet ? ptyTelnet : ptyRaw;
        TSxComPort port(&gui);
        port.SetComNumber(com);
        port.SetOpen(true);
        // Write only once the server holds the device and has set its line (9600, or the port's
        // 19200 through Telnet; a pty starts at 38400).
        EXPECT_TRUE(PumpUntil([&] { return Speed(pty.Attr()) == (com == ComTelnet ? B19200 : B9600); }));
        std::string burst;
        for (int i = 0; i < 60000; ++i) burst += static_cast<char>((i * 7 + i / 251) & 0xFF);
        std::thread writer([&] {
            size_t done = 0;
            while (done < burst.size()) {
                pollfd p{pty.Master, POLLOUT, 0};
                if (poll(&p, 1, Deadline) != 1) return; // the port stopped reading for good: the test fails below
                const ssize_t n = write(pty.Master, burst.data() + done, std::min<size_t>(4096, burst.size() - done));
                if (n <= 0) return;
                done += static_cast<size_t>(n);
            }
        });
        EXPECT_TRUE(PumpUntil([&] { return port.InputUsed() >= InputRingSize; })) << port.InputUsed();
        std::string got;
        EXPECT_TRUE(PumpUntil([&] {
            while (port.InputUsed() > 0) got += static_cast<char>(port.GetChar());
            return got.size() >= burst.size();
        })) << got.size();
        writer.join();
        // Where what came first stands in the burst tells a loss at the start from one on the way.
        EXPECT_TRUE(got == burst) << "first difference at "
                                  << std::mismatch(got.begin(), got.end(), burst.begin(), burst.end()).first - got.begin()
                                  << "; the first 16 bytes received stand at "
                                  << static_cast<long>(burst.find(got.substr(0, 16))) << " in the burst";
        port.SetOpen(false);
    }
}
