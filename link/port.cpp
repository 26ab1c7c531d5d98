// The console's frame: its creation and wiring, the link's byte path, the memo and main-log lines, the
// received lines, the form's close, and the registry of link indicators. The rest of TMyComPort lives in
// PortForm, PortLine, PortModem, PortButtons, PortCapture and PortSequence.

#include "link/port.h"

#include "config/Reports.h"
#include "config/VamUtils.h"
#include "link/PortPrivate.h"
#include "platform/qt/QtText.h"
#include "platform/qt/QtTime.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <algorithm>
#include <cstdio>

TMyComPort* MyComPort = nullptr;
bool ConsoleAlive = false;
QRgb LinkColor = clRed;
const char* const NoModemIdText = console::NoModemId;

std::function<bool(const std::string&, const std::string&, std::string&)> TMyComPort::InputQuery;
std::function<bool(const std::string&, const std::string&, std::string&, bool)> TMyComPort::FileNameQuery;

namespace {

// Link indicator registry: references to the variables that hold the indicators.
std::vector<TLinkPanel**>& Registry() {
    static std::vector<TLinkPanel**> registry;
    return registry;
}

// Clicking an indicator is routed here and has no effect.
void LinkPanelClick(TLinkPanel*) {}

// Drops every entry whose variable still holds the destroyed panel.
void ForgetPanel(const TLinkPanel* panel) {
    std::erase_if(Registry(), [panel](TLinkPanel** ref) { return *ref == panel; });
}

void Report(const std::string& text) {
    if (Reports.ReportWriter) Reports.ReportWriter(text);
}

} // namespace

void ReportIfFlag3(const std::string& text) {
    if (Reports.ReportWriterIfFlag3) Reports.ReportWriterIfFlag3(text);
}

std::string Format(const char* format, int value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string ReadableText(const std::string& s) {
    return EscapedText(s);
}

std::string NameChars(const std::string& s) {
    return FilteredText(s);
}

// ---- Creation -----------------------------------------------------------------------------------

TMyComPort::TMyComPort(QWidget* parent, plat::ITimerService* timers)
    : QWidget(parent), SxComPort1(), SxModem1(&SxComPort1), SxSLController1(&SxComPort1),
      Model(*this, timers ? *timers : plat::QtTimerService::Instance()) {
    // The one link object exists from start-up on; its timers run on the GUI thread.
    zavcom::CreateZavCom(plat::QtTimerService::Instance());
    modemTestTimer_ = (timers ? *timers : plat::QtTimerService::Instance()).CreateTimer();
    modemTestTimer_->SetEnabled(false);
    modemTestTimer_->SetOnTimer([this] { ModemTestTimedOut(); });
    BuildForm();
    BuildReconnect(timers ? *timers : plat::QtTimerService::Instance());
    WireComponents();
    Model.OnChanged = [this] { ShowState(); };
    hide();
    FormCreate();
}

TMyComPort::~TMyComPort() {
    StopCapture(); // the close box ends the program without ShutDown: the capture still ends with its line
    if (zavcom::ZavCom) {
        zavcom::ZavCom->Reset();
        zavcom::ZavCom->SetBytePath(nullptr);
    }
    *alive_ = false;
    StopReconnect();
    // Whatever closes the port from now on is no loss to report.
    SxComPort1.SetOnPortClose(nullptr);
    // No modem event may reach the event queue once it is gone: the engine stops and the port closes
    // (its threads end) while the queue still exists.
    try {
        SxModem1.StopModem();
        CloseDevice();
    } catch (const std::exception& e) {
        sx::TSxCustomComPort::ShowException(e);
    }
    // The indicator leaves the registry while the variable that holds it still exists.
    delete link_led;
    link_led = nullptr;
    if (MyComPort == this) MyComPort = nullptr;
}

void TMyComPort::WireComponents() {
    // The port as the program sets it up: RTS/CTS flow control at 90 % and 10 % of the input queue.
    SxComPort1.SetHWFlowOptions(sx::hwfUseRTS | sx::hwfRequireCTS);
    SxComPort1.SetBufferFull(3686);
    SxComPort1.SetBufferResume(409);
    SxComPort1.SetLogHex(false);
    SxComPort1.SetCommNotificationLevel(1);
    // Only COM1, COM2 and the program's end open or close the port: a modem operation on a closed port
    // must fail, not open it behind the user's back.
    SxComPort1.SetAutoOpen(false);
    SxComPort1.SetOnTriggerAvail(
        [this](sx::TSxCustomComPort& sender, uint16_t count) { SxComPort1TriggerAvail(sender, count); });
    // A port that closes without the console closing it has lost its device (unplugged, the program
    // behind a pseudo-terminal ended, the server gone).
    SxComPort1.SetOnPortClose([this](sx::TSxCustomComPort&) {
        if (!closingPort_) PortLost();
    });

    // The modem with the program's commands; it hangs up by dropping DTR.
    SxModem1.SetInitCmd("AT^M");
    SxModem1.SetDialCmd("ATDT");
    SxModem1.SetDialTerm("^M");
    SxModem1.SetDialCancel("^M");
    SxModem1.SetHangupCmd("DTR");
    SxModem1.SetConfigCmd("AT^M");
    SxModem1.SetAnswerCmd("ATA^M");
    SxModem1.SetLockDTE(true);
    SxModem1.SetDialTimeout(45);
    SxModem1.SetAnswerTimeout(60);
    SxModem1.SetDelayFactor(2);
    SxModem1.SetCmdTimeout(182);
    SxModem1.SetDTRDropHold(8);
    SxModem1.SetCharDelay(0);
    SxModem1.SetTildeDelay(9);
    SxModem1.SetRingWaitTimeout(182);
    // Modem events are raised on the dispatch thread; they run here on the GUI thread, in order.
    SxModem1.SetEventPoster([this](std::function<void()> event) { PostModemEvent(std::move(event)); });
    SxModem1.SetOnModemIsConnected([this](sx::TSxCustomModem&) { SxModem1ModemIsConnected(); });
    SxModem1.SetOnConnectFailed([this](sx::TSxCustomModem&) { SxModem1ConnectFailed(); });
    SxModem1.SetOnGotLineSpeed([this](sx::TSxCustomModem&, int32_t speed) { SxModem1GotLineSpeed(speed); });
    // The modem's pauses on the GUI thread keep the windows painted.
    sx::TSxCustomModem::SetMessagePump([] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        return !QCoreApplication::closingDown();
    });

    // The lights: DCD, DSR, RING, RxD, TxD.
    sx::TLightSet lights;
    lights.DCDLight = SxStatusLight3;
    lights.DSRLight = SxStatusLight4;
    lights.RINGLight = SxStatusLight5;
    lights.RXDLight = SxStatusLight2;
    lights.TXDLight = SxStatusLight1;
    SxSLController1.SetLights(lights);
}

void TMyComPort::FormCreate() {
    PortDescription.clear();
    ModemUsed = false;
    CanCloseConsole = false;
    SavedReceiveHook = nullptr;
    ReceiveHook = nullptr;
    DialNumber = "06601234567";
    Model.ConnectHook = nullptr;
    OpenedComNumber = 1;
    LocalMode = false;
    LineBuffer.clear();
    LastLine.clear();
    OnOkLine = nullptr;
    OnModemTestDone = nullptr;
    AskCommand = "ATI0";
    EchoOffCommand = "ATE0";
    LinkUp = false;
    Closing = false;
    Model.OnPartnerName = nullptr;
    if (zavcom::ZavCom) zavcom::ZavCom->SetBytePath(this);
    if (!MyComPort) MyComPort = this;
    RegisterLinkPanel(&link_led);
    ConsoleAlive = true;
}

bool TMyComPort::InputBox(const std::string& caption, const std::string& prompt, std::string& value) {
    if (InputQuery) return InputQuery(caption, prompt, value);
    bool ok = false;
    const QString answer = QInputDialog::getText(nullptr, plat::ToQ(caption), plat::ToQ(prompt),
                                                 QLineEdit::Normal, plat::ToQ(value), &ok);
    if (ok) value = plat::FromQ(answer);
    return ok;
}

bool TMyComPort::AskFileName(const std::string& caption, std::string& name, bool append) {
    static const char* const filter = "Textdateien (*.txt *.log);;Alle Dateien (*)";
    if (FileNameQuery) return FileNameQuery(caption, filter, name, append);
    const QString chosen = QFileDialog::getSaveFileName(
        nullptr, plat::ToQ(caption), plat::ToQ(name), QString::fromLatin1(filter), nullptr,
        append ? QFileDialog::DontConfirmOverwrite : QFileDialog::Options());
    if (chosen.isEmpty()) return false;
    name = plat::FromQ(chosen);
    return true;
}

// ---- Byte path ----------------------------------------------------------------------------------

void TMyComPort::SendChar(uint8_t b) {
    if (!SxComPort1.Open() || Closing) return;
    LogSent(std::string(1, static_cast<char>(b)));
    SxComPort1.PutChar(b);
}

bool TMyComPort::SendText(const std::string& text) {
    if (!SxComPort1.Open() || Closing) return false;
    LogSent(text);
    SxComPort1.PutString(text);
    return true;
}

std::string TMyComPort::ReadChars(int count) {
    if (Closing) return {};
    std::string got;
    if (count > 0 && SxComPort1.Open()) {
        got.resize(static_cast<size_t>(count));
        int n = 0;
        try {
            n = SxComPort1.GetBlock(reinterpret_cast<uint8_t*>(got.data()), count);
        } catch (const sx::EBufferIsEmpty&) {
            n = 0; // the notification's bytes were taken already
        }
        got.resize(static_cast<size_t>(std::max(n, 0)));
    }
    if (DataMode())
        LogReceivedFrames(got);
    else
        LogReceived(got);
    return got;
}

void TMyComPort::LogReceivedFrames(const std::string& got) {
    if (got.empty() && pendingFrame_.empty()) {
        LogReceived(got);
        return;
    }
    std::string plain;
    for (const char ch : got) {
        if (pendingFrame_.empty() && static_cast<uint8_t>(ch) != zavcom::STX) {
            plain += ch;
            continue;
        }
        if (pendingFrame_.empty() && !plain.empty()) {
            LogReceived(plain);
            plain.clear();
        }
        pendingFrame_ += ch;
        // STX, LEN, the body of LEN - 1 bytes and CKS: LEN + 2 bytes in all.
        if (pendingFrame_.size() >= 2 && pendingFrame_.size() == 2u + static_cast<uint8_t>(pendingFrame_[1])) {
            LogReceived(pendingFrame_);
            pendingFrame_.clear();
        }
    }
    if (!plain.empty()) LogReceived(plain);
}

void TMyComPort::FlushPendingFrame() {
    if (pendingFrame_.empty()) return;
    const std::string part = std::move(pendingFrame_);
    pendingFrame_.clear();
    LogReceived(part);
}

// ---- Memo and main log --------------------------------------------------------------------------

void TMyComPort::ShowLine(const std::string& line) {
    Memo->appendPlainText(plat::ToQ(line));
    // The newest line stays in view, as in a log that the user follows.
    Memo->moveCursor(QTextCursor::End);
    Memo->ensureCursorVisible();
    if (Reports.Flag(9)) Report(line);
}

void TMyComPort::LogMessage(const std::string& text) {
    FlushPendingFrame();
    ShowLine(text);
    CaptureLine('*', text);
}

void TMyComPort::LogSent(const std::string& text) {
    FlushPendingFrame();
    ShowLine(FormatTraffic(text, ">"));
    CaptureLine('>', TrafficText(text));
}

void TMyComPort::LogSentLine(const std::string& traffic) {
    FlushPendingFrame();
    ShowLine(std::to_string(MSecsSinceMidnight()) + " > " + traffic);
    CaptureLine('>', traffic);
}

void TMyComPort::LogReceived(const std::string& text) {
    ShowLine(FormatTraffic(text, "<"));
    CaptureLine('<', TrafficText(text));
}

std::string TMyComPort::FormatTraffic(const std::string& text, const char* marker) const {
    return std::to_string(MSecsSinceMidnight()) + " " + marker + " " + TrafficText(text);
}

std::string TMyComPort::TrafficText(const std::string& text) const {
    return DataMode() ? HexText(text) + "   " + ReadableText(text) : ReadableText(text);
}

// ---- Received data ------------------------------------------------------------------------------

void TMyComPort::SxComPort1TriggerAvail(sx::TSxCustomComPort&, uint16_t count) {
    if (ReceiveHook) {
        auto hook = ReceiveHook; // the hook may replace itself
        hook(count);
        return;
    }
    if (count == 0) return;
    std::string bytes(count, '\0');
    int n = 0;
    try {
        n = SxComPort1.GetBlock(reinterpret_cast<uint8_t*>(bytes.data()), count);
    } catch (const sx::EBufferIsEmpty&) {
        n = 0;
    }
    // A peer that never ends its line (no CR) gets it cut here and marked, as a terminal wraps it: the
    // buffer, the memo line and the capture line stay small, and the next bytes start a new line.
    static constexpr std::size_t MaxLine = 4096;
    static constexpr const char* CutMark = " [...]";
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
        if (c != CR && c != LF) {
            if (c >= 0x20 && c <= 0x7A)
                LineBuffer += static_cast<char>(c);
            else
                LineBuffer += Format("$%2.2X", c);
        }
        if (c != CR && !DataMode() && LineBuffer.size() >= MaxLine) {
            LogReceived(LineBuffer + CutMark);
            LineBuffer.clear();
            continue;
        }
        if (c != CR && !DataMode()) continue;
        // The line ends.
        if (!LineBuffer.empty()) LogReceived(LineBuffer);
        LastLine = LineBuffer;
        if (LineBuffer.find("CONNECT") != std::string::npos) SetConnectLabel(LineBuffer);
        if (!DataMode()) Model.ModemLine(LineBuffer);
        if (!LastLine.empty() && LastLine != "OK") NoteModemTestLine(LastLine);
        if (LastLine == "OK") {
            if (OnOkLine) {
                auto onOk = OnOkLine; // a step arms the next one
                onOk();
            }
        } else {
            Model.ShowMessage(LineBuffer);
        }
        LineBuffer.clear();
    }
}

// ---- Closing ------------------------------------------------------------------------------------

void TMyComPort::FormClose() {
    ClosePort();
}

bool TMyComPort::FormCloseQuery() {
    hide();
    return CanCloseConsole;
}

void TMyComPort::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

// ---- Link indicator registry --------------------------------------------------------------------

bool RegisterLinkPanel(TLinkPanel** reference) {
    if (!reference || !*reference) return false;
    auto& reg = Registry();
    for (auto it = reg.rbegin(); it != reg.rend(); ++it)
        if (*it == reference) return false;
    TLinkPanel* panel = *reference;
    if (MyComPort && MyComPort->LinkUp) panel->SetColor(clGreen);
    panel->OnClick = LinkPanelClick;
    QObject::connect(panel, &QObject::destroyed, [panel] { ForgetPanel(panel); });
    reg.push_back(reference);
    return true;
}

void SetLinkState(bool on) {
    if (!ConsoleAlive) return;
    if (MyComPort) MyComPort->LinkUp = on;
    const QRgb colour = on ? clGreen : clRed;
    if (colour == LinkColor) return;
    LinkColor = colour;
    // A listener may register or destroy indicators; walk a copy and skip what is gone.
    const std::vector<TLinkPanel**> entries = Registry();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto& reg = Registry();
        if (std::find(reg.begin(), reg.end(), *it) == reg.end()) continue;
        if (TLinkPanel* panel = **it) panel->SetColor(colour);
    }
}

int LinkPanelCount() {
    return static_cast<int>(Registry().size());
}
