#pragma once
// A port on a stand-in GUI thread (the test's own thread pumps it) that gathers what it receives.

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/port/SxComPort.h"

#include <gtest/gtest.h>

#include <string>

namespace simtest {

class ModemPortTest : public ::testing::Test {
protected:
    static constexpr int Deadline = 30000; // generous: a call takes several seconds of real time

    void TearDown() override {
        port.SetOpen(false);
        EXPECT_TRUE(gui.PumpUntil([] { return sx::TSxCustomComPort::PendingReleases() == 0; }, Deadline));
        plat::ClearComDevices();
    }
    void OpenOn(uint16_t com, const std::string& device) {
        plat::SetComDevice(com, device);
        port.SetComNumber(com);
        port.SetOnTriggerAvail([this](sx::TSxCustomComPort& p, uint16_t count) {
            for (int i = 0; i < count; ++i)
                rx += static_cast<char>(p.GetChar());
        });
        port.SetOpen(true);
    }
    bool PumpUntil(const std::function<bool()>& pred) { return gui.PumpUntil(pred, Deadline); }
    // Waits until the received text holds text; true when it came.
    bool Await(const std::string& text) {
        return PumpUntil([&] { return rx.find(text) != std::string::npos; });
    }
    // Sends a line and returns what came back up to and including the result.
    std::string Command(const std::string& line, const std::string& result = "OK\r\n") {
        rx.clear();
        port.PutString(line);
        EXPECT_TRUE(Await(result)) << "sent " << line << ", got " << rx;
        return rx;
    }

    plat::QueueHandoff gui;
    sx::TSxComPort port{&gui};
    std::string rx;
};

} // namespace simtest
