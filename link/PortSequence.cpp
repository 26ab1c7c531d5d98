// The console's side of the connection model: the line it offers the model (port, carrier, modem), the
// dial test's input box, the modem's events and the sequence's buttons handed to the model, and ShowState,
// the one place that sets the console's displays from the model's state.

#include "link/port.h"

#include "platform/qt/QtText.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include <stdexcept>

// ---- The line -----------------------------------------------------------------------------------

bool TMyComPort::PortOpen() const {
    return SxComPort1.Open() && !Closing;
}

bool TMyComPort::CarrierOn() {
    // A closed port has no carrier; asking it would open it again behind the user's back.
    if (!SxComPort1.Open()) return false;
    return (SxComPort1.ModemStatus() & sx::msDCD) != 0;
}

bool TMyComPort::ModemConnecting() const {
    return SxModem1.IsConnecting();
}

std::string TMyComPort::ModemFailureText(const std::exception& e) {
    const auto* sxe = dynamic_cast<const sx::ESxException*>(&e);
    switch (sxe ? sxe->ResultCode : 0) {
    case sx::ecCommNotOpen:
        return console::PortClosedText;
    case sx::ecBadId:
        return "das Ger\xE4t des Ports gibt es nicht (mehr); CLOSE, dann COM1 oder COM2";
    case sx::ecModemBusy:
        return "das Modem ist noch besch\xE4" "ftigt (ein Befehl oder eine Wahl l\xE4uft); HangUp bricht ab";
    case sx::ecModemNotStarted:
        return "das Modem ist nicht gestartet; INIT oder TEST";
    case sx::ecModemNotDialing:
        return "das Modem w\xE4hlt gerade nicht";
    case 0:
        return e.what();
    default:
        return "Fehler " + std::to_string(sxe->ResultCode) + " der seriellen Schnittstelle (" + e.what() + ")";
    }
}

void TMyComPort::Modem(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::exception& e) {
        throw std::runtime_error(ModemFailureText(e));
    }
}

void TMyComPort::ModemDial(const std::string& number) {
    Modem([&] { SxModem1.Dial(number); });
}

void TMyComPort::ModemCancelCall() {
    Modem([&] { SxModem1.CancelCall(); });
}

void TMyComPort::ModemHangup() {
    Modem([&] { SxModem1.Hangup(); });
}

// ---- The displays -------------------------------------------------------------------------------

namespace {

void SetText(QLabel* label, const std::string& text) {
    const QString q = plat::ToQ(text);
    if (label->text() != q) label->setText(q);
}

} // namespace

void TMyComPort::ShowState() {
    const console::TConsoleView v = Model.View();
    ComOpenPanel->SetColor(v.PortOpen ? clGreen : clRed);
    GroupBox1->setTitle(v.PortOpen ? QStringLiteral("PORT OPEN") : QStringLiteral("PORT CLOSED"));
    SetText(COMname, v.ComName);
    SetText(ComPortLabel, v.PortLabel);
    ModemOpenPanel->SetColor(v.ModemOk ? clGreen : clRed);
    SetText(ModemId, v.ModemId);
    ConnectLed->SetColor(v.ConnectLit ? clLime : clMaroon);
    DataModLed->SetColor(v.DataMode ? clGreen : clRed);
    SetText(DialStatusLabel, v.DialStatus);
    SetText(timerstring, v.Seconds);
    SetText(ConnectLabel, v.ConnectLabel);
    if (Nachricht->text() != plat::ToQ(v.Message)) Nachricht->setText(plat::ToQ(v.Message));
    if (!v.PortOpen)
        for (sx::TSxStatusLight* light :
             {SxStatusLight1, SxStatusLight2, SxStatusLight3, SxStatusLight4, SxStatusLight5})
            light->SetLit(false);
    if (v.LinkUp != LinkUp || (LinkColor == clGreen) != v.LinkUp) SetLinkState(v.LinkUp);
}

// ---- The sequence's buttons and the modem's events ------------------------------------------------

void TMyComPort::DialTestButtonClick() {
    if (!Model.RequireOpenPort("WAHL")) return;
    // A cancelled box dials nothing and keeps the stored number.
    std::string number = DialNumber;
    if (!InputBox("TEST WAHL", "w\xE4hle", number)) return;
    DialNumber = number;
    if (DialNumber.empty()) return;
    Model.OnPartnerName = nullptr;
    DialOut(
        DialNumber, [this](const std::string& text) { Model.ShowMessage(text); },
        [this](const std::string&) { Model.ShowFailure("WAHL-FEHLER"); });
}

bool TMyComPort::DialOut(const std::string& number, TTextProc onPartner, TTextProc onFail) {
    return Model.DialOut(number, std::move(onPartner), std::move(onFail), SxModem1.DialTimeout());
}

void TMyComPort::SxModem1ModemIsConnected() {
    Model.ModemIsConnected();
}

void TMyComPort::SxModem1ConnectFailed() {
    Model.ModemConnectFailed();
}

void TMyComPort::SxModem1GotLineSpeed(int32_t speed) {
    Model.ModemLineSpeed(speed);
}

void TMyComPort::NotifyButtonClick() {
    Model.RequestPartnerNameByHand();
}

void TMyComPort::SyncButtonClick() {
    Model.StartSyncByHand();
}
