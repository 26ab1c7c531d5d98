// The simulated modem inside the program: the port component opens "simmodem" and talks to the modem
// at the simulated line's far end in real time.

#include "SimModemFixture.h"

using namespace simtest;
using namespace sx;

TEST_F(ModemPortTest, PortTalksToTheModemDialsAndHangsUpWithDtr) {
    OpenOn(21, "simmodem:port-test");
    // DSR and CTS are on while the modem is powered; no carrier yet.
    ASSERT_TRUE(PumpUntil([&] { return port.DSR(); }));
    EXPECT_TRUE(port.CTS());
    EXPECT_FALSE(port.DCD());

    EXPECT_EQ(Command("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Command("ATI0\r"), "\r\nini4zav SimModem V.34 33600\r\n\r\nOK\r\n");
    EXPECT_EQ(Command("ATS7?S0?\r"), "\r\n050\r\n\r\n000\r\n\r\nOK\r\n");

    // A call: the protocol line, CONNECT with the speed, carrier on, and bytes echoed by the far end.
    EXPECT_EQ(Command("ATDT0622\r", "CONNECT 9600\r\n"), "\r\nPROTOCOL: LAP-M\r\n\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(PumpUntil([&] { return port.DCD(); }));
    EXPECT_EQ(Command("hello, far end", "end"), "hello, far end");

    // Dropping DTR hangs up.
    rx.clear();
    port.SetDTR(false);
    ASSERT_TRUE(Await("NO CARRIER\r\n")) << rx;
    EXPECT_EQ(rx, "\r\nNO CARRIER\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !port.DCD(); }));
    port.SetDTR(true);

    // A keystroke aborts a dial in progress (what the program's cancel sends).
    rx.clear();
    port.PutString("ATD0621\r");
    port.PutString("\r");
    ASSERT_TRUE(Await("NO CARRIER\r\n")) << rx;

    // The modem stays powered over a close and reopen: echo is still off.
    port.SetOpen(false);
    port.SetOpen(true); // may wait for the close to finish on this thread
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phOpen; }));
    EXPECT_EQ(Command("AT\r"), "\r\nOK\r\n");

    // A second modem is a separate line with its own settings.
    TSxComPort other(&gui);
    plat::SetComDevice(22, "simmodem:port-test-2");
    other.SetComNumber(22);
    std::string otherRx;
    other.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t count) {
        for (int i = 0; i < count; ++i)
            otherRx += static_cast<char>(p.GetChar());
    });
    other.SetOpen(true);
    other.PutString("AT\r");
    ASSERT_TRUE(PumpUntil([&] { return otherRx.find("OK\r\n") != std::string::npos; }));
    EXPECT_EQ(otherRx, "AT\r\r\nOK\r\n");
    other.SetOpen(false);
}
