// Property rules of the port that hold whether or not it is open.

#include "PortFixture.h"

using namespace sx;
using namespace sxtest;

TEST(PortProperties, FlowControlLevels)
{
    struct Case {
        const char* What;
        std::function<void(TSxComPort&)> Steps;
        uint16_t Full, Resume;
    };
    const Case cases[] = {
        {"hardware flow fills in 90/10 % of InSize", [](TSxComPort& p) { p.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS); }, 3686, 409},
        {"software flow fills in 75/25 %", [](TSxComPort& p) { p.SetSWFlowOptions(swfBoth); }, 3072, 1024},
        {"levels already set are kept", [](TSxComPort& p) {
             p.SetBufferFull(2000);
             p.SetBufferResume(100);
             p.SetHWFlowOptions(hwfUseDTR);
         }, 2000, 100},
        {"resume above full is replaced", [](TSxComPort& p) {
             p.SetBufferFull(2000);
             p.SetBufferResume(3000);
         }, 2000, 200},
        {"full above InSize without flow keeps 90 % of the value", [](TSxComPort& p) { p.SetBufferFull(10000); }, 9000, 0},
        {"full above InSize with flow is clamped again", [](TSxComPort& p) {
             p.SetHWFlowOptions(hwfUseRTS);
             p.SetBufferFull(10000);
         }, 3686, 409},
        {"levels set to 0 under flow come back", [](TSxComPort& p) {
             p.SetHWFlowOptions(hwfUseRTS);
             p.SetBufferFull(0);
             p.SetBufferResume(0);
         }, 3686, 409},
        {"smaller InSize", [](TSxComPort& p) {
             p.SetInSize(1000);
             p.SetHWFlowOptions(hwfUseRTS);
         }, 900, 100},
    };
    for (const Case& c : cases) {
        TSxComPort port;
        c.Steps(port);
        EXPECT_EQ(port.BufferFull(), c.Full) << c.What;
        EXPECT_EQ(port.BufferResume(), c.Resume) << c.What;
    }
}

TEST(PortProperties, RS485AndHardwareFlowExcludeEachOther)
{
    TSxComPort port;
    port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS | hwfRequireDSR);
    port.SetRS485Mode(true);
    EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR | hwfRequireDSR);
    EXPECT_FALSE(port.RTS());
    port.SetHWFlowOptions(hwfRequireCTS);
    EXPECT_FALSE(port.RS485Mode());
    port.SetRS485Mode(true);
    port.SetHWFlowOptions(hwfUseDTR); // neither RTS nor CTS: RS-485 stays
    EXPECT_TRUE(port.RS485Mode());
}

TEST(PortProperties, OnlyThePlainDeviceLayerAndBoundedSizes)
{
    TSxComPort port;
    for (TDeviceLayer l : {dlWin16, dlFossil, dlWinsock}) {
        port.SetDeviceLayer(l);
        EXPECT_EQ(port.DeviceLayer(), dlWin32);
    }
    port.SetTraceSize(5000000);
    EXPECT_EQ(port.TraceSize(), 4000000);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.LogSize(), 16000000);
}

TEST_F(PortTest, OpenWhileLoadingWaitsForLoaded)
{
    TSxComPort port(&gui);
    port.BeginLoading();
    port.SetComNumber(Com);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortPhase(), phClosed);
    // While loading, codes pass RaiseOnError unraised.
    EXPECT_EQ(RaiseOnError(&port, ecAlreadyOpen), ecAlreadyOpen);
    port.Loaded();
    EXPECT_EQ(port.PortPhase(), phOpen);

    // A failing open at Loaded is shown, not thrown, and Open returns to False.
    std::string shown;
    TSxCustomComPort::SetExceptionHandler([&](const std::exception& e) { shown = e.what(); });
    TSxComPort broken(&gui);
    broken.BeginLoading();
    broken.SetComNumber(8);
    broken.SetOpen(true);
    broken.Loaded();
    TSxCustomComPort::SetExceptionHandler({});
    EXPECT_FALSE(broken.Open());
    EXPECT_EQ(shown, ErrorMsg(ecBadId));
}

