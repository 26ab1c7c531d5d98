// The console and the modem: the init strings, the modem test with its identification, the hang-up, and
// the modem's events handed from the dispatch thread to the GUI thread in order. The buttons call it.

#include "link/port.h"

#include "config/ed_ini.h"
#include "link/PortPrivate.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"
#include "platform/qt/QtTime.h"

#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

// ---- Modem --------------------------------------------------------------------------------------

void TMyComPort::Wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void TMyComPort::SendInitStrings(const std::string& i1, const std::string& i2, const std::string& i3) {
    LastLine.clear();
    OnOkLine = nullptr;
    SendText(EchoOffCommand + CR);
    SendText(i1 + CR);
    Wait(200);
    SendText(i2 + CR);
    Wait(200);
    SendText(i3 + CR);
    Wait(200);
}

void TMyComPort::ModemInit() {
    if (!Model.RequireOpenPort("INIT")) return;
    Model.ModemCommandStarted();
    ModemUsed = true;
    LocalMode = true;
    const TIniStore& ini = ToolIni();
    const std::string i1 = ini.ReadString("Modem", "i1", "");
    const std::string i2 = ini.ReadString("Modem", "i2", "");
    const std::string i3 = ini.ReadString("Modem", "i3", "");
    AskCommand = ini.ReadString("modem", "askmodem", "AT");
    EchoOffCommand = ini.ReadString("modem", "echooff", "AT");
    LogSent("MyComport/Modem-Init-Strings senden");
    SendInitStrings(i1, i2, i3);
    // The port may have gone during the waits.
    if (!Model.RequireOpenPort("INIT")) return;
    SxModem1.SetAutoStart(true);
    try {
        Modem([&] { SxModem1.Initialize(); });
    } catch (const std::exception& e) {
        ShowFailure(std::string("INIT: ") + e.what());
    }
}

void TMyComPort::ModemTest(TTextProc done) {
    if (!PortOpen()) {
        // Nothing is sent; the test's result says why instead of blaming the modem.
        Model.ModemTestStarted();
        ShowFailure(std::string("MODEMTEST= (") + console::PortClosedText + ")");
        return;
    }
    ModemInit();
    StartModemTest(std::move(done));
    ModemUsed = true;
}

void TMyComPort::StartModemTest(TTextProc done) {
    Model.ModemTestStarted();
    if (PortOpen() && SxStatusLight4->Lit()) {
        OnModemTestDone = std::move(done);
        LocalMode = true;
        Model.ShowMessage("");
        LastLine.clear();
        OnOkLine = [this] { ModemTestStep1(); };
        SendText(std::string("AT") + CR);
    } else if (done) {
        done("");
    }
}

void TMyComPort::ModemTestStep1() {
    Model.ShowMessage("Modem " + std::to_string(SxComPort1.ComNumber()));
    Model.SetPortLabel(PortDescription + "/MODEM");
    Model.ModemIdentified(NoModemIdText);
    LastLine.clear();
    ModemTestAnswer.clear();
    OnOkLine = [this] { ModemTestStep2(); };
    LogMessage("*****");
    SendText(plat::AnsiUpperCase(AskCommand) + CR);
    // A command without an answer line of its own ("ATZ", "ATE0") must not keep the test armed.
    modemTestTimer_->SetInterval(ModemTestTimeoutMs);
    modemTestTimer_->SetEnabled(true);
}

void TMyComPort::ModemTestTimedOut() {
    modemTestTimer_->SetEnabled(false);
    if (!OnModemTestDone && !OnOkLine) return;
    OnOkLine = nullptr;
    const std::string text = "keine Antwort auf " + plat::AnsiUpperCase(AskCommand) + " (Kennung)";
    if (OnModemTestDone) {
        auto done = std::move(OnModemTestDone);
        OnModemTestDone = nullptr;
        done(plat::FromQ(ComPortLabel->text()));
    }
    ShowFailure(Model.View().Message + ", " + text);
}

void TMyComPort::NoteModemTestLine(const std::string& line) {
    // An echo of the test's own commands is no answer.
    const std::string upper = plat::AnsiUpperCase(plat::Trim(line));
    if (upper == "AT" || upper == plat::AnsiUpperCase(plat::Trim(AskCommand))) return;
    ModemTestAnswer = line;
}

void TMyComPort::ModemTestStep2() {
    // The OK of a command sent before the identification (the modem's own initialisation, the test's
    // "AT") can arrive after the first step; the identification's OK is the one that follows its
    // answer. A plain "AT" as identification command has no answer and takes the next OK.
    const bool plainAt = plat::AnsiUpperCase(plat::Trim(AskCommand)) == "AT";
    if (ModemTestAnswer.empty() && !plainAt) return;
    Model.ModemIdentified(ModemTestAnswer.empty() ? Model.View().Message : ModemTestAnswer);
    OnOkLine = nullptr;
    modemTestTimer_->SetEnabled(false);
    if (OnModemTestDone) {
        auto done = std::move(OnModemTestDone);
        OnModemTestDone = nullptr;
        done(plat::FromQ(ComPortLabel->text()));
    }
}

void TMyComPort::HangUpModem() {
    ReceiveHook = nullptr;
    if (!SxComPort1.Open()) return;
    Modem([&] {
        if (SxModem1.IsConnecting()) SxModem1.CancelCall();
        SxModem1.Hangup();
    });
}

// ---- Modem events -------------------------------------------------------------------------------

void TMyComPort::PostModemEvent(std::function<void()> event) {
    {
        std::lock_guard<std::mutex> lock(modemEvents_->Lock);
        modemEvents_->Events.push_back(std::move(event));
    }
    std::weak_ptr<bool> alive = alive_;
    plat::QtGuiHandoff::Instance().PostToGuiThread([this, alive] {
        const auto living = alive.lock();
        if (living && *living) RunModemEvents();
    });
}

void TMyComPort::RunModemEvents() {
    auto queue = modemEvents_;
    // A handler that waits with the GUI alive lets the next posting arrive; it runs after this one.
    if (queue->Running) return;
    queue->Running = true;
    struct Done {
        std::shared_ptr<EventQueue> Queue;
        ~Done() { Queue->Running = false; }
    } done{queue};
    for (;;) {
        std::function<void()> event;
        {
            std::lock_guard<std::mutex> lock(queue->Lock);
            if (queue->Events.empty()) return;
            event = std::move(queue->Events.front());
            queue->Events.pop_front();
        }
        try {
            event();
        } catch (...) {
            // The rest still runs, after the failure has been shown.
            std::weak_ptr<bool> alive = alive_;
            plat::QtGuiHandoff::Instance().PostToGuiThread([this, alive] {
                const auto living = alive.lock();
                if (living && *living) RunModemEvents();
            });
            throw;
        }
    }
}
