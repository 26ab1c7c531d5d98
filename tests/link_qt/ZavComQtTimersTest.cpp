// The link on the Qt timer adapter, as the program runs it, against the real clock: its receive window
// and its answer time-out may close late, never early.

#include "link/zavcom.h"
#include "platform/qt/QtTime.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>

using namespace zavcom;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "link_qt_timing_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool RunUntil(const std::function<bool()>& done, int guardMs = 30000) {
    QEventLoop loop;
    QTimer check, guard;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    QObject::connect(&guard, &QTimer::timeout, [&] { loop.quit(); });
    check.start(1);
    guard.setSingleShot(true);
    guard.start(guardMs);
    if (!done()) loop.exec();
    return done();
}

// The console's byte path: notes when each byte was written.
class Wire : public IZavBytePath {
public:
    void SendChar(uint8_t b) override {
        Bytes += static_cast<char>(b);
        Times.push_back(Clock::now());
    }
    bool SendText(const std::string& bytes) override {
        for (char c : bytes) SendChar(static_cast<uint8_t>(c));
        return true;
    }
    std::string ReadChars(int count) override {
        std::string s = Input.substr(0, static_cast<size_t>(count));
        Input.erase(0, s.size());
        return s;
    }
    void SetReceiveHook(TReceiveHook hook) override { Hook = std::move(hook); }
    void Deliver(const std::string& bytes) {
        Input += bytes;
        auto hook = Hook;
        if (hook) hook(static_cast<uint16_t>(bytes.size()));
    }
    std::string Bytes, Input;
    std::vector<Clock::time_point> Times;
    TReceiveHook Hook;
};

} // namespace

// A peer that starts an answer and stops: the link refuses it with NAK no sooner than 1000 ms after
// its ACK, several times over; then a request whose peer falls silent is given up no sooner than
// 5000 ms after it was sent.
TEST(ZavComOnQtTimers, ReceiveWindowAndAnswerTimeOutNeverCloseEarly) {
    App();
    plat::QtTimerService timers;
    Wire wire;
    TZavCom link(timers, &wire);
    std::vector<std::string> errors;
    link.OnLinkError = [&](const std::string& t) { errors.push_back(t); };

    // The receive hook is installed by a request; take it through to the idle state first.
    ASSERT_TRUE(link.SendNoAnswer(TZavCom::BuildFrame("\xF1\x00"), nullptr));
    wire.Deliver("\x06");
    wire.Deliver("\x06");
    ASSERT_EQ(link.State, lsIdle);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        wire.Bytes.clear();
        wire.Times.clear();
        wire.Deliver("\x01");
        ASSERT_EQ(wire.Bytes, "\x06");
        const Clock::time_point acked = wire.Times[0];
        wire.Deliver(std::string("\x02\x10\x28\xFF\xFF", 5)); // LEN 16: never completes
        ASSERT_TRUE(RunUntil([&] { return wire.Bytes.size() == 2; }));
        EXPECT_EQ(wire.Bytes[1], '\x15');
        const double window = std::chrono::duration<double, std::milli>(wire.Times[1] - acked).count();
        EXPECT_GE(window, 1000.0);
    }

    const auto sent = Clock::now();
    ASSERT_TRUE(link.Send(TZavCom::BuildFrame("\xF1\x01"), [](const std::string&) {}));
    ASSERT_TRUE(RunUntil([&] { return !errors.empty(); }));
    EXPECT_GE(MsSince(sent), static_cast<double>(AnswerTimeoutMs));
    EXPECT_EQ(errors, std::vector<std::string>{LinkErrorText});
}
