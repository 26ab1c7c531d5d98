// The simulated controller straight on a simulated line ("simctl"), behind the port component as the
// console uses it: DCD with DTR, the synchronisation, a request and its answer, a fault from the name.

#include "SimModemFixture.h"

using namespace simtest;

namespace {

constexpr uint8_t Dcd = 0x80;

TEST_F(ModemPortTest, ControllerOnADirectLineAnswersThePort) {
    OpenOn(24, "simctl:port-test");
    ASSERT_TRUE(PumpUntil([&] { return (port.ModemStatus() & Dcd) != 0; })); // the port raised DTR
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06\x15\x15")) << rx;
    rx.clear();
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06"));
    port.PutString(std::string("\x02\x06\x28\xFF\xFF\xF1\x00\x1C", 8));
    ASSERT_TRUE(Await(std::string("\x06\x06\x01", 3))) << rx;
    port.PutString("\x06");
    EXPECT_TRUE(Await(std::string("\x28\xFF\xFF\xF1\x00SIM-ZAV 1 V1.00", 20))) << rx;

    port.SetDTR(false);
    EXPECT_TRUE(PumpUntil([&] { return (port.ModemStatus() & Dcd) == 0; }));
}

TEST_F(ModemPortTest, ControllerDeviceNameChoosesTheFault) {
    OpenOn(25, "simctl:nak");
    ASSERT_TRUE(PumpUntil([&] { return (port.ModemStatus() & Dcd) != 0; }));
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06\x15\x15"));
    rx.clear();
    port.PutString("\x01");
    EXPECT_TRUE(Await("\x15"));
}

// A break in the middle of a frame: the controller drops what it had of it, answers nothing for it and
// takes the next hand-shake as new (without the break the hand-shake would be read as the frame's rest).
TEST_F(ModemPortTest, ABreakMakesTheControllerDropAHalfFrame) {
    OpenOn(26, "simctl:break-test");
    ASSERT_TRUE(PumpUntil([&] { return (port.ModemStatus() & Dcd) != 0; }));
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06\x15\x15")) << rx;
    rx.clear();
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06"));
    port.PutString(std::string("\x02\x06\x28\xFF", 4));
    port.SetBreak(true);
    port.SetBreak(false);
    rx.clear();
    port.PutString(std::string("\x01\x02\x06\x28\xFF\xFF\xF1\x00\x1C", 9));
    EXPECT_TRUE(Await(std::string("\x06\x06\x01", 3))) << rx;
}

} // namespace
