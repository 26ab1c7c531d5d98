// The console's connection model played with random sequences of the console's buttons and of line events
// against the simulated Hayes modem and the simulated lift controller, in virtual time. After every step
// the invariants a user relies on are checked (TConsoleModel::BrokenInvariants, plus: a refused action sends
// no byte and says why); after every sequence, CLOSE, COM1, a dial and the link must work again. A failing
// sequence is shortened and printed so that it can be replayed (INI4ZAV_CONSOLE_SEED=n replays seed n).
//
// The line here plays the console's port and modem component: a device that opens and closes (and can be
// lost), DTR to the modem, the modem's replies recognised as the modem component does (CONNECT with its
// speed, BUSY, NO CARRIER, NO DIALTONE, ERROR, VOICE, the dial time-out), DCD from the modem.

#include "link/ConsoleModel.h"

#include "platform/VirtualTime.h"
#include "sim/HayesModem.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <utility>

using console::TPhase;

namespace {

const char* const Numbers[] = {"0661234500", "0661234510", "0661234511", "0661234512", "0661234513",
                               "0661234514", "0661234524", "0661234530", "0661234531", "0661234534"};

enum class TAct {
    Open1, Open2, Close, Init, Dial, HangUp, Sync, Notify, Request, Wait, CarrierDrop, DeviceLost,
    DeviceGone, DeviceBack, Count
};
const char* const ActNames[] = {"COM1", "COM2", "CLOSE", "INIT", "DIAL", "HangUp", "MST.SYNC", "PartnerName",
                                "RPF/F100", "wait", "carrier-drop", "device-lost", "device-gone", "device-back"};

struct TStep {
    TAct Act;
    int Arg; // the number's index for DIAL, the milliseconds for a wait
};

std::string Describe(const std::vector<TStep>& steps) {
    std::ostringstream out;
    for (const TStep& s : steps) {
        out << ActNames[static_cast<int>(s.Act)];
        if (s.Act == TAct::Dial) out << "(" << Numbers[s.Arg] << ")";
        if (s.Act == TAct::Wait) out << "(" << s.Arg << " ms)";
        out << " ";
    }
    return out.str();
}

// The port, the modem component and the modem on the line, in virtual time.
class TSimLine : public console::IConsoleLine {
public:
    // noModemLines: a pseudo-terminal between console and modem: DCD always on, DTR never reaches the modem.
    TSimLine(plat::VirtualTime& time, bool modemIgnoresDtr, bool noModemLines = false)
        : time_(time), noLines_(noModemLines) {
        modem_ = std::make_unique<sim::THayesModem>(
            [](sim::TFault fault) {
                sim::TControllerSettings s;
                s.Fault = fault;
                s.CarrierDropAfterMs = 1500;
                return std::make_unique<sim::TSimController>(s);
            },
            sim::TModemOptions{}, time_.NowMs());
        modem_->SetOutput([this](const std::string& bytes) { FromModem(bytes); });
        if (modemIgnoresDtr) modem_->Receive("AT&D0\r", time_.NowMs());
    }

    // ---- The device --------------------------------------------------------------------------
    bool OpenDevice() {
        if (gone_) return false;
        open_ = true;
        inbox_.clear();
        modem_->SetDTR(true, time_.NowMs());
        return true;
    }
    void CloseDevice(bool lost = false) {
        if (!open_) return;
        // A modem that ignores DTR dials on behind a device that went away: nobody can call it off.
        if (lost) orphanedDial_ = modem_->Mode() == sim::THayesModem::TMode::Dialing;
        open_ = false;
        hook_ = nullptr;
        engine_ = TEngine::Idle;
        modem_->SetDTR(false, time_.NowMs());
    }
    bool DeviceOpen() const { return open_; }
    bool Gone() const { return gone_; }
    void SetGone(bool gone) { gone_ = gone; }

    // ---- IConsoleLine --------------------------------------------------------------------------
    bool PortOpen() const override { return open_; }
    bool CarrierOn() override { return open_ && (noLines_ || (modem_->Lines() & sim::mlDCD) != 0); }
    bool ModemConnecting() const override { return engine_ != TEngine::Idle; }
    void ModemDial(const std::string& number) override {
        RequireOpen();
        if (engine_ != TEngine::Idle) throw std::runtime_error("das Modem ist noch beschaeftigt");
        // The replies are armed before the command goes out, as the modem component arms its triggers.
        engine_ = TEngine::Dialling;
        dialEndsMs_ = time_.NowMs() + 45000;
        Send("ATDT" + number + "\r");
    }
    void ModemCancelCall() override {
        RequireOpen();
        if (engine_ == TEngine::Idle) throw std::runtime_error("das Modem waehlt gerade nicht");
        Send("\r");
        engine_ = TEngine::Idle;
    }
    void ModemHangup() override {
        RequireOpen();
        if (engine_ != TEngine::Idle) throw std::runtime_error("das Modem ist noch beschaeftigt");
        if (!noLines_) modem_->SetDTR(false, time_.NowMs());
        Run(440); // the modem component's pause keeps the program's timers and events going
        if (open_ && !noLines_) modem_->SetDTR(true, time_.NowMs());
    }
    void LogMessage(const std::string& text) override { Memo.push_back(text); }
    void SendChar(uint8_t b) override { SendText(std::string(1, static_cast<char>(b))); }
    bool SendText(const std::string& bytes) override {
        if (!open_) return false;
        Send(bytes);
        return true;
    }
    std::string ReadChars(int count) override {
        const size_t n = std::min(static_cast<size_t>(std::max(count, 0)), inbox_.size());
        std::string got = inbox_.substr(0, n);
        inbox_.erase(0, n);
        return got;
    }
    void SetReceiveHook(zavcom::TReceiveHook hook) override { hook_ = std::move(hook); }

    // ---- Time ----------------------------------------------------------------------------------
    // Lets ms pass: the modem, the controller, the program's timers and the received data, in time order.
    void Run(int64_t ms) {
        const int64_t end = time_.NowMs() + ms;
        while (time_.NowMs() < end) {
            int64_t next = std::min<int64_t>(end, time_.NowMs() + 10);
            const int64_t due = modem_->NextDueMs();
            if (due > time_.NowMs()) next = std::min(next, due);
            const int64_t timer = time_.NextDueIn();
            if (timer > 0) next = std::min(next, time_.NowMs() + timer);
            time_.Advance(std::max<int64_t>(next - time_.NowMs(), 1));
            modem_->Advance(time_.NowMs());
            EngineTick();
            if (modem_->Mode() != sim::THayesModem::TMode::Dialing) orphanedDial_ = false;
            Deliver();
            const bool carrier = CarrierOn();
            if (carrier) {
                carrierOffSince_ = -1;
                if (carrierOnSince_ < 0) carrierOnSince_ = time_.NowMs();
            } else {
                carrierOnSince_ = -1;
                if (carrierOffSince_ < 0) carrierOffSince_ = time_.NowMs();
            }
        }
    }
    console::TLineFacts Facts() const {
        console::TLineFacts f;
        f.DeviceOpen = open_;
        f.CarrierOn = open_ && (modem_->Lines() & sim::mlDCD) != 0;
        f.ModemDialling = open_ && modem_->Mode() == sim::THayesModem::TMode::Dialing && !orphanedDial_;
        f.CarrierOffForMs = carrierOffSince_ < 0 ? 0 : time_.NowMs() - carrierOffSince_;
        f.CarrierOnForMs = carrierOnSince_ < 0 ? 0 : time_.NowMs() - carrierOnSince_;
        return f;
    }
    // The partner ends the call (the modem drops its carrier).
    void DropCarrier() {
        if (modem_->Mode() == sim::THayesModem::TMode::Online) {
            modem_->SetDTR(false, time_.NowMs()); // a DTR drop is the only outside way; &D0 ignores it
            modem_->SetDTR(open_, time_.NowMs());
        }
    }

    // The modem's reply lines since the last call.
    std::vector<std::string> TakeLines() { return std::exchange(lines_, {}); }
    std::function<void()> OnConnected, OnConnectFailed;
    std::function<void(int32_t)> OnLineSpeed;
    std::vector<std::string> Memo;
    size_t BytesSent = 0;

private:
    enum class TEngine { Idle, Dialling, WaitTags };

    void RequireOpen() const {
        if (!open_) throw std::runtime_error("der Port ist geschlossen");
    }
    static std::string Hex(const std::string& bytes) {
        std::string out;
        char buf[4];
        for (unsigned char c : bytes) {
            std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F ? "%c" : "<%02X>", c);
            out += buf;
        }
        return out;
    }
    void Trace(const char* dir, const std::string& bytes) const {
        if (std::getenv("INI4ZAV_CONSOLE_TRACE")) std::printf("%8lld %s %s\n", static_cast<long long>(time_.NowMs()), dir, Hex(bytes).c_str());
    }
    void Send(const std::string& bytes) {
        Trace(">", bytes);
        BytesSent += bytes.size();
        modem_->Receive(bytes, time_.NowMs());
    }
    void FromModem(const std::string& bytes) {
        if (!open_) return;
        Trace("<", bytes);
        inbox_ += bytes;
        for (char c : bytes) {
            if (c == '\r' || c == '\n') {
                if (!replyLine_.empty()) ReplyLine(replyLine_);
                replyLine_.clear();
            } else if (replyLine_.size() < 255) {
                replyLine_ += c;
            }
        }
    }
    void ReplyLine(const std::string& line) {
        lines_.push_back(line);
        if (engine_ != TEngine::Dialling) return;
        if (line.rfind("CONNECT", 0) == 0) {
            engine_ = TEngine::WaitTags;
            tagsEndMs_ = time_.NowMs() + 9 * 55;
            const int32_t speed = line.size() > 8 ? std::atoi(line.c_str() + 8) : 300;
            events_.push_back([this, speed] { if (OnLineSpeed) OnLineSpeed(speed); });
            return;
        }
        for (const char* failure : {"BUSY", "NO CARRIER", "NO DIALTONE", "ERROR", "VOICE"})
            if (line == failure) {
                engine_ = TEngine::Idle;
                events_.push_back([this] { if (OnConnectFailed) OnConnectFailed(); });
            }
    }
    void EngineTick() {
        if (engine_ == TEngine::WaitTags && time_.NowMs() >= tagsEndMs_) {
            engine_ = TEngine::Idle;
            events_.push_back([this] { if (OnConnected) OnConnected(); });
        }
        if (engine_ == TEngine::Dialling && time_.NowMs() >= dialEndsMs_) {
            Send("\r");
            engine_ = TEngine::Idle;
            events_.push_back([this] { if (OnConnectFailed) OnConnectFailed(); });
        }
    }
    // Modem events and received data reach the console one at a time, as the GUI thread's queue does.
    void Deliver() {
        while (!events_.empty()) {
            auto e = std::move(events_.front());
            events_.erase(events_.begin());
            e();
        }
        if (!open_ || inbox_.empty()) return;
        if (hook_) {
            auto hook = hook_;
            hook(static_cast<uint16_t>(std::min<size_t>(inbox_.size(), 4096)));
        } else {
            inbox_.clear(); // gathered as lines for the memo
        }
    }

    plat::VirtualTime& time_;
    std::unique_ptr<sim::THayesModem> modem_;
    bool open_ = false, gone_ = false, orphanedDial_ = false, noLines_ = false;
    std::string inbox_, replyLine_;
    zavcom::TReceiveHook hook_;
    TEngine engine_ = TEngine::Idle;
    int64_t dialEndsMs_ = 0, tagsEndMs_ = 0, carrierOffSince_ = -1, carrierOnSince_ = -1;
    std::vector<std::function<void()>> events_;
    std::vector<std::string> lines_;
};

// One clock for the whole run: the one link object keeps the timers of the clock it was made with.
plat::VirtualTime& SharedTime() {
    static auto* time = new plat::VirtualTime;
    return *time;
}

// The console's buttons as the console hands them to the model, on the simulated line.
class TRun {
public:
    explicit TRun(bool modemIgnoresDtr, bool noModemLines = false)
        : time(SharedTime()), line(time, modemIgnoresDtr, noModemLines) {
        zavcom::CreateZavCom(time); // the one link object; its timers are the first virtual clock's
        zavcom::ZavCom->Reset();
        zavcom::ZavCom->OnLinkError = nullptr;
        link = std::make_unique<console::TConsoleModel>(line, time);
        zavcom::ZavCom->SetBytePath(&line);
        line.OnConnected = [this] { link->ModemIsConnected(); };
        line.OnConnectFailed = [this] { link->ModemConnectFailed(); };
        line.OnLineSpeed = [this](int32_t s) { link->ModemLineSpeed(s); };
    }
    ~TRun() {
        zavcom::ZavCom->Reset();
        zavcom::ZavCom->OnLinkError = nullptr;
        zavcom::ZavCom->SetBytePath(nullptr);
    }

    // Plays one step; the text of a broken rule, or empty.
    std::string Play(const TStep& s) {
        const bool wasOpen = line.DeviceOpen();
        const size_t sentBefore = line.BytesSent, memoBefore = line.Memo.size();
        bool refusable = false;
        switch (s.Act) {
        case TAct::Open1:
        case TAct::Open2:
            link->PortClosing();
            line.CloseDevice();
            if (line.OpenDevice())
                link->PortOpened(s.Act == TAct::Open1 ? 1 : 2);
            else
                link->PortOpenFailed("COM1 nicht vorhanden");
            break;
        case TAct::Close:
            link->PortClosing();
            line.CloseDevice();
            link->PortClosed();
            break;
        case TAct::Init:
            refusable = true;
            if (link->RequireOpenPort("INIT")) line.SendText("ATE0\r");
            break;
        case TAct::Dial:
            refusable = true;
            link->DialOut(Numbers[s.Arg], nullptr, [this](const std::string&) { link->ShowFailure("WAHL-FEHLER"); },
                          45);
            break;
        case TAct::HangUp:
            refusable = true;
            link->HangUp();
            break;
        case TAct::Sync:
            refusable = true;
            link->StartSyncByHand();
            break;
        case TAct::Notify:
            refusable = true;
            link->RequestPartnerNameByHand();
            break;
        case TAct::Request:
            refusable = true;
            if (link->RequireOpenPort("RPF"))
                zavcom::ZavCom->Send(zavcom::TZavCom::BuildFrame(std::string("\xF1\x00", 2)), nullptr);
            break;
        case TAct::Wait: line.Run(s.Arg); break;
        case TAct::CarrierDrop: line.DropCarrier(); break;
        case TAct::DeviceLost:
            if (line.DeviceOpen()) {
                line.CloseDevice(true);
                link->PortLost("COM1: Geraet nicht mehr erreichbar, Port geschlossen");
            }
            break;
        case TAct::DeviceGone: line.SetGone(true); break;
        case TAct::DeviceBack: line.SetGone(false); break;
        case TAct::Count: break;
        }
        if (refusable && !wasOpen) {
            if (line.BytesSent != sentBefore) return "eine abgelehnte Aktion hat Bytes gesendet";
            if (line.Memo.size() == memoBefore) return "eine abgelehnte Aktion sagt nicht warum";
        }
        line.Run(20);
        return Broken();
    }

    std::string Broken() const {
        const auto broken = link->BrokenInvariants(line.Facts());
        if (broken.empty()) return {};
        return broken.front() + " (Phase " + console::PhaseName(link->Phase()) + ")";
    }

    // After any sequence: CLOSE, COM1 and a dial bring the link up again.
    std::string Recover() {
        line.SetGone(false);
        for (const TStep& s : {TStep{TAct::Close, 0}, TStep{TAct::Open1, 0}}) {
            const std::string broken = Play(s);
            if (!broken.empty()) return broken;
        }
        if (!link->View().PortOpen) return "COM1 oeffnet nicht wieder";
        // A modem that kept its call is hung up first, as a user would.
        if (line.Facts().CarrierOn) {
            Play({TAct::HangUp, 0});
            for (int i = 0; i < 100 && (line.Facts().CarrierOn || link->Phase() != TPhase::Idle); ++i)
                line.Run(100);
            if (line.Facts().CarrierOn) return "HangUp legt nicht auf";
        }
        // A modem left dialling behind a lost device, or ending a call its partner dropped, answers the first
        // dial with NO CARRIER: dial again, as a user would.
        for (int attempt = 0; attempt < 3 && link->Phase() != TPhase::LinkUp; ++attempt) {
            const std::string broken = Play({TAct::Dial, 0});
            if (!broken.empty()) return broken;
            for (int i = 0; i < 300 && link->Phase() != TPhase::LinkUp && link->Phase() != TPhase::Idle; ++i) {
                line.Run(100);
                const std::string b = Broken();
                if (!b.empty()) return b;
            }
        }
        if (link->Phase() != TPhase::LinkUp) return std::string("keine Verbindung nach CLOSE, COM1, Wahl (Phase ") +
                                                     console::PhaseName(link->Phase()) + ")";
        return {};
    }

    plat::VirtualTime& time;
    TSimLine line;
    std::unique_ptr<console::TConsoleModel> link;
};

std::vector<TStep> RandomSteps(std::mt19937& rng) {
    // How often each action comes, in the order of TAct: mostly what a user does on a call.
    static const double weights[] = {6, 2, 3, 2, 6, 5, 2, 2, 2, 0, 2, 1, 1, 1};
    static_assert(std::size(weights) == static_cast<size_t>(TAct::Count));
    std::discrete_distribution<int> act(std::begin(weights), std::end(weights));
    std::uniform_int_distribution<int> length(1, 12), number(0, static_cast<int>(std::size(Numbers)) - 1),
        wait(0, 4);
    const int waits[] = {50, 300, 1500, 9000, 50000};
    std::vector<TStep> steps;
    if (rng() % 5 != 0) steps.push_back({TAct::Open1, 0}); // most sessions begin with an open port
    const int n = length(rng);
    for (int i = 0; i < n; ++i) {
        TStep s{static_cast<TAct>(act(rng)), 0};
        if (s.Act == TAct::Dial) s.Arg = number(rng);
        steps.push_back(s);
        // Most actions are followed by time for the line to answer.
        if (wait(rng) > 0) steps.push_back({TAct::Wait, waits[wait(rng)]});
    }
    return steps;
}

// The first broken rule of a sequence (with its step), or empty.
std::string Replay(const std::vector<TStep>& steps, bool modemIgnoresDtr) {
    TRun run(modemIgnoresDtr);
    for (size_t i = 0; i < steps.size(); ++i) {
        const std::string broken = run.Play(steps[i]);
        if (!broken.empty()) return "Schritt " + std::to_string(i + 1) + ": " + broken;
    }
    std::string broken = run.Recover();
    if (broken.empty()) return {};
    broken = "danach: " + broken;
    if (std::getenv("INI4ZAV_CONSOLE_SEED"))
        for (const std::string& line : run.line.Memo)
            broken += "\n    | " + line;
    return broken;
}

// Drops steps while the sequence still fails, so the printed one is short.
std::vector<TStep> Shorten(std::vector<TStep> steps, bool modemIgnoresDtr) {
    for (size_t i = steps.size(); i-- > 0;) {
        std::vector<TStep> shorter = steps;
        shorter.erase(shorter.begin() + static_cast<long>(i));
        if (!Replay(shorter, modemIgnoresDtr).empty()) steps = shorter;
    }
    return steps;
}

int SequenceCount() {
    const char* env = std::getenv("INI4ZAV_CONSOLE_SEQUENCES");
    return env ? std::max(1, std::atoi(env)) : 4000;
}

} // namespace

TEST(ConsoleModel, RandomSequencesKeepTheDisplayTrueToTheLine) {
    const char* only = std::getenv("INI4ZAV_CONSOLE_SEED");
    const int count = only ? 1 : SequenceCount();
    for (int i = 0; i < count; ++i) {
        const unsigned seed = only ? static_cast<unsigned>(std::atoi(only)) : static_cast<unsigned>(i);
        std::mt19937 rng(seed);
        const bool modemIgnoresDtr = rng() % 3 == 0;
        const std::vector<TStep> steps = RandomSteps(rng);
        const std::string broken = Replay(steps, modemIgnoresDtr);
        if (broken.empty()) continue;
        const auto shortest = Shorten(steps, modemIgnoresDtr);
        FAIL() << "Folge " << seed << (modemIgnoresDtr ? " (Modem mit &D0)" : "") << ": "
               << Replay(shortest, modemIgnoresDtr) << "\n  gekuerzt: " << Describe(shortest)
               << "\n  ganz: " << Describe(steps) << "\n  wiederholen: INI4ZAV_CONSOLE_SEED=" << seed;
    }
}

// A happy call through the model, step by step as the console shows it.
TEST(ConsoleModel, ACallGoesFromDialToLinkUpAndBackOnCarrierLoss) {
    TRun run(false);
    run.Play({TAct::Open1, 0});
    run.Play({TAct::Dial, 9}); // the controller asks for the carrier to be dropped 1.5 s into the session
    EXPECT_EQ(run.link->Phase(), TPhase::Dialling);
    run.line.Run(1000);
    EXPECT_EQ(run.link->View().DialStatus.rfind("noch ", 0), 0u);
    for (int i = 0; i < 200 && run.link->Phase() != TPhase::LinkUp; ++i)
        run.line.Run(100);
    ASSERT_EQ(run.link->Phase(), TPhase::LinkUp);
    const console::TConsoleView up = run.link->View();
    EXPECT_TRUE(up.ConnectLit && up.DataMode && up.LinkUp);
    EXPECT_EQ(up.DialStatus, "Connected");
    for (int i = 0; i < 100 && run.link->Phase() != TPhase::Idle; ++i)
        run.line.Run(100);
    const console::TConsoleView down = run.link->View();
    EXPECT_EQ(run.link->Phase(), TPhase::Idle);
    EXPECT_FALSE(down.ConnectLit || down.DataMode || down.LinkUp);
    EXPECT_EQ(down.ConnectLabel, "NC");
    EXPECT_EQ(down.DialStatus, "getrennt");
    EXPECT_EQ(down.Seconds, "");
}

// A modem behind a pseudo-terminal: DCD says nothing and DTR does not reach it. HangUp asks with "+++" and
// ATH0, and the modem's OK ends the call; the next dial goes out.
TEST(ConsoleModel, WithoutModemLinesTheModemsAnswerEndsTheCall) {
    TRun run(false, true);
    run.Play({TAct::Open1, 0});
    run.Play({TAct::Dial, 0});
    for (int i = 0; i < 200 && run.link->Phase() != TPhase::LinkUp; ++i)
        run.line.Run(100);
    ASSERT_EQ(run.link->Phase(), TPhase::LinkUp);
    run.Play({TAct::HangUp, 0});
    EXPECT_EQ(run.link->Phase(), TPhase::HangingUp);
    EXPECT_TRUE(run.link->View().ConnectLit);
    // The console gathers the modem's lines now; this line plays that part.
    for (int i = 0; i < 80 && run.link->Phase() == TPhase::HangingUp; ++i) {
        run.line.Run(100);
        for (const std::string& l : run.line.TakeLines())
            run.link->ModemLine(l);
    }
    EXPECT_EQ(run.link->Phase(), TPhase::Idle);
    EXPECT_EQ(run.line.Memo.back(), "Verbindung beendet: das Modem hat aufgelegt (ATH0)");
    EXPECT_TRUE(run.link->DialOut(Numbers[0], nullptr, nullptr, 45));
}
