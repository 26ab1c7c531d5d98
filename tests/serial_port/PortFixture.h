#pragma once
// Test helpers: a pseudo-terminal the port opens by its slave path, and a port on a stand-in GUI
// thread (the test's own thread pumps it).

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/port/SxComPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace sxtest {

struct Pty {
    int Master = -1;
    std::string SlavePath;
    Pty()
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0) SlavePath = ptsname(Master);
    }
    ~Pty() { Close(); }
    void Close()
    {
        if (Master >= 0) close(Master);
        Master = -1;
    }
    void Send(const std::string& s) const { ASSERT_EQ(write(Master, s.data(), s.size()), ssize_t(s.size())); }
    // What the port sent: reads until want bytes arrived or the deadline passed.
    std::string Receive(size_t want, int timeoutMs = 5000) const
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd p{Master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[256];
            const ssize_t n = read(Master, buf, std::min(sizeof buf, want - got.size()));
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    termios Attr() const
    {
        termios t{};
        tcgetattr(Master, &t);
        return t;
    }
};

class PortTest : public ::testing::Test {
protected:
    static constexpr uint16_t Com = 7;
    static constexpr int Deadline = 5000;

    void SetUp() override
    {
        ASSERT_FALSE(pty.SlavePath.empty());
        plat::ClearComDevices();
        plat::SetComDevice(Com, pty.SlavePath);
        plat::SetComDevice(8, "/nonexistent/ttyX");
    }
    void TearDown() override
    {
        // Ports freed while a delivery to them was in flight finish on the GUI thread.
        EXPECT_TRUE(PumpUntil([] { return sx::TSxCustomComPort::PendingReleases() == 0; }));
        plat::ClearComDevices();
    }

    bool PumpUntil(const std::function<bool()>& pred) { return gui.PumpUntil(pred, Deadline); }

    Pty pty;
    plat::QueueHandoff gui;
};

} // namespace sxtest
