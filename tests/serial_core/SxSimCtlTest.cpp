// The device "simctl": the simulated lift controller straight on a simulated line, run in real time by
// its own host thread. The test is the near end, as a port would be.

#include "serial/core/SxDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

using namespace sx;

namespace {

constexpr int Deadline = 20000;
constexpr uint8_t Dcd = 0x80;

// Waits on the device's events until pred holds; false when the deadline passed first.
bool WaitFor(ISxDevice& dev, const std::function<bool()>& pred, int deadlineMs = Deadline) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::atomic<bool> timedOut{false};
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lk(m);
        if (!cv.wait_for(lk, std::chrono::milliseconds(deadlineMs), [&] { return done; })) {
            timedOut = true;
            dev.CancelWait();
        }
    });
    bool ok = false;
    while (!(ok = pred()) && !timedOut)
        dev.WaitEvent();
    {
        std::lock_guard<std::mutex> g(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
    return ok;
}

class SimCtlDevice : public ::testing::Test {
protected:
    void Open(const std::string& fault) {
        name = "simctl:" + fault;
        dev = SxCreateDevice(name);
        ASSERT_EQ(dev->Open(name, 4096, 4096), 0);
    }
    void TearDown() override {
        if (dev) dev->Close();
    }
    bool Carrier() {
        uint8_t lines = 0;
        return dev->ModemLines(lines) >= 0 && (lines & Dcd) != 0;
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(dev->Write(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }
    // The next n bytes from the controller.
    std::string Take(size_t n) {
        std::string got;
        WaitFor(*dev, [&] {
            uint8_t buf[64];
            const int r = dev->Read(buf, static_cast<int>(std::min(sizeof buf, n - got.size())));
            if (r > 0) got.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(r));
            return got.size() >= n;
        });
        return got;
    }

    std::string name;
    std::unique_ptr<ISxDevice> dev;
};

TEST_F(SimCtlDevice, CarrierFollowsDtrAndTheControllerAnswers) {
    Open("keiner");
    dev->SetDTR(false);
    EXPECT_FALSE(Carrier());
    dev->SetDTR(true);
    ASSERT_TRUE(WaitFor(*dev, [&] { return Carrier(); }));

    Send("\x01");
    EXPECT_EQ(Take(3), "\x06\x15\x15");
    Send("\x01");
    EXPECT_EQ(Take(1), "\x06");
    Send(std::string("\x02\x04\x28\xFF\x90\xBA", 6)); // the partner-name request
    EXPECT_EQ(Take(2), "\x06\x01");
    Send("\x06");
    const std::string answer = Take(16);
    EXPECT_EQ(answer, std::string("\x02\x0E\x28\xFF\x91SIM-ZAV 1\x00", 15) + answer.back());
    Send("\x06");

    // DTR off ends the call; on again is a new call that must synchronise again.
    dev->SetDTR(false);
    ASSERT_TRUE(WaitFor(*dev, [&] { return !Carrier(); }));
    dev->SetDTR(true);
    ASSERT_TRUE(WaitFor(*dev, [&] { return Carrier(); }));
    Send("\x01");
    EXPECT_EQ(Take(3), "\x06\x15\x15");
}

TEST_F(SimCtlDevice, TheDeviceNameChoosesTheFault) {
    Open("nak");
    dev->SetDTR(true);
    ASSERT_TRUE(WaitFor(*dev, [&] { return Carrier(); }));
    Send("\x01");
    EXPECT_EQ(Take(3), "\x06\x15\x15");
    Send("\x01");
    EXPECT_EQ(Take(1), "\x15");
}

// A controller that hangs up drops the carrier until DTR is dropped and raised again.
TEST_F(SimCtlDevice, HangUpHoldsTheCarrierOffUntilDtrComesAgain) {
    Open("auflegen");
    dev->SetDTR(true);
    ASSERT_TRUE(WaitFor(*dev, [&] { return Carrier(); }));
    Send("\x01"); // the session starts with the synchronisation
    EXPECT_EQ(Take(3), "\x06\x15\x15");
    ASSERT_TRUE(WaitFor(*dev, [&] { return !Carrier(); }));
    dev->SetDTR(false);
    dev->SetDTR(true);
    ASSERT_TRUE(WaitFor(*dev, [&] { return Carrier(); }));
}

} // namespace
