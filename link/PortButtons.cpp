// The console's buttons: port and modem commands typed by hand, the modem test, the hang-up, the link
// requests with their decoded answers. The form wires each button to its handler here.

#include "link/port.h"

#include "link/PortPrivate.h"
#include "platform/qt/QtText.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

// ---- Buttons ------------------------------------------------------------------------------------

void TMyComPort::BitBtn3Click() {
    Memo->clear();
}
void TMyComPort::COM1ButtonClick() {
    OpenPort(1);
}
void TMyComPort::COM2ButtonClick() {
    OpenPort(2);
}
void TMyComPort::CLOSEButtonClick() {
    ClosePort();
}
void TMyComPort::InitButtonClick() {
    ModemInit();
}

void TMyComPort::MODEMButtonClick() {
    Nachricht->setText(QStringLiteral("test Modem ") + COMname->text());
    ModemTest([this](const std::string& result) { Nachricht->setText(plat::ToQ("MODEMTEST=" + result)); });
}

void TMyComPort::ATButtonClick() {
    SendText(std::string("AT") + CR);
}
void TMyComPort::SOHButtonClick() {
    SendText(std::string(1, zavcom::SOH));
}

void TMyComPort::ATSButtonClick() {
    SendText(Format("ATS%d?", ATSButton->Tag) + CR);
    ATSButton->Tag = ATSButton->Tag + 1 > 20 ? 0 : ATSButton->Tag + 1;
    ATSButton->setText(plat::ToQ(Format("ATS%d?", ATSButton->Tag)));
}

void TMyComPort::IDButtonClick() {
    SendText(Format("ATI%d", IDButton->Tag) + CR);
    IDButton->Tag = IDButton->Tag + 1 > 10 ? 0 : IDButton->Tag + 1;
    IDButton->setText(plat::ToQ(Format("ATI%d", IDButton->Tag)));
}

void TMyComPort::BitBtn2Click() {
    std::string command = "AT";
    // A cancelled box sends nothing.
    if (InputBox("TEST STRING", "TEST STRING", command)) SendText(command + CR);
}
void TMyComPort::EchoButtonClick() {
    SendText(EchoOffCommand + CR);
}

void TMyComPort::TestButtonClick() {
    if (LocalMode)
        ReceiveHook = SavedReceiveHook;
    else
        SavedReceiveHook = ReceiveHook;
    LocalMode = !LocalMode;
}

void TMyComPort::Button1Click() {}
void TMyComPort::BitBtn1Click() {}

void TMyComPort::BitBtn5Click() {
    Nachricht->setText(QStringLiteral("HangUp"));
    // The modem's answer to the hang-up is read as lines, not as data of the call.
    if (DataMode) SetDataMode(false);
    HangUpModem();
    // The carrier's going undoes the connection display, now or at a later tick.
    if (ConnectionShown() && !CheckCarrier()) WatchCarrier();
}

void TMyComPort::BitBtn9Click() {
    zavcom::ZavCom->SendNoAnswer(std::string("\x03\x0C\x05\x13", 4), nullptr);
}
void TMyComPort::BitBtn10Click() {
    zavcom::ZavCom->Reset();
}

void TMyComPort::SendLinkRequest(const std::string& payload) {
    zavcom::ZavCom->Send(zavcom::TZavCom::BuildFrame(payload),
                         [this](const std::string& answer) { ShowDecodedAnswer(answer); });
}

void TMyComPort::ShowDecodedAnswer(const std::string& answer) {
    const zavcom::TDecoded d = zavcom::TZavCom::DecodeFrame(answer);
    Nachricht->setText(plat::ToQ("error=" + std::to_string(d.Error) + " " + ReadableText(d.Payload)));
}

void TMyComPort::F100ButtonClick() {
    SendLinkRequest(std::string("\xF1\x00", 2));
}
void TMyComPort::F101ButtonClick() {
    SendLinkRequest(std::string("\xF1\x01", 2));
}
void TMyComPort::F140ButtonClick() {
    SendLinkRequest(std::string("\xF1\x40", 2));
}
void TMyComPort::F07000F100ButtonClick() {
    SendLinkRequest(std::string("\xF0\x10\x70\x00\xF1\x00", 6));
}
void TMyComPort::F07001F100ButtonClick() {
    SendLinkRequest(std::string("\xF0\x10\x70\x01\xF1\x00", 6));
}
