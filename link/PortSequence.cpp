// The console's connection sequence: dial with a countdown, follow the modem to a connection, synchronise
// with the lift controller ("MST.SYNC"), notify it, ask for its name, then watch the carrier until it
// drops. The steps run on Timer1, which carries one handler at a time, and on the receive hook; the
// notification and the name request go through the link object.

#include "link/port.h"

#include "config/Reports.h"
#include "platform/qt/QtText.h"

#include <QLabel>
#include <QLineEdit>

int32_t SyncRetries = 0;
std::string SyncBuffer;

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

void TMyComPort::ConnectLedChange(bool connected) {
    if (connected) {
        ConnectLed->SetColor(clLime);
        DialStatusLabel->setText(QStringLiteral("Connected"));
        if (ConnectHook) {
            auto hook = ConnectHook;
            hook(true);
        }
        return;
    }
    SetConnectLabel("NC");
    DataModLed->SetColor(clRed);
    SetDataMode(false);
    ConnectLed->SetColor(clMaroon);
    SetLinkState(false);
}

bool TMyComPort::CheckCarrier() {
    // A closed port has no carrier; asking it would open it again behind the user's back.
    const uint8_t status = SxComPort1.Open() ? SxComPort1.ModemStatus() : 0;
    const bool lost = (status & sx::msDCD) == 0;
    if (lost) EndConnection("Verbindung beendet: kein Tr\xE4ger (DCD aus)");
    return lost;
}

bool TMyComPort::ConnectionShown() const {
    return DataMode || ConnectLed->Color() == clLime;
}

void TMyComPort::EndConnection(const std::string& why) {
    Timer1.SetEnabled(false);
    ConnectLedChange(false);
    DialStatusLabel->setText(QStringLiteral("getrennt"));
    // The count ran on from the dial's countdown: it says nothing about a call that is over.
    timerstring->clear();
    // Nothing more comes from the partner: the link lets go and the modem's lines are gathered again.
    ReceiveHook = nullptr;
    zavcom::ZavCom->Reset();
    LogMessage(why);
    ShowFailure(why);
}

void TMyComPort::WatchCarrier() {
    if (!ConnectionShown()) return;
    if (Timer1.Enabled() && Timer1.HandlerName() == "Timer1Timer4") return;
    Timer1.SetOnTimer([this] { Timer1Timer4(); }, "Timer1Timer4");
    Timer1.SetInterval(1000);
    Timer1.SetEnabled(true);
}

void TMyComPort::DialTestButtonClick() {
    // A cancelled box dials nothing and keeps the stored number.
    std::string number = DialNumber;
    if (!InputBox("TEST WAHL", "w\xE4hle", number)) return;
    DialNumber = number;
    if (DialNumber.empty()) return;
    OnPartnerName = nullptr;
    const bool dialling = DialOut(
        DialNumber, [this](const std::string& text) { Nachricht->setText(plat::ToQ(text)); },
        [this](const std::string&) { ShowFailure("WAHL-FEHLER"); });
    if (!dialling) {
        // A call is still up: nothing was dialled, so nothing is counted down.
        DialStatusLabel->setText(QStringLiteral("Verbindung besteht: erst HangUp"));
        return;
    }
    Timer1.Tag = SxModem1.DialTimeout();
    Timer1.SetOnTimer([this] { Timer1Timer5(); }, "Timer1Timer5");
    Timer1.SetInterval(1000);
    Timer1.SetEnabled(true);
}

bool TMyComPort::DialOut(const std::string& number, TTextProc onPartner, TTextProc onFail) {
    if (DataMode) {
        if (onFail) onFail("");
        return false;
    }
    // A sequence that fails on a call that is up leaves the carrier watched, so that its end (a
    // hang-up, the partner leaving) undoes the connection display.
    zavcom::ZavCom->OnLinkError = [this, onFail](const std::string& text) {
        if (onFail) onFail(text);
        WatchCarrier();
    };
    OnPartnerName = std::move(onPartner);
    ConnectHook = [this](bool connected) { AfterConnect(connected); };
    Nachricht->setText(plat::ToQ(number));
    Report("w\xE4hle: " + number);
    if (SxModem1.IsConnecting()) {
        SxModem1.CancelCall();
        SxModem1.Hangup();
    }
    SxModem1.Dial(number);
    return true;
}

void TMyComPort::Timer1Timer5() {
    Timer1.Tag = Timer1.Tag - 1;
    DialStatusLabel->setText(QStringLiteral("noch %1 sec").arg(Timer1.Tag));
    // The modem reports its own time-out; the countdown does not run on below zero meanwhile.
    if (Timer1.Tag <= 0) Timer1.SetEnabled(false);
}

void TMyComPort::SxModem1ModemIsConnected() {
    Timer1.SetEnabled(false);
    ConnectLedChange(true);
}

void TMyComPort::SxModem1ConnectFailed() {
    Timer1.SetEnabled(false);
    DialStatusLabel->setText(QStringLiteral("Modem Connect Fehler"));
    Report("MODEM CONNECT FEHLER");
    if (zavcom::ZavCom->OnLinkError) {
        auto report = zavcom::ZavCom->OnLinkError;
        report("port>Modem Connect Fehler");
    }
}

void TMyComPort::SxModem1GotLineSpeed(int32_t speed) {
    DialStatusLabel->setText(QStringLiteral("LineSpeed: %1").arg(speed));
    Report("CONNECT " + std::to_string(speed));
}

void TMyComPort::AfterConnect(bool connected) {
    if (!connected) return;
    Timer1.SetOnTimer([this] { Timer1Timer1(); }, "Timer1Timer1");
    Timer1.SetInterval(200);
    Timer1.SetEnabled(true);
}

void TMyComPort::Timer1Timer1() {
    Timer1.SetEnabled(false);
    SetDataMode(true);
    SyncRetries = 10;
    StartSync();
}

void TMyComPort::StartSync() {
    LogMessage("start-sync");
    ReceiveHook = [this](uint16_t count) { SyncReceive(count); };
    Timer1.SetOnTimer([this] { Timer1Timer2(); }, "Timer1Timer2");
    Timer1.SetInterval(500);
    SyncBuffer.clear();
    SendChar(0x01);
    Timer1.SetEnabled(true);
}

void TMyComPort::SyncReceive(uint16_t count) {
    const bool running = Timer1.Enabled(); // off once the synchronisation has failed
    SyncRetries = SyncRetries - 1;
    SyncBuffer += ReadChars(count);
    if (SyncBuffer.size() < 3) return;
    Timer1.SetEnabled(false);
    if (SyncBuffer.find(SyncAnswer) != std::string::npos) {
        LogMessage("** MST.SYNC **");
        ReceiveHook = [this](uint16_t n) { IdleReceive(n); };
        Timer1.SetOnTimer([this] { Timer1Timer3(); }, "Timer1Timer3");
        Timer1.SetInterval(500);
        Timer1.SetEnabled(true);
        return;
    }
    // Only the last two bytes can begin the answer; a controller that keeps talking must not grow it.
    if (SyncBuffer.size() > SyncBufferLimit) SyncBuffer.erase(0, SyncBuffer.size() - 2);
    // Answers use up the retries as the ticks do: a controller that answers every probe with
    // something else (a lone ACK, once it is past synchronisation) must not be probed for ever.
    if (SyncRetries <= 0) {
        if (running) SyncFailed();
        return;
    }
    Timer1.SetInterval(500);
    Timer1.SetEnabled(true);
    SendChar(0x01);
}

void TMyComPort::Timer1Timer2() {
    SyncRetries = SyncRetries - 1;
    if (SyncRetries > 0) {
        Timer1.SetInterval(500);
        SendChar(0x01);
        return;
    }
    SyncFailed();
}

void TMyComPort::SyncFailed() {
    Timer1.SetEnabled(false);
    OnPartnerName = nullptr;
    if (zavcom::ZavCom->OnLinkError) {
        auto report = zavcom::ZavCom->OnLinkError;
        report("MST.SYNC FAILED");
    }
    WatchCarrier();
}

void TMyComPort::IdleReceive(uint16_t count) {
    SyncBuffer = ReadChars(count);
    LogMessage("** es sollte nichts kommen !! **");
}

void TMyComPort::Timer1Timer3() {
    Timer1.SetEnabled(false);
    LogMessage("** NOTIFY PARTNER **");
    zavcom::ZavCom->SendNoAnswer(NotificationFrame,
                                 [this](const std::string& text) { PartnerNotified(text); });
}

void TMyComPort::PartnerNotified(const std::string&) {
    Timer1.SetEnabled(false);
    Report("SYNCHRONISIERT");
    LogMessage("NOTIFIED/CONNECTED");
    ReceiveHook = nullptr;
    SetLinkState(true);
    Timer1.SetOnTimer([this] { Timer1Timer4(); }, "Timer1Timer4");
    Timer1.SetInterval(1000);
    Timer1.SetEnabled(true);
    zavcom::ZavCom->OnLinkError = nullptr;
    RequestPartnerName();
}

// The name comes with the partner header: the link expects it until the name has arrived (or the
// link is reset).
void TMyComPort::RequestPartnerName() {
    zavcom::RxHeader = zavcom::HeaderPartner;
    zavcom::ZavCom->Send(PartnerNameRequest,
                         [this](const std::string& answer) { PartnerNameReceived(answer); });
}

void TMyComPort::PartnerNameReceived(const std::string& answer) {
    const std::string name =
        NameChars(answer.size() > 2 ? answer.substr(0, answer.size() - 2) : std::string());
    Nachricht->setText(plat::ToQ(name));
    zavcom::ZavCom->OnLinkError = nullptr;
    zavcom::RxHeader = zavcom::HeaderDefault;
    if (OnPartnerName) {
        auto tell = OnPartnerName;
        tell(name);
    }
}

void TMyComPort::Timer1Timer4() {
    if (CheckCarrier()) return;
    timerstring->setText(QString::number(Timer1.Tag));
    Timer1.Tag = Timer1.Tag + 1;
}

void TMyComPort::NotifyButtonClick() {
    LogMessage("REQUEST PARTNER NAME");
    RequestPartnerName(); // by hand as after a synchronisation
}

void TMyComPort::SyncButtonClick() {
    zavcom::ZavCom->OnLinkError = [this](const std::string& text) { Nachricht->setText(plat::ToQ(text)); };
    StartSync();
}
