// The console's connection state and its transitions; the connection sequence on Timer1 and the receive
// hook; the display derived from the state; the invariants. No Qt: the console shows View() after each
// transition, and the tests run the model in virtual time against a simulated modem and controller.

#include "link/ConsoleModel.h"

#include "config/Reports.h"
#include "config/VamUtils.h"

int32_t SyncRetries = 0;
std::string SyncBuffer;

namespace console {

namespace {

const std::string SyncAnswer("\x06\x15\x15", 3);                 // ACK NAK NAK
const std::string NotificationFrame("\x03\x0C\x05\x13", 4);      // partner notification
const std::string PartnerNameRequest("\x04\x28\xFF\x90\xBA", 5); // partner-name request
// Bytes of a synchronisation answer that never matches are not kept beyond this.
constexpr size_t SyncBufferLimit = 1024;

void Report(const std::string& text) {
    if (Reports.ReportWriter) Reports.ReportWriter(text);
}

} // namespace

const char* PhaseName(TPhase phase) {
    switch (phase) {
    case TPhase::PortClosed: return "PortClosed";
    case TPhase::Idle: return "Idle";
    case TPhase::Dialling: return "Dialling";
    case TPhase::Connected: return "Connected";
    case TPhase::Synchronising: return "Synchronising";
    case TPhase::Notifying: return "Notifying";
    case TPhase::LinkUp: return "LinkUp";
    case TPhase::CallNoLink: return "CallNoLink";
    case TPhase::HangingUp: return "HangingUp";
    }
    return "?";
}

// ---- Timer1 -------------------------------------------------------------------------------------

TConsoleTimer::TConsoleTimer(std::unique_ptr<plat::ITimer> timer) : timer_(std::move(timer)) {
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this] {
        if (handler_) {
            auto handler = handler_; // a handler installs the next one
            handler();
        }
    });
}

void TConsoleTimer::SetOnTimer(THandler handler, const char* name) {
    handler_ = std::move(handler);
    handlerName_ = name ? name : "";
    // A new handler starts a fresh countdown when the timer runs.
    if (timer_->Enabled()) {
        timer_->SetEnabled(false);
        timer_->SetEnabled(true);
    }
}

// ---- State and display --------------------------------------------------------------------------

TConsoleModel::TConsoleModel(IConsoleLine& line, plat::ITimerService& timers)
    : Timer1(timers.CreateTimer()), line_(line), carrierWatch_(timers.CreateTimer()) {
    carrierWatch_->SetEnabled(false);
    carrierWatch_->SetInterval(CarrierWatchMs);
    carrierWatch_->SetOnTimer([this] {
        if (CallShown() || phase_ == TPhase::HangingUp)
            CheckCarrier();
        else
            carrierWatch_->SetEnabled(false);
    });
}

void TConsoleModel::Changed() {
    if (OnChanged) OnChanged();
}

void TConsoleModel::SetPhase(TPhase phase) {
    phase_ = phase;
}

bool TConsoleModel::CallShown() const {
    return callUp_ || dataMode_;
}

TConsoleView TConsoleModel::View() const {
    TConsoleView v = view_;
    v.PortOpen = phase_ != TPhase::PortClosed;
    v.ModemOk = view_.ModemOk && v.PortOpen;
    v.ConnectLit = callUp_;
    v.DataMode = dataMode_;
    v.LinkUp = phase_ == TPhase::LinkUp;
    return v;
}

void TConsoleModel::ShowMessage(const std::string& text) {
    if (holdMessage_) return;
    view_.Message = text;
    Changed();
}

void TConsoleModel::ShowFailure(const std::string& text) {
    ShowFailure(text, text);
}

void TConsoleModel::ShowFailure(const std::string& message, const std::string& memoLine) {
    line_.LogMessage(memoLine);
    view_.Message = message;
    holdMessage_ = true;
    Changed();
}

void TConsoleModel::SetConnectLabel(const std::string& text) {
    view_.ConnectLabel = text;
    Changed();
}

bool TConsoleModel::RequireOpenPort(const std::string& action) {
    if (line_.PortOpen()) return true;
    ShowFailure(action + " nicht m\xF6glich: " + PortClosedText);
    return false;
}

void TConsoleModel::SetPortLabel(const std::string& text) {
    view_.PortLabel = text;
    Changed();
}

void TConsoleModel::ModemCommandStarted() {
    // A failed or refused dial's text says nothing about the modem now; "status" and "getrennt" stay.
    const bool failureShown = view_.DialStatus != "status" && view_.DialStatus != "getrennt";
    if (failureShown && !CallShown() && phase_ != TPhase::Dialling) view_.DialStatus.clear();
    Changed();
}

void TConsoleModel::ModemTestStarted() {
    view_.ModemOk = false;
    view_.ModemId = NoModemId;
    Changed();
}

void TConsoleModel::ModemIdentified(const std::string& id) {
    view_.ModemOk = true;
    view_.ModemId = id;
    Changed();
}

void TConsoleModel::StopTimer() {
    Timer1.SetEnabled(false);
}

// ---- Port ---------------------------------------------------------------------------------------

void TConsoleModel::ResetCallDisplay() {
    if (phase_ == TPhase::Dialling) AbandonDial("Wahl abgebrochen: Port neu ge\xF6"
                                                "ffnet");
    if (CallShown()) EndConnection("Verbindung beendet: Port neu ge\xF6"
                                   "ffnet");
    ReleaseLink();
}

void TConsoleModel::ReleaseLink() {
    // A request of the link ends with the port it went out on.
    line_.SetReceiveHook(nullptr);
    if (zavcom::ZavCom) {
        zavcom::ZavCom->Reset();
        zavcom::ZavCom->OnLinkError = nullptr;
    }
}

void TConsoleModel::PortOpened(int n) {
    ResetCallDisplay();
    StopTimer();
    SetPhase(TPhase::Idle);
    carrierSignals_ = !line_.CarrierOn();
    view_.ComName = "COM" + std::to_string(n);
    view_.PortLabel = view_.ComName + "/19200/8N1";
    view_.ModemOk = false;
    view_.ModemId = NoModemId;
    // A failure shown was about the port before: it does not stay for the new one.
    if (holdMessage_) view_.Message.clear();
    holdMessage_ = false;
    Changed();
}

void TConsoleModel::PortOpenFailed(const std::string& why) {
    ResetCallDisplay();
    StopTimer();
    SetPhase(TPhase::PortClosed);
    view_.ModemOk = false;
    view_.ModemId = NoModemId;
    ShowFailure(why);
}

void TConsoleModel::PortClosing() {
    // A modem that ignores DTR would go on dialling behind a closed port.
    if (phase_ == TPhase::Dialling) CancelModemDial();
}

void TConsoleModel::CancelModemDial() {
    try {
        if (line_.PortOpen() && line_.ModemConnecting()) line_.ModemCancelCall();
    } catch (const std::exception& e) {
        line_.LogMessage(std::string("Wahl nicht abgebrochen: ") + e.what());
    }
}

void TConsoleModel::PortClosed() {
    if (phase_ == TPhase::Dialling) AbandonDial("Wahl abgebrochen: Port geschlossen");
    if (CallShown()) EndConnection("Verbindung beendet: Port geschlossen");
    ReleaseLink();
    StopTimer();
    SetPhase(TPhase::PortClosed);
    view_.ModemOk = false;
    view_.ModemId = NoModemId;
    Changed();
}

void TConsoleModel::PortLost(const std::string& why) {
    const bool told = phase_ == TPhase::Dialling || CallShown();
    if (phase_ == TPhase::Dialling) AbandonDial(why);
    if (CallShown()) EndConnection(why);
    ReleaseLink();
    StopTimer();
    SetPhase(TPhase::PortClosed);
    view_.ModemOk = false;
    view_.ModemId = NoModemId;
    if (!told) ShowFailure(why);
    Changed();
}

// ---- Ending a call or a dial ----------------------------------------------------------------------

void TConsoleModel::EndConnection(const std::string& why) {
    StopTimer();
    carrierWatch_->SetEnabled(false);
    view_.ConnectLabel = "NC";
    SetDataMode(false);
    callUp_ = false;
    view_.DialStatus = "getrennt";
    // The count ran on from the dial's countdown: it says nothing about a call that is over.
    view_.Seconds.clear();
    // Nothing more comes from the partner: the link lets go and the modem's lines are gathered again.
    ReleaseLink();
    OnPartnerName = nullptr;
    if (phase_ != TPhase::PortClosed) SetPhase(TPhase::Idle);
    ShowFailure(why);
}

void TConsoleModel::AbandonDial(const std::string& why) {
    StopTimer();
    // A dial that ends here is no failure of the link: its error slot must not speak for it later.
    if (zavcom::ZavCom) zavcom::ZavCom->OnLinkError = nullptr;
    ConnectHook = nullptr;
    CancelModemDial();
    view_.DialStatus = "Wahl abgebrochen";
    SetPhase(TPhase::Idle);
    ShowFailure(why);
}

void TConsoleModel::ShutDown() {
    StopTimer();
    // The modem's answer to the hang-up is read as lines, not as data of the call.
    if (dataMode_) SetDataMode(false);
    Changed();
}

// ---- Dial ---------------------------------------------------------------------------------------

bool TConsoleModel::DialOut(const std::string& number, TTextProc onPartner, TTextProc onFail, int dialTimeout) {
    if (!RequireOpenPort("WAHL")) return false;
    if (CallShown() || phase_ == TPhase::HangingUp) {
        view_.DialStatus = "Verbindung besteht: erst HangUp";
        ShowFailure("WAHL-FEHLER", "WAHL-FEHLER: Verbindung besteht, erst HangUp");
        return false;
    }
    // A modem that kept its call (it ignores DTR, or the port was reopened during a call) would take the
    // dial command as data for the partner.
    if (!line_.CarrierOn()) carrierSignals_ = true;
    if (carrierSignals_ && line_.CarrierOn()) {
        view_.DialStatus = "Tr\xE4ger noch an: erst HangUp";
        ShowFailure("WAHL-FEHLER", "WAHL-FEHLER: das Modem hat noch eine Verbindung (DCD an), erst HangUp");
        return false;
    }
    // A new call starts with a free link: a request left from before must not fail it.
    ReleaseLink();
    // A sequence that fails on a call that is up leaves the carrier watched, so that its end (a hang-up,
    // the partner leaving) undoes the connection display.
    zavcom::ZavCom->OnLinkError = [this, onFail](const std::string& text) {
        if (phase_ == TPhase::Synchronising || phase_ == TPhase::Notifying) SetPhase(TPhase::CallNoLink);
        if (onFail) onFail(text);
        WatchCarrier();
        Changed();
    };
    OnPartnerName = std::move(onPartner);
    ConnectHook = [this](bool connected) { AfterConnect(connected); };
    view_.Message = number;
    holdMessage_ = false;
    Report("w\xE4hle: " + number);
    try {
        if (line_.ModemConnecting()) {
            line_.ModemCancelCall();
            line_.ModemHangup();
        }
        line_.ModemDial(number);
    } catch (const std::exception& e) {
        zavcom::ZavCom->OnLinkError = nullptr;
        ConnectHook = nullptr;
        ShowFailure(std::string("WAHL nicht m\xF6glich: ") + e.what());
        return false;
    }
    SetPhase(TPhase::Dialling);
    Timer1.Tag = dialTimeout;
    Timer1.SetOnTimer([this] { Timer1Timer5(); }, "Timer1Timer5");
    Timer1.SetInterval(1000);
    Timer1.SetEnabled(true);
    Changed();
    return true;
}

void TConsoleModel::Timer1Timer5() {
    Timer1.Tag = Timer1.Tag - 1;
    view_.DialStatus = "noch " + std::to_string(Timer1.Tag) + " sec";
    // The modem reports its own time-out; the countdown does not run on below zero meanwhile.
    if (Timer1.Tag <= 0) StopTimer();
    Changed();
}

void TConsoleModel::ModemIsConnected() {
    // A connection reported after the dial was abandoned is the modem's: HangUp or CLOSE ended it.
    if (phase_ != TPhase::Dialling) return;
    StopTimer();
    callUp_ = true;
    carrierWatch_->SetEnabled(true);
    SetPhase(TPhase::Connected);
    view_.DialStatus = "Connected";
    Changed();
    if (ConnectHook) {
        auto hook = ConnectHook;
        hook(true);
    }
}

void TConsoleModel::ModemConnectFailed() {
    if (phase_ != TPhase::Dialling) return;
    StopTimer();
    SetPhase(TPhase::Idle);
    view_.DialStatus = "Modem Connect Fehler";
    Report("MODEM CONNECT FEHLER");
    ReportLinkError("port>Modem Connect Fehler");
    Changed();
}

void TConsoleModel::ModemLineSpeed(int32_t speed) {
    if (phase_ != TPhase::Dialling) return;
    view_.DialStatus = "LineSpeed: " + std::to_string(speed);
    Report("CONNECT " + std::to_string(speed));
    Changed();
}

void TConsoleModel::ReportLinkError(const std::string& text) {
    if (zavcom::ZavCom && zavcom::ZavCom->OnLinkError) {
        auto report = zavcom::ZavCom->OnLinkError;
        report(text);
    }
}

// ---- Hang-up ------------------------------------------------------------------------------------

void TConsoleModel::HangUp() {
    holdMessage_ = false;
    view_.Message = "HangUp";
    if (!RequireOpenPort("HangUp")) return;
    if (phase_ == TPhase::Dialling) {
        AbandonDial("HangUp: Wahl abgebrochen");
        try {
            line_.ModemHangup();
        } catch (const std::exception& e) {
            ShowFailure(std::string("HangUp: ") + e.what());
        }
        return;
    }
    const bool call = CallShown();
    // The modem's answer to the hang-up is read as lines, not as data of the call.
    if (dataMode_) SetDataMode(false);
    line_.SetReceiveHook(nullptr);
    try {
        if (line_.ModemConnecting()) line_.ModemCancelCall();
        line_.ModemHangup();
    } catch (const std::exception& e) {
        ShowFailure(std::string("HangUp: ") + e.what());
    }
    // The carrier's going undoes the connection display, now or at a later tick.
    if (!line_.PortOpen() || !line_.CarrierOn()) {
        if (call)
            EndConnection("Verbindung beendet: HangUp");
        else
            Changed();
        return;
    }
    if (zavcom::ZavCom) {
        zavcom::ZavCom->Reset();
        zavcom::ZavCom->OnLinkError = nullptr;
    }
    SetPhase(TPhase::HangingUp);
    hangUpWaitMs_ = 0;
    hangUpCommandSent_ = false;
    WatchCarrier();
    Changed();
}

// ---- Carrier ------------------------------------------------------------------------------------

bool TConsoleModel::CheckCarrier() {
    // A closed port has no carrier; asking it would open it again behind the user's back.
    const bool lost = !line_.PortOpen() || !line_.CarrierOn();
    if (lost && line_.PortOpen()) carrierSignals_ = true;
    if (lost) EndConnection("Verbindung beendet: kein Tr\xE4ger (DCD aus)");
    return lost;
}

void TConsoleModel::WatchCarrier() {
    if (!CallShown() && phase_ != TPhase::HangingUp) return;
    if (Timer1.Enabled() && Timer1.HandlerName() == "Timer1Timer4") return;
    Timer1.SetOnTimer([this] { Timer1Timer4(); }, "Timer1Timer4");
    Timer1.SetInterval(CarrierWatchMs);
    Timer1.SetEnabled(true);
}

void TConsoleModel::Timer1Timer4() {
    if (CheckCarrier()) return;
    if (CallShown()) {
        view_.Seconds = std::to_string(Timer1.Tag);
        Timer1.Tag = Timer1.Tag + 1;
    }
    if (phase_ == TPhase::HangingUp) HangUpStep();
    Changed();
}

void TConsoleModel::HangUpStep() {
    // A modem that ignores DTR (&D0) is asked with its escape and the hang-up command, each with the
    // guard time of silence around "+++".
    hangUpWaitMs_ += CarrierWatchMs;
    if (hangUpWaitMs_ == EscapeAfterMs) {
        line_.LogMessage("HangUp: das Modem legt bei DTR nicht auf, +++ und ATH0");
        line_.SendText("+++");
    } else if (hangUpWaitMs_ == EscapeAfterMs + 2 * CarrierWatchMs) {
        line_.SendText(std::string("ATH0") + '\r');
        hangUpCommandSent_ = true;
    } else if (hangUpWaitMs_ == HangUpGraceMs) {
        ShowFailure(carrierSignals_
                        ? "HangUp: das Modem hat nicht aufgelegt (DCD noch an); Modem aus- und einschalten"
                        : "HangUp: das Modem hat auf ATH0 nicht geantwortet; CLOSE, dann das Modem pr\xFC"
                          "fen");
    }
}

void TConsoleModel::ModemLine(const std::string& line) {
    if (carrierSignals_ || !(CallShown() || phase_ == TPhase::HangingUp)) return;
    // Without DCD the modem's word is all there is: NO CARRIER, or OK to the hang-up command.
    if (line == "NO CARRIER")
        EndConnection("Verbindung beendet: NO CARRIER");
    else if (line == "OK" && hangUpCommandSent_)
        EndConnection("Verbindung beendet: das Modem hat aufgelegt (ATH0)");
}

void TConsoleModel::SetDataMode(bool on) {
    dataMode_ = on;
    if (on) line_.SendText(std::string("AT01") + '\r');
    Changed();
}

// ---- Synchronisation and notification ----------------------------------------------------------

void TConsoleModel::AfterConnect(bool connected) {
    if (!connected) return;
    Timer1.SetOnTimer([this] { Timer1Timer1(); }, "Timer1Timer1");
    Timer1.SetInterval(200);
    Timer1.SetEnabled(true);
}

void TConsoleModel::Timer1Timer1() {
    StopTimer();
    SetDataMode(true);
    SyncRetries = 10;
    StartSync();
}

void TConsoleModel::StartSyncByHand() {
    if (!RequireOpenPort("MST.SYNC")) return;
    if (phase_ == TPhase::Dialling || phase_ == TPhase::HangingUp) {
        ShowFailure(phase_ == TPhase::Dialling ? "MST.SYNC nicht m\xF6glich: die Wahl l\xE4uft"
                                               : "MST.SYNC nicht m\xF6glich: es wird aufgelegt");
        return;
    }
    holdMessage_ = false;
    zavcom::ZavCom->OnLinkError = [this](const std::string& text) {
        if (phase_ == TPhase::Synchronising || phase_ == TPhase::Notifying)
            SetPhase(CallShown() ? TPhase::CallNoLink : TPhase::Idle);
        ShowFailure(text);
        WatchCarrier();
    };
    StartSync();
}

void TConsoleModel::StartSync() {
    line_.LogMessage("start-sync");
    SetPhase(TPhase::Synchronising);
    line_.SetReceiveHook([this](uint16_t count) { SyncReceive(count); });
    Timer1.SetOnTimer([this] { Timer1Timer2(); }, "Timer1Timer2");
    Timer1.SetInterval(500);
    SyncBuffer.clear();
    line_.SendChar(0x01);
    Timer1.SetEnabled(true);
    Changed();
}

void TConsoleModel::SyncReceive(uint16_t count) {
    const bool running = Timer1.Enabled(); // off once the synchronisation has failed
    SyncRetries = SyncRetries - 1;
    SyncBuffer += line_.ReadChars(count);
    if (SyncBuffer.size() < 3) return;
    StopTimer();
    if (SyncBuffer.find(SyncAnswer) != std::string::npos) {
        line_.LogMessage("** MST.SYNC **");
        SetPhase(TPhase::Notifying);
        line_.SetReceiveHook([this](uint16_t n) { IdleReceive(n); });
        Timer1.SetOnTimer([this] { Timer1Timer3(); }, "Timer1Timer3");
        Timer1.SetInterval(500);
        Timer1.SetEnabled(true);
        Changed();
        return;
    }
    // Only the last two bytes can begin the answer; a controller that keeps talking must not grow it.
    if (SyncBuffer.size() > SyncBufferLimit) SyncBuffer.erase(0, SyncBuffer.size() - 2);
    // Answers use up the retries as the ticks do: a controller that answers every probe with something
    // else (a lone ACK, once it is past synchronisation) must not be probed for ever.
    if (SyncRetries <= 0) {
        if (running) SyncFailed();
        return;
    }
    Timer1.SetInterval(500);
    Timer1.SetEnabled(true);
    line_.SendChar(0x01);
}

void TConsoleModel::Timer1Timer2() {
    SyncRetries = SyncRetries - 1;
    if (SyncRetries > 0) {
        Timer1.SetInterval(500);
        line_.SendChar(0x01);
        return;
    }
    SyncFailed();
}

void TConsoleModel::SyncFailed() {
    StopTimer();
    OnPartnerName = nullptr;
    // The controller did not answer: nothing of it is awaited any more.
    line_.SetReceiveHook(nullptr);
    SetPhase(CallShown() ? TPhase::CallNoLink : TPhase::Idle);
    if (zavcom::ZavCom->OnLinkError)
        ReportLinkError("MST.SYNC FAILED");
    else
        ShowFailure("MST.SYNC FAILED");
    WatchCarrier();
    Changed();
}

void TConsoleModel::IdleReceive(uint16_t count) {
    SyncBuffer = line_.ReadChars(count);
    line_.LogMessage("** es sollte nichts kommen !! **");
}

void TConsoleModel::Timer1Timer3() {
    StopTimer();
    line_.LogMessage("** NOTIFY PARTNER **");
    zavcom::ZavCom->SendNoAnswer(NotificationFrame, [this](const std::string& text) { PartnerNotified(text); });
}

void TConsoleModel::PartnerNotified(const std::string&) {
    StopTimer();
    Report("SYNCHRONISIERT");
    line_.LogMessage("NOTIFIED/CONNECTED");
    line_.SetReceiveHook(nullptr);
    SetPhase(TPhase::LinkUp);
    Timer1.SetOnTimer([this] { Timer1Timer4(); }, "Timer1Timer4");
    Timer1.SetInterval(CarrierWatchMs);
    Timer1.SetEnabled(true);
    zavcom::ZavCom->OnLinkError = nullptr;
    Changed();
    RequestPartnerName();
}

void TConsoleModel::RequestPartnerNameByHand() {
    if (!RequireOpenPort("PartnerName")) return;
    line_.LogMessage("REQUEST PARTNER NAME");
    RequestPartnerName(); // by hand as after a synchronisation
}

// The name comes with the partner header: the link expects it until the name has arrived (or the link is
// reset).
void TConsoleModel::RequestPartnerName() {
    zavcom::RxHeader = zavcom::HeaderPartner;
    zavcom::ZavCom->Send(PartnerNameRequest, [this](const std::string& answer) { PartnerNameReceived(answer); });
}

void TConsoleModel::PartnerNameReceived(const std::string& answer) {
    const std::string name = FilteredText(answer.size() > 2 ? answer.substr(0, answer.size() - 2) : std::string());
    holdMessage_ = false;
    view_.Message = name;
    zavcom::ZavCom->OnLinkError = nullptr;
    zavcom::RxHeader = zavcom::HeaderDefault;
    Changed();
    if (OnPartnerName) {
        auto tell = OnPartnerName;
        tell(name);
    }
}

// ---- Invariants ---------------------------------------------------------------------------------

std::vector<std::string> TConsoleModel::BrokenInvariants(const TLineFacts& line) const {
    std::vector<std::string> broken;
    const TConsoleView v = View();
    auto expect = [&broken](bool ok, const char* what) {
        if (!ok) broken.emplace_back(what);
    };
    expect(v.PortOpen == line.DeviceOpen, "\"PORT OPEN\" genau dann, wenn ein Geraet offen ist");
    expect(!v.ModemOk || v.PortOpen, "Modem-Panel gruen nur bei offenem Port");
    const bool countdown = v.DialStatus.rfind("noch ", 0) == 0;
    expect(!countdown || phase_ == TPhase::Dialling, "Countdown nur waehrend einer Wahl");
    expect(phase_ != TPhase::Dialling || Timer1.HandlerName() == "Timer1Timer5",
           "eine Wahl hat ihren Countdown");
    expect(!(v.ConnectLit && !line.CarrierOn && line.CarrierOffForMs > CarrierWatchMs + 100),
           "\"Connected\" nur bei Traeger (DCD)");
    expect(!v.ConnectLit || v.PortOpen, "CONNECT nur bei offenem Port");
    expect(!(phase_ == TPhase::Dialling && v.ConnectLit), "keine Wahl, waehrend eine Verbindung angezeigt wird");
    // The modem component reports a connection after its speed and tag replies: 45 ticks at the most.
    expect(!(phase_ == TPhase::Dialling && carrierSignals_ && line.CarrierOn && line.CarrierOnForMs > 3000),
           "keine Wahl, waehrend das Modem eine Verbindung hat");
    expect(!v.DataMode || v.PortOpen, "DATA MODE nur bei offenem Port");
    expect(!v.LinkUp || v.PortOpen, "Link gruen nur bei offenem Port");
    expect(!v.LinkUp || v.DataMode || !v.ConnectLit, "Link gruen im Ruf nur im Datenmodus");
    expect(!(line.ModemDialling && v.PortOpen && phase_ != TPhase::Dialling && !CallShown()),
           "das Modem waehlt nur, wenn die Konsole eine Wahl zeigt");
    expect(v.Seconds.empty() || CallShown() || v.Seconds == "timerstring", "Sekundenzaehler nur waehrend eines Rufs");
    expect(!(Timer1.Enabled() && !v.PortOpen), "Timer1 steht bei geschlossenem Port");
    return broken;
}

} // namespace console
