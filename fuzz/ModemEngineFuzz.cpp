// Drives the modem engine on a dispatcher over the simulated line, in virtual time, with an arbitrary
// script of reply chunks (built from modem words, digits, line ends and raw bytes), timer expiries,
// operations, setting changes, input flushes and engine restarts. It must never crash or hang; an
// idle engine holds no trigger; a cancel or a stop always leaves it idle; its reply line and speed stay
// bounded; a connect failure always comes before the reason for it.

#include "platform/VirtualTime.h"
#include "serial/core/SxDispatcher.h"
#include "serial/device/SxDevices.h"
#include "serial/device/SxSimLine.h"
#include "serial/errors/SxErrors.h"
#include "serial/modem/SxModemEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace sx;

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class Script {
public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool More() const { return p_ < end_; }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    std::string Bytes(size_t n)
    {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

const std::string Words[] = {"OK", "CONNECT", "BUSY", "VOICE", "NO CARRIER", "NO DIALTONE", "ERROR", "RING",
                             "connect", "busy", "LAPM", "V42BIS", "\r", "\n", "\r\n", " ", "9600", "0", "1200",
                             "123456789012", std::string(1, '\0'), "CONNECT 2400\r\n", "PROTOCOL: LAPM"};

class Host : public ISxModemHost {
public:
    Host(plat::VirtualTime& clock, TSxBaseDispatcher& d) : Clock(clock), D(d) {}
    int PutChar(uint8_t c) override { return D.PutChar(c); }
    void Pause(int32_t ticks, bool) override
    {
        if (ticks > 0) Clock.Advance(static_cast<int64_t>(std::min(ticks, 1000)) * TickMs);
    }
    void SetLineSpeed(int32_t speed) override { Check(speed >= 0 && speed <= 999999999, "speed bounded"); }
    void Message(uint16_t code, int32_t data) override
    {
        Check(code >= emOk && code <= emCommandProcessed, "known message");
        // The reason for a failed connect follows the failure at once.
        if (code == emBusy || code == emVoice || code == emNoCarrier || code == emNoDialTone || code == emDialTimeout ||
            code == emAnswerTimeout)
            Check(Last == emConnectFailed, "connect failed before its reason");
        if (code == emCommandProcessed) Check(data >= 1 && data <= 3, "command outcome");
        if (code == emDialCount || code == emAnswerCount) Check(data > 0, "count above 0");
        Last = code;
        ++Count;
    }
    plat::VirtualTime& Clock;
    TSxBaseDispatcher& D;
    uint16_t Last = 0;
    size_t Count = 0;
};

TSxModemSettings Defaults()
{
    TSxModemSettings s;
    s.InitCmd = "AT^M";
    s.DialCmd = "ATDT";
    s.DialTerm = "^M";
    s.DialCancel = "^M";
    s.HangupCmd = "DTR";
    s.ConfigCmd = "AT^M";
    s.AnswerCmd = "ATA^M";
    s.Replies = {"OK", "CONNECT", "BUSY", "VOICE", "NO CARRIER", "NO DIALTONE", "ERROR", "RING"};
    s.ErrorCorrectionTags = {"LAPM", "MNP"};
    s.DataCompressionTags = {"V42BIS"};
    s.DialTimeout = 3;
    s.AnswerTimeout = 2;
    s.CmdTimeout = 20;
    s.AutoAnswerRings = 2;
    s.RingWaitTimeout = 30;
    return s;
}

void CheckEngine(const TSxModemEngine& e)
{
    Check(e.ReplyLine().size() <= static_cast<size_t>(ReplyLineSize), "reply line bounded");
    Check(e.LineSpeed() >= 0 && e.LineSpeed() <= 999999999, "line speed bounded");
    if (e.State() == esIdle) Check(e.ArmedTriggers() == 0, "an idle engine holds no trigger");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::shared_ptr<TSxSimLine> line = TSxSimLine::Get("fuzz-modem");
    plat::VirtualTime clock;
    TSxBaseDispatcher d(nullptr, nullptr, &clock);
    if (d.OpenDevice(SxCreateSimDevice(), "sim:fuzz-modem", 19200, 0, 8, 1, 4096, 256, true, true, false) != 0)
        return 0;
    d.SetAvailLevel(1);
    Host host(clock, d);
    TSxModemSettings settings = Defaults();
    auto engine = std::make_shared<TSxModemEngine>(d, host, settings);
    Check(engine->Start() == 0, "start");

    auto round = [&](uint32_t events) {
        d.RunRound(events);
        d.WriteOutput();
        line->Read(1 << 16, 0);
        CheckEngine(*engine);
    };
    auto stopAndCheck = [&] {
        engine->Stop();
        Check(engine->State() == esIdle, "stopped engine idle");
        Check(engine->ArmedTriggers() == 0, "stopped engine holds no trigger");
        Check(!engine->IsConnecting(), "stopped engine not connecting");
    };

    Script s(data, size);
    int steps = 0;
    while (s.More() && ++steps < 2000) {
        const uint8_t op = s.Byte();
        switch (op % 12) {
        case 0:
        case 1: { // a chunk of modem words
            std::string chunk;
            const int n = 1 + s.Byte() % 8;
            for (int i = 0; i < n; ++i) chunk += Words[s.Byte() % (sizeof Words / sizeof Words[0])];
            line->Write(chunk);
            round(evRxChar);
            break;
        }
        case 2: { // raw bytes
            line->Write(s.Bytes(s.Byte()));
            round(evRxChar);
            break;
        }
        case 3: { // time passes
            const int ticks = 1 + s.Byte() % 48;
            for (int i = 0; i < ticks; ++i) {
                clock.Advance(TickMs);
                round(0);
            }
            break;
        }
        case 4: {
            const int rc = engine->Dial(s.Bytes(s.Byte() % 16));
            Check(rc == 0 || rc == ecModemBusy || rc == ecOutputBufferTooSmall || rc == ecModemNotStarted, "dial result");
            CheckEngine(*engine);
            break;
        }
        case 5: {
            const int rc = engine->SendCommand(s.Byte() & 1 ? settings.InitCmd : "+++~ATH0^M");
            Check(rc == 0 || rc == ecModemBusy || rc == ecOutputBufferTooSmall || rc == ecModemNotStarted, "command result");
            CheckEngine(*engine);
            break;
        }
        case 6: {
            const EngineState before = engine->State();
            const int rc = engine->CancelCall();
            if (before == esIdle || before == esCommand) {
                Check(rc == ecModemNotDialing, "cancel refused while not dialling");
                Check(engine->State() == before, "a refused cancel changes nothing");
            } else {
                Check(rc == 0, "cancel accepted while connecting");
                Check(engine->State() == esIdle, "cancel leaves the engine idle");
                Check(engine->ArmedTriggers() == 0, "cancel drops everything");
            }
            break;
        }
        case 7:
            if (s.Byte() & 1) engine->Answer();
            else engine->AutoAnswer();
            CheckEngine(*engine);
            break;
        case 8: { // other settings
            settings.Replies[s.Byte() % rpCount] = Words[s.Byte() % (sizeof Words / sizeof Words[0])].substr(0, 21);
            settings.ErrorCorrectionTags = {Words[s.Byte() % (sizeof Words / sizeof Words[0])].substr(0, 21)};
            settings.DialTimeout = s.Byte() % 6;
            settings.CmdTimeout = s.Byte() % 40;
            settings.LockDTE = s.Byte() & 1;
            settings.TildeDelay = s.Byte() % 4;
            settings.CharDelay = s.Byte() % 2;
            engine->SetTimings(settings);
            const bool idle = engine->State() == esIdle;
            const int rc = engine->SetStrings(settings);
            Check(idle ? rc == 0 : rc == ecModemBusy, "strings only while idle");
            break;
        }
        case 9:
            d.ClearInput();
            break;
        case 10: // the port closes and a new engine starts
            stopAndCheck();
            engine = std::make_shared<TSxModemEngine>(d, host, settings);
            Check(engine->Start() == 0, "restart");
            break;
        case 11: // a line error or hang-up round
            round(evErr | evRLSD);
            break;
        }
    }
    stopAndCheck();
    d.Close();
    return 0;
}
