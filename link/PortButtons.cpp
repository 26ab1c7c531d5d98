// The console's buttons: port and modem commands typed by hand, the modem test, the hang-up, the break, the link
// requests with their decoded answers. The form wires each button to its handler here.

#include "link/port.h"

#include "config/VamUtils.h"
#include "link/PortPrivate.h"
#include "link/TypedBytes.h"
#include "platform/ComMap.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <charconv>

// ---- Buttons ------------------------------------------------------------------------------------

void TMyComPort::BitBtn3Click() {
    Memo->clear();
}
void TMyComPort::COM1ButtonClick() {
    StopReconnect(); // the user chooses the port now
    OpenPort(1);
}
void TMyComPort::COM2ButtonClick() {
    StopReconnect();
    OpenPort(2);
}
void TMyComPort::CLOSEButtonClick() {
    ClosePort();
}
void TMyComPort::InitButtonClick() {
    ModemInit();
}

void TMyComPort::MODEMButtonClick() {
    Model.ShowMessage("test Modem " + Model.View().ComName);
    ModemTest([this](const std::string& result) { Model.ShowMessage("MODEMTEST=" + result); });
}

bool TMyComPort::SendTyped(const char* button, const std::string& text) {
    return Model.RequireOpenPort(button) && SendText(text);
}

void TMyComPort::ATButtonClick() {
    SendTyped("-> 'AT'", std::string("AT") + CR);
}
void TMyComPort::SOHButtonClick() {
    SendTyped("-> 'SOH'", std::string(1, zavcom::SOH));
}

void TMyComPort::ATSButtonClick() {
    if (!SendTyped("-> 'ATSn?'", Format("ATS%d?", ATSButton->Tag) + CR)) return;
    ATSButton->Tag = ATSButton->Tag + 1 > 20 ? 0 : ATSButton->Tag + 1;
    ATSButton->setText(plat::ToQ(Format("ATS%d?", ATSButton->Tag)));
}

void TMyComPort::IDButtonClick() {
    if (!SendTyped("Identification", Format("ATI%d", IDButton->Tag) + CR)) return;
    IDButton->Tag = IDButton->Tag + 1 > 10 ? 0 : IDButton->Tag + 1;
    IDButton->setText(plat::ToQ(Format("ATI%d", IDButton->Tag)));
}

void TMyComPort::BitBtn2Click() {
    if (!Model.RequireOpenPort("INP.BOX")) return;
    std::string command = "AT";
    // A cancelled box sends nothing.
    if (!InputBox("TEST STRING", InpBoxPrompt, command)) return;
    const std::vector<console::TTypedPart> parts = console::ParseTypedBytes(command);
    if (parts.size() == 1 && parts[0].Bytes == command) {
        SendText(command + CR); // plain text, as typed
        return;
    }
    // Bytes by value: each part as it goes out, in hex and readable, a pause after each "~".
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string bytes = parts[i].Bytes + (i + 1 == parts.size() ? std::string(1, CR) : std::string());
        if (!bytes.empty()) {
            if (!PortOpen()) return;
            LogSentLine(HexText(bytes) + "   " + ReadableText(bytes));
            SxComPort1.PutString(bytes);
        }
        if (parts[i].PauseAfter) Wait(SxModem1.TildeDelay() * 55);
    }
}
void TMyComPort::EchoButtonClick() {
    SendTyped("ECHO/OFF", EchoOffCommand + CR);
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
    Model.HangUp();
}

void TMyComPort::BitBtn9Click() {
    if (!Model.RequireOpenPort("030C0513")) return;
    zavcom::ZavCom->SendNoAnswer(std::string("\x03\x0C\x05\x13", 4), nullptr);
}
void TMyComPort::BitBtn10Click() {
    zavcom::ZavCom->Reset();
}

void TMyComPort::SendLinkRequest(const std::string& payload) {
    if (!Model.RequireOpenPort("RPF")) return;
    // A request without an answer says so in memo and message line.
    zavcom::ZavCom->OnLinkError = [this](const std::string& text) { ShowFailure("RPF: " + text); };
    zavcom::ZavCom->Send(zavcom::TZavCom::BuildFrame(payload),
                         [this](const std::string& answer) { ShowDecodedAnswer(answer); });
}

void TMyComPort::ShowDecodedAnswer(const std::string& answer) {
    const zavcom::TDecoded d = zavcom::TZavCom::DecodeFrame(answer);
    Model.ShowMessage("error=" + std::to_string(d.Error) + " " + ReadableText(d.Payload));
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

// ---- Break ----------------------------------------------------------------------------------------

void TMyComPort::BreakButtonClick() {
    const std::string text = plat::Trim(plat::FromQ(BreakLength->text()));
    int ms = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (err != std::errc() || end != text.data() + text.size() || text.empty()) ms = -1;
    if (ms < MinBreakMs || ms > MaxBreakMs) {
        BreakFailed("die L\xE4nge \x84" + text + "\x93 ist keine Zahl von " + std::to_string(MinBreakMs) + " bis " +
                    std::to_string(MaxBreakMs) + " (Millisekunden)");
        return;
    }
    SendBreak(ms);
}

bool TMyComPort::SendBreak(int ms) {
    if (ms < MinBreakMs || ms > MaxBreakMs)
        return BreakFailed("die L\xE4nge " + std::to_string(ms) + " ms liegt nicht zwischen " +
                           std::to_string(MinBreakMs) + " und " + std::to_string(MaxBreakMs) + " ms");
    if (!SxComPort1.Open() || Closing)
        return BreakFailed(console::PortClosedText);
    try {
        SxComPort1.SetBreak(true);
    } catch (const std::exception& e) {
        const std::string device = plat::ComDevice(OpenedComNumber);
        return BreakFailed("COM" + std::to_string(OpenedComNumber) + (device.empty() ? "" : " (" + device + ")") +
                           ": " + e.what());
    }
    const std::string traffic = "[BREAK " + std::to_string(ms) + " ms]";
    LogSentLine(traffic);
    QElapsedTimer held; // a timer may end its wait a little early: the break lasts at least ms
    held.start();
    while (held.elapsed() < ms)
        Wait(static_cast<int>(ms - held.elapsed()));
    // A port closed meanwhile (the device lost) has released the break with its close.
    try {
        SxComPort1.SetBreak(false);
    } catch (const std::exception& e) {
        const std::string text = std::string("BREAK nicht beendet: ") + e.what() + "; CLOSE gibt die Leitung frei";
        ShowFailure(text);
        return false;
    }
    return true;
}

bool TMyComPort::BreakFailed(const std::string& why) {
    const std::string text = "BREAK nicht gesendet: " + why;
    ShowFailure(text);
    return false;
}
