#include "link/port.h"

#include "config/Reports.h"
#include "config/VamUtils.h"
#include "config/ed_ini.h"
#include "platform/ComMap.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"
#include "platform/qt/QtTime.h"
#include "serial/device/SxDevices.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <stdexcept>

TMyComPort* MyComPort = nullptr;
bool ConsoleAlive = false;
QRgb LinkColor = clRed;
const char* const NoModemIdText = "keine ModemId";

std::function<bool(const std::string&, const std::string&, std::string&)> TMyComPort::InputQuery;
std::function<bool(const std::string&, const std::string&, std::string&, bool)> TMyComPort::FileNameQuery;

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;
// How long an open waits for the port's threads to finish an earlier close.
constexpr int CloseWaitMs = 3000;

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

void ReportIfFlag3(const std::string& text) {
    if (Reports.ReportWriterIfFlag3) Reports.ReportWriterIfFlag3(text);
}

std::string Format(const char* format, int value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

} // namespace

std::string ReadableText(const std::string& s) {
    return EscapedText(s);
}

std::string NameChars(const std::string& s) {
    return FilteredText(s);
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

// ---- Creation -----------------------------------------------------------------------------------

TMyComPort::TMyComPort(QWidget* parent, plat::ITimerService* timers)
    : QWidget(parent), SxComPort1(), SxModem1(&SxComPort1), SxSLController1(&SxComPort1),
      Timer1((timers ? *timers : plat::QtTimerService::Instance()).CreateTimer()) {
    // The one link object exists from start-up on; its timers run on the GUI thread.
    zavcom::CreateZavCom(plat::QtTimerService::Instance());
    modemTestTimer_ = (timers ? *timers : plat::QtTimerService::Instance()).CreateTimer();
    modemTestTimer_->SetEnabled(false);
    modemTestTimer_->SetOnTimer([this] { ModemTestTimedOut(); });
    BuildForm();
    WireComponents();
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
    ConnectHook = nullptr;
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
    DataMode = false;
    OnPartnerName = nullptr;
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
    LogReceived(got);
    return got;
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
    ShowLine(text);
    CaptureLine('*', text);
}

void TMyComPort::LogSent(const std::string& text) {
    ShowLine(FormatTraffic(text, ">"));
    CaptureLine('>', TrafficText(text));
}

void TMyComPort::LogReceived(const std::string& text) {
    ShowLine(FormatTraffic(text, "<"));
    CaptureLine('<', TrafficText(text));
}

std::string TMyComPort::FormatTraffic(const std::string& text, const char* marker) const {
    return std::to_string(MSecsSinceMidnight()) + " " + marker + " " + TrafficText(text);
}

std::string TMyComPort::TrafficText(const std::string& text) const {
    return DataMode ? HexText(text) + "   " + ReadableText(text) : ReadableText(text);
}

// ---- Capture and saved memo ---------------------------------------------------------------------

namespace {

// The program's 8-bit names and texts as the file system and the capture file take them.
std::string LocalFileName(const std::string& name) {
    return QFile::encodeName(plat::ToQ(name)).toStdString();
}
std::string Utf8(const std::string& text) {
    return plat::ToQ(text).toUtf8().toStdString();
}

} // namespace

void TMyComPort::CaptureLine(char direction, const std::string& text) {
    if (!capture_.Active()) return;
    if (capture_.Write(direction, Utf8(text))) return;
    // The capture has stopped; the connection goes on.
    const std::string why =
        "Mitschnitt gestoppt: " + captureName_ + ": " + FileErrorText(capture_.LastError());
    ShowCaptureState();
    ShowLine(why);
    ShowFailure(why);
}

bool TMyComPort::StartCapture(const std::string& path) {
    StopCapture();
    const bool started = capture_.Start(LocalFileName(path));
    captureName_ = started ? path : std::string();
    ShowCaptureState();
    if (!started) {
        const std::string why =
            "Mitschnitt nicht m\xF6glich: " + path + ": " + FileErrorText(capture_.LastError());
        ShowLine(why);
        ShowFailure(why);
        return false;
    }
    lastCaptureName_ = path;
    LogMessage("Mitschnitt in " + path);
    return true;
}

void TMyComPort::StopCapture() {
    if (!capture_.Active()) return;
    LogMessage("Mitschnitt beendet");
    capture_.Stop();
    captureName_.clear();
    ShowCaptureState();
}

void TMyComPort::ShowCaptureState() {
    const bool on = capture_.Active();
    if (!on) captureName_.clear();
    CaptureLed->SetColor(on ? clLitLight : clUnlitLight);
    CaptureButton->setText(on ? QStringLiteral("Mitschnitt aus") : QStringLiteral("Mitschnitt\u2026"));
    const QString name = plat::ToQ(captureName_);
    CaptureLabel->setText(on ? QFileInfo(name).fileName() : QString());
    CaptureLabel->setToolTip(name);
    CaptureLed->setToolTip(on ? QStringLiteral("Mitschnitt l\u00E4uft: ") + name
                              : QStringLiteral("kein Mitschnitt"));
}

bool TMyComPort::SaveMemo(const std::string& path) {
    std::vector<std::string> lines;
    for (const auto& l : MemoLines())
        lines.push_back(Utf8(l));
    const int err = WriteTextFile(LocalFileName(path), lines);
    if (err == 0) return true;
    const std::string why = "Memo nicht gespeichert: " + path + ": " + FileErrorText(err);
    ShowLine(why);
    ShowFailure(why);
    return false;
}

void TMyComPort::SaveMemoButtonClick() {
    std::string name = "memo.txt";
    if (AskFileName("Memo speichern", name, false)) SaveMemo(name);
}

void TMyComPort::CaptureButtonClick() {
    if (capture_.Active()) {
        StopCapture();
        return;
    }
    std::string name = lastCaptureName_;
    if (AskFileName("Mitschnitt in Datei (wird angeh\xE4ngt)", name, true)) StartCapture(name);
}

std::vector<std::string> TMyComPort::MemoLines() const {
    std::vector<std::string> lines;
    for (QTextBlock b = Memo->document()->begin(); b.isValid(); b = b.next())
        lines.push_back(plat::FromQ(b.text()));
    if (lines.size() == 1 && lines[0].empty()) lines.clear();
    return lines;
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
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
        if (c != CR && c != LF) {
            if (c >= 0x20 && c <= 0x7A)
                LineBuffer += static_cast<char>(c);
            else
                LineBuffer += Format("$%2.2X", c);
        }
        if (c != CR && !DataMode) continue;
        // The line ends.
        if (!LineBuffer.empty()) LogReceived(LineBuffer);
        LastLine = LineBuffer;
        if (LineBuffer.find("CONNECT") != std::string::npos) SetConnectLabel(LineBuffer);
        if (!LastLine.empty() && LastLine != "OK") NoteModemTestLine(LastLine);
        if (LastLine == "OK") {
            if (OnOkLine) {
                auto onOk = OnOkLine; // a step arms the next one
                onOk();
            }
        } else if (!holdMessage_) {
            Nachricht->setText(plat::ToQ(LineBuffer));
        }
        LineBuffer.clear();
    }
}

// ---- Port ---------------------------------------------------------------------------------------

bool TMyComPort::OpenPort(int n) {
    LogSent("myport: open");
    if (SxComPort1.Open()) {
        CloseDevice();
        if (ConnectionShown())
            EndConnection("Verbindung beendet: Port neu ge\xF6"
                          "ffnet");
    }
    AwaitClosed();
    try {
        OpenedComNumber = n;
        SxComPort1.SetParity(sx::pNone);
        SxComPort1.SetDataBits(8);
        SxComPort1.SetStopBits(1);
        SxComPort1.SetComNumber(static_cast<uint16_t>(n));
        SxComPort1.SetBaud(19200);
        SxComPort1.SetOpen(true);
        if (!SxComPort1.Open()) {
            // Still closing: the open would only happen later, unseen; it is called off.
            SxComPort1.SetOpen(false);
            throw std::runtime_error("der Port wird noch geschlossen, bitte noch einmal versuchen");
        }
        SxComPort1.SetDTR(true);
        LogSent("myport: open");
        ComOpenPanel->SetColor(clGreen);
        Closing = false;
        SxSLController1.SetWatching(true);
        COMname->setText(QStringLiteral("COM%1").arg(n));
        ComPortLabel->setText(COMname->text() + QStringLiteral("/19200/8N1"));
        PortDescription = plat::FromQ(ComPortLabel->text());
        GroupBox1->setTitle(QStringLiteral("PORT OPEN"));
        ModemOpenPanel->SetColor(clRed);
        ModemId->setText(QString::fromLatin1(NoModemIdText));
        return true;
    } catch (const std::exception& e) {
        ReportOpenFailure(n, &e);
    } catch (...) {
        ReportOpenFailure(n, nullptr);
    }
    return false;
}

void TMyComPort::ReportOpenFailure(int n, const std::exception* e) {
    // The port is closed, whatever it showed before.
    ComOpenPanel->SetColor(clRed);
    GroupBox1->setTitle(QStringLiteral("PORT CLOSED"));
    const std::string text = OpenFailureText(n, plat::ComDevice(n), e);
    LogMessage(text);
    ShowFailure(text);
}

void TMyComPort::CloseDevice() {
    if (!SxComPort1.Open()) return;
    closingPort_ = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{closingPort_};
    SxComPort1.SetOpen(false);
}

void TMyComPort::AwaitClosed() {
    // The port's threads finish a close after it has returned; bounded, with the GUI alive.
    QElapsedTimer clock;
    clock.start();
    while (SxComPort1.PortPhase() == sx::phClosing && clock.elapsed() < CloseWaitMs)
        Wait(10);
}

void TMyComPort::PortLost() {
    const std::string device = plat::ComDevice(OpenedComNumber);
    const std::string text = "COM" + std::to_string(OpenedComNumber) +
                             (device.empty() ? std::string() : " (" + device + ")") +
                             ": Ger\xE4t nicht mehr erreichbar, Port geschlossen";
    ComOpenPanel->SetColor(clRed);
    GroupBox1->setTitle(QStringLiteral("PORT CLOSED"));
    for (sx::TSxStatusLight* light :
         {SxStatusLight1, SxStatusLight2, SxStatusLight3, SxStatusLight4, SxStatusLight5})
        light->SetLit(false);
    CanCloseConsole = true;
    if (ConnectionShown()) {
        EndConnection(text);
        return;
    }
    Timer1.SetEnabled(false);
    LogMessage(text);
    ShowFailure(text);
}

void TMyComPort::ShowFailure(const std::string& text) {
    Nachricht->setText(plat::ToQ(text));
    holdMessage_ = true;
}

bool TMyComPort::ClosePort() {
    ReportIfFlag3("myport: closing");
    Closing = true;
    CloseDevice();
    if (ConnectionShown()) EndConnection("Verbindung beendet: Port geschlossen");
    Timer1.SetEnabled(false);
    ComOpenPanel->SetColor(clRed);
    ReportIfFlag3("myport: closed");
    GroupBox1->setTitle(QStringLiteral("PORT CLOSED"));
    StopCapture();
    CanCloseConsole = true;
    return true;
}

void TMyComPort::ShutDown(int) {
    Closing = true;
    ReportIfFlag3("port> halt");
    if (ModemUsed) {
        ReportIfFlag3("port> modem.hangup");
        // The program ends whatever the modem says: a hang-up that fails must not keep the port open.
        try {
            HangUpModem();
        } catch (const std::exception& e) {
            ReportIfFlag3(std::string("port> ") + e.what());
        }
    }
    OnOkLine = nullptr;
    OnModemTestDone = nullptr;
    ReportIfFlag3("comport.close");
    if (SxComPort1.Open()) ClosePort();
    modemTestTimer_->SetEnabled(false);
    StopCapture();
    ReportIfFlag3("comport.closed");
    ConsoleAlive = false;
}

void TMyComPort::SetDataMode(bool on) {
    DataMode = on;
    if (on) {
        SendText(std::string("AT01") + CR);
        DataModLed->SetColor(clGreen);
    } else {
        DataModLed->SetColor(clRed);
    }
}

void TMyComPort::SetConnectLabel(const std::string& text) {
    ConnectLabel->setText(plat::ToQ(text));
}

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
    SxModem1.SetAutoStart(true);
    SxModem1.Initialize();
}

void TMyComPort::ModemTest(TTextProc done) {
    ModemInit();
    StartModemTest(std::move(done));
    ModemUsed = true;
}

void TMyComPort::StartModemTest(TTextProc done) {
    ModemId->setText(QString::fromLatin1(NoModemIdText));
    ModemOpenPanel->SetColor(clRed);
    if (SxComPort1.Open() && SxStatusLight4->Lit()) {
        OnModemTestDone = std::move(done);
        LocalMode = true;
        Nachricht->clear();
        LastLine.clear();
        OnOkLine = [this] { ModemTestStep1(); };
        SendText(std::string("AT") + CR);
    } else if (done) {
        done("");
    }
}

void TMyComPort::ModemTestStep1() {
    Nachricht->setText(QStringLiteral("Modem %1").arg(SxComPort1.ComNumber()));
    ComPortLabel->setText(plat::ToQ(PortDescription + "/MODEM"));
    ModemOpenPanel->SetColor(clGreen);
    LastLine.clear();
    ModemTestAnswer.clear();
    OnOkLine = [this] { ModemTestStep2(); };
    Memo->appendPlainText(QStringLiteral("*****"));
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
    LogMessage("MODEMTEST: " + text);
    if (OnModemTestDone) {
        auto done = std::move(OnModemTestDone);
        OnModemTestDone = nullptr;
        done(plat::FromQ(ComPortLabel->text()));
    }
    ShowFailure(plat::FromQ(Nachricht->text()) + ", " + text);
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
    ModemId->setText(ModemTestAnswer.empty() ? Nachricht->text() : plat::ToQ(ModemTestAnswer));
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
    if (SxModem1.IsConnecting()) SxModem1.CancelCall();
    SxModem1.Hangup();
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

// ---- Why a port did not open --------------------------------------------------------------------

std::string OpenFailureText(int n, const std::string& device, const std::exception* e) {
    int code = 0;
    if (const auto* sxe = dynamic_cast<const sx::ESxException*>(e))
        code = sxe->ResultCode;
    else if (const auto* io = dynamic_cast<const sx::EInOutError*>(e))
        code = -io->ErrorCode;
    const std::string com = "COM" + std::to_string(n);
    const std::string where = device.empty() ? std::string() : " (" + device + ")";
    if (code == sx::ecBadId && sx::SxIsNetDevice(device)) {
        // The server is not there, refused, or its name is unknown: the exception names which.
        const std::string why = e && *e->what() ? std::string(" (") + e->what() + ")" : std::string();
        return com + where + ": keine Verbindung zum Server" + why +
               "; Adresse und Port pr\xFC" "fen und ob der Server l\xE4uft";
    }
    switch (code) {
    case sx::ecBadId:
    case sx::ecFileNotFound:
    case sx::ecPathNotFound:
        return com + " nicht vorhanden: das Ger\xE4t" + where + " gibt es nicht";
    case sx::ecAlreadyOpen: {
        std::string text = com + where + " wird von einem anderen Programm benutzt";
        const std::string holder =
            plat::IsSimDevice(device) || plat::IsSimModemDevice(device) || plat::IsSimControllerDevice(device)
                ? std::string()
                : sx::SxPortHolder(device);
        if (!holder.empty()) text += ": " + holder;
        return text;
    }
    case sx::ecNoPermission:
    case -EACCES:
    case -EPERM:
        return "Keine Berechtigung f\xFCr " + com + where +
               ": den Benutzer in die Gruppe dialout aufnehmen (sudo usermod -aG dialout $USER) und neu "
               "anmelden";
    case sx::ecNoPortSelected:
        return com + ": kein Port gew\xE4hlt";
    default:
        break;
    }
    const std::string reason = e && *e->what() ? e->what() : "unbekannter Fehler";
    return com + where +
           " kann nicht ge\xF6"
           "ffnet werden: " +
           reason;
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
        return BreakFailed("der Port ist geschlossen; erst mit COM1 oder COM2 \xF6" "ffnen");
    try {
        SxComPort1.SetBreak(true);
    } catch (const std::exception& e) {
        const std::string device = plat::ComDevice(OpenedComNumber);
        return BreakFailed("COM" + std::to_string(OpenedComNumber) + (device.empty() ? "" : " (" + device + ")") +
                           ": " + e.what());
    }
    const std::string traffic = "[BREAK " + std::to_string(ms) + " ms]";
    ShowLine(std::to_string(MSecsSinceMidnight()) + " > " + traffic);
    CaptureLine('>', traffic);
    QElapsedTimer held; // a timer may end its wait a little early: the break lasts at least ms
    held.start();
    while (held.elapsed() < ms)
        Wait(static_cast<int>(ms - held.elapsed()));
    // A port closed meanwhile (the device lost) has released the break with its close.
    try {
        SxComPort1.SetBreak(false);
    } catch (const std::exception& e) {
        const std::string text = std::string("BREAK nicht beendet: ") + e.what() + "; CLOSE gibt die Leitung frei";
        LogMessage(text);
        ShowFailure(text);
        return false;
    }
    return true;
}

bool TMyComPort::BreakFailed(const std::string& why) {
    const std::string text = "BREAK nicht gesendet: " + why;
    LogMessage(text);
    ShowFailure(text);
    return false;
}
