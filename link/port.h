#pragma once
// The port test console's unit: the console form TMyComPort and the registry of link indicators.
//
// The console is the program's only user of the serial line. It owns the port (SxComPort1), the modem
// (SxModem1), the status light controller with its five lights, the link indicator link_led and one
// multi-purpose timer (Timer1). With it the user opens COM1 or COM2, talks to a modem by hand, runs a
// modem test, dials, follows the connection through the synchronisation with the lift controller and
// the partner notification, and sends single link requests. Everything sent and received is written as
// a traffic line to the memo (and to the main log while report switch 9 is set).
//
// It is also the link object's byte path (zavcom::IZavBytePath): the link writes through SendChar and
// SendText and reads through ReadChars after installing its receive routine as the receive hook.
//
// Threads: everything runs on the GUI thread. The modem raises its events on the serial layer's
// dispatch thread; the console queues them to the GUI thread, where they run one at a time, in order.
//
// The application creates the one console at start-up (MyComPort = new TMyComPort(...)). The registry
// recolours every registered link indicator with one call of SetLinkState.

#include "link/ConsoleModel.h"
#include "link/LineCapture.h"
#include "link/LinkPanel.h"
#include "link/zavcom.h"
#include "platform/Clock.h"
#include "serial/lights/SxSLController.h"
#include "serial/modem/SxModem.h"
#include "serial/port/SxComPort.h"
#include "serial/widgets/SxStatusLight.h"

#include <QFrame>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QCheckBox;
class QFileSystemWatcher;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// A lowered panel that shows a colour (the console's port, modem, connect and data-mode panels).
class TColorPanel : public QFrame {
    Q_OBJECT
public:
    explicit TColorPanel(QRgb color, QWidget* parent = nullptr);
    QRgb Color() const;
    void SetColor(QRgb value);
};

// A push button with a free number, as the console's counting buttons keep one.
class TTagButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

using console::TConsoleTimer;

// Colours of the console's displays.
constexpr QRgb clLitLight = clLime;
constexpr QRgb clUnlitLight = clMaroon;

class TMyComPort : public QWidget, public console::IConsoleLine {
    Q_OBJECT
public:
    using TTextProc = std::function<void(const std::string& text)>;
    using TOkProc = std::function<void()>;
    using TReceiveHook = zavcom::TReceiveHook;

    // timers: where Timer1 comes from (null: the Qt timers of the GUI thread).
    explicit TMyComPort(QWidget* parent = nullptr, plat::ITimerService* timers = nullptr);
    ~TMyComPort() override;

    // The modal input box. The application routes it through its dialog wrapper, so that tests can
    // answer it in advance; unset, a plain Qt input dialog is shown. True and value set when confirmed.
    static std::function<bool(const std::string& caption, const std::string& prompt, std::string& value)>
        InputQuery;
    // The answer of an input box offering def; false when it is cancelled.
    static bool InputBox(const std::string& caption, const std::string& prompt, std::string& value);
    // The file dialog, routed like the input box: a file to write (append: one to append to, kept as it
    // is). True and name set when a file was chosen.
    static std::function<bool(const std::string& caption, const std::string& filter, std::string& name,
                              bool append)>
        FileNameQuery;

    // ---- The byte path of the link --------------------------------------------------------------
    // While the port is open and Closing is false: logged as sent, then written. Otherwise nothing.
    void SendChar(uint8_t b) override;
    bool SendText(const std::string& text) override;
    // Empty while Closing (nothing is taken or logged); otherwise count received bytes, logged as
    // received (also for count 0).
    std::string ReadChars(int count) override;
    void SetReceiveHook(TReceiveHook hook) override { ReceiveHook = std::move(hook); }

    // ---- Memo and main log ----------------------------------------------------------------------
    void LogMessage(const std::string& text);
    void LogSent(const std::string& text);
    void LogReceived(const std::string& text);
    // One traffic line: milliseconds of the day, the marker (">" sent, "<" received) and the readable
    // text; in data mode the bytes in hex come before the readable text.
    std::string FormatTraffic(const std::string& text, const char* marker) const;
    // A traffic line's text after its marker: in data mode the bytes in hex, three blanks, then the
    // readable text; otherwise the readable text.
    std::string TrafficText(const std::string& text) const;
    // The memo's lines, oldest first.
    std::vector<std::string> MemoLines() const;

    // ---- Capture of the line and the memo as a file ----------------------------------------------
    // Appends every line from now on to the file at path (see TLineCapture for the format) until CLOSE,
    // exit or StopCapture. False, with the reason in the memo and the message line, when it cannot be
    // opened. A write that fails (disk full) stops the capture the same way; the port is not touched.
    bool StartCapture(const std::string& path);
    void StopCapture();
    bool Capturing() const { return capture_.Active(); }
    // Writes the memo's lines to path (replacing it). False, with the reason shown, when it cannot.
    bool SaveMemo(const std::string& path);

    // ---- Port and modem -------------------------------------------------------------------------
    // Opens COM n at 19200 8N1 with DTR on and starts the status lights. False when it cannot be
    // opened; the memo and the message line then say why.
    bool OpenPort(int n);
    // Closes the port; always true.
    bool ClosePort();
    // Closes an open port for a reason of the program's (another tool family): memo and message say it.
    void ClosePortFor(const std::string& why);
    // Program exit: hangs up a modem that INIT or TEST used, closes the port, ends the link indicators.
    void ShutDown(int code);
    void SetDataMode(bool on) { Model.SetDataMode(on); }
    void SetConnectLabel(const std::string& text) { Model.SetConnectLabel(text); }
    // Sends the modem's init strings from the configuration (three 200 ms waits in which the GUI stays
    // alive), then the modem's own initialisation.
    void ModemInit();
    void ModemTest(TTextProc done);
    void StartModemTest(TTextProc done);
    void HangUpModem();

    // ---- The line as the connection model sees it -------------------------------------------------
    bool PortOpen() const override;
    bool CarrierOn() override;
    bool ModemConnecting() const override;
    void ModemDial(const std::string& number) override;
    void ModemCancelCall() override;
    void ModemHangup() override;

    // ---- The connection sequence (the model's steps, under the console's names) -------------------
    // True when the carrier is lost (then the connection display is undone and Timer1 stops).
    bool CheckCarrier() { return Model.CheckCarrier(); }
    bool DialOut(const std::string& number, TTextProc onPartner, TTextProc onFail);
    // Every received byte ends a line; traffic lines carry hex.
    bool DataMode() const { return Model.DataMode(); }
    // Shows the model's state in every display of the console; the one place that sets them.
    void ShowState();
    void ShowDecodedAnswer(const std::string& answer);

    // ---- Event handlers -------------------------------------------------------------------------
    void FormCreate();
    void FormClose();
    // The answer to a close request; the form hides itself either way.
    bool FormCloseQuery();
    void SxComPort1TriggerAvail(sx::TSxCustomComPort& sender, uint16_t count);
    void SxModem1ModemIsConnected();
    void SxModem1ConnectFailed();
    void SxModem1GotLineSpeed(int32_t speed);
    void Timer1Timer1() { Model.Timer1Timer1(); }
    void Timer1Timer2() { Model.Timer1Timer2(); }
    void Timer1Timer3() { Model.Timer1Timer3(); }
    void Timer1Timer4() { Model.Timer1Timer4(); }
    void Timer1Timer5() { Model.Timer1Timer5(); }

    void BitBtn3Click();
    void COM1ButtonClick();
    void COM2ButtonClick();
    void CLOSEButtonClick();
    void InitButtonClick();
    void MODEMButtonClick();
    void ATButtonClick();
    void SOHButtonClick();
    void ATSButtonClick();
    void IDButtonClick();
    void BitBtn2Click();
    void EchoButtonClick();
    void TestButtonClick();
    void Button1Click();
    void BitBtn1Click();
    void DialTestButtonClick();
    void NotifyButtonClick();
    void SyncButtonClick();
    void BitBtn5Click();
    void BitBtn9Click();
    void BitBtn10Click();
    void F100ButtonClick();
    void F101ButtonClick();
    void F140ButtonClick();
    void F07000F100ButtonClick();
    void F07001F100ButtonClick();
    void SaveMemoButtonClick();
    void CaptureButtonClick();
    void BreakButtonClick();

    // ---- Break ----------------------------------------------------------------------------------
    // Holds the line in the break state for ms (MinBreakMs to MaxBreakMs) with the GUI alive, after the
    // output sent before; the memo and the capture get a traffic line for it. False, with the reason in
    // the memo and the message line, when the length is out of bounds, the port is closed or the
    // connection cannot carry a break.
    bool SendBreak(int ms);

    // ---- Components -----------------------------------------------------------------------------
    sx::TSxComPort SxComPort1;
    sx::TSxModem SxModem1;
    sx::TSxSLController SxSLController1;
    // The connection's state; every display of the console is derived from it.
    console::TConsoleModel Model;
    TConsoleTimer& Timer1 = Model.Timer1;

    // ---- Controls -------------------------------------------------------------------------------
    QLabel* Label3;
    QPlainTextEdit* Memo;
    QPushButton* BitBtn3;
    QPushButton *SaveMemoButton, *CaptureButton;
    TColorPanel* CaptureLed;
    QLabel* CaptureLabel;
    QLineEdit* Nachricht;
    QGroupBox* GroupBox1;
    TColorPanel* ComOpenPanel;
    QLabel* COMname;
    QPushButton *COM1Button, *COM2Button, *CLOSEButton;
    QGroupBox* GroupBox2;
    TColorPanel* ModemOpenPanel;
    QLabel* ModemId;
    QPushButton *InitButton, *MODEMButton;
    QGroupBox* LEDS;
    sx::TSxStatusLight *SxStatusLight1, *SxStatusLight2, *SxStatusLight3, *SxStatusLight4, *SxStatusLight5;
    TColorPanel* ConnectLed;
    QGroupBox* GroupBox5;
    TLinkPanel* link_led;
    QLabel* ComPortLabel;
    QGroupBox* GroupBox7;
    TColorPanel* DataModLed;
    QLabel *Label5, *ConnectLabel;
    QGroupBox* GroupBox6;
    QPushButton *F100Button, *F101Button, *F140Button;
    QGroupBox* GruppenTest;
    QPushButton *F07000F100Button, *F07001F100Button;
    QGroupBox* GroupBox3;
    QPushButton *BitBtn1, *EchoButton, *TestButton, *Button1;
    QGroupBox* GroupBox4;
    QLabel *DialStatusLabel, *Label1, *timerstring;
    QPushButton *DialTestButton, *SyncButton, *BitBtn9, *BitBtn10, *NotifyButton, *BitBtn5;
    QPushButton *BitBtn2, *ATButton;
    TTagButton *IDButton, *ATSButton;
    QPushButton* SOHButton;
    QPushButton* BreakButton;
    QLineEdit* BreakLength; // the break's length in ms
    QCheckBox* ReconnectBox; // "automatisch wieder öffnen"

    // ---- Console state --------------------------------------------------------------------------
    std::string PortDescription;
    bool ModemUsed = false;
    bool CanCloseConsole = false;
    TReceiveHook SavedReceiveHook;
    TReceiveHook ReceiveHook;
    std::string DialNumber = "06601234567";
    int32_t OpenedComNumber = 1;
    bool LocalMode = false;
    std::string LineBuffer;
    std::string LastLine;
    TOkProc OnOkLine;
    TTextProc OnModemTestDone;
    std::string AskCommand = "ATI0";
    std::string EchoOffCommand = "ATE0";
    // Link state shown by the link indicators.
    bool LinkUp = false;
    // Port closed by the console or program halting: SendChar, SendText and ReadChars do nothing.
    bool Closing = false;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildForm();
    void WireComponents();
    void ModemTestStep1();
    void ModemTestStep2();
    // Remembers a received line that may be the modem's answer to the identification command.
    void NoteModemTestLine(const std::string& line);
    void SendInitStrings(const std::string& i1, const std::string& i2, const std::string& i3);
    // Waits ms with the GUI alive (user input is held back meanwhile).
    void Wait(int ms);
    void SendLinkRequest(const std::string& payload);
    // A typed command of a button: refused, with the reason shown, while the port is closed.
    bool SendTyped(const char* button, const std::string& text);
    // Runs a modem event on the GUI thread, after those raised before it.
    void PostModemEvent(std::function<void()> event);
    void RunModemEvents();
    // Says in the memo and the message line why COM n could not be opened.
    void ReportOpenFailure(int n, const std::exception* e);
    // Closes the device on the console's behalf (no loss is reported for it).
    void CloseDevice();
    // Waits until a close of the port has finished on the port's threads.
    void AwaitClosed();
    // The device behind the open port went away and the port closed itself.
    void PortLost();
    // Shows a failure in the memo and the message line and keeps it there against later received lines
    // until the user presses a button.
    void ShowFailure(const std::string& text) { Model.ShowFailure(text); }
    // A modem operation's failure as a German text (the serial layer's texts are English).
    static std::string ModemFailureText(const std::exception& e);
    // Runs a modem operation; a failure becomes a std::runtime_error with a German text.
    static void Modem(const std::function<void()>& operation);
    // The modem test's identification got no answer line in time.
    void ModemTestTimedOut();
    // A line into the memo (and the main log while report switch 9 is set).
    void ShowLine(const std::string& line);
    // A sent line whose text after the marker is given (a break, bytes typed by value).
    void LogSentLine(const std::string& traffic);
    // Received bytes in data mode: a link frame (STX to CKS) is one line however the system cut it into
    // reads; other bytes are a line per read. A frame not yet complete waits for its rest.
    void LogReceivedFrames(const std::string& got);
    // The part of a frame that waits is written when anything else is (nothing is held back for long).
    void FlushPendingFrame();
    // A line into the capture file, when a capture runs; a failed write ends the capture.
    void CaptureLine(char direction, const std::string& text);
    // The capture light, button and file name show whether a capture runs.
    void ShowCaptureState();
    // Asks for a file name through FileNameQuery (a plain file dialog when unset).
    static bool AskFileName(const std::string& caption, std::string& name, bool append);
    // Says why no break was sent, in the memo and the message line; false.
    bool BreakFailed(const std::string& why);
    // "automatisch wieder öffnen": the box, and waiting for a lost device to come back.
    void BuildReconnect(plat::ITimerService& timers);
    void StartReconnect();
    void StopReconnect();
    void TryReconnect();

    // The console closes the port itself.
    bool closingPort_ = false;
    // Received bytes of a link frame whose rest has not arrived yet.
    std::string pendingFrame_;
    // The COM number waited for after its device was lost (0: none), and whether an open is a retry.
    int reconnectCom_ = 0;
    bool reconnecting_ = false;
    std::unique_ptr<plat::ITimer> reconnectTimer_;
    QFileSystemWatcher* deviceWatch_ = nullptr;
    // The capture of the line, and the name of its file as the user chose it.
    TLineCapture capture_;
    std::string captureName_;
    // The file of the last capture, offered for the next one.
    std::string lastCaptureName_ = "mitschnitt.log";
    // Bounds the modem test's wait for the identification.
    std::unique_ptr<plat::ITimer> modemTestTimer_;

    // The last line since the modem test's first step that answers the identification command.
    std::string ModemTestAnswer;
    // Modem events waiting for the GUI thread.
    struct EventQueue {
        std::mutex Lock;
        std::deque<std::function<void()>> Events;
        bool Running = false; // on the GUI thread only
    };
    std::shared_ptr<EventQueue> modemEvents_ = std::make_shared<EventQueue>();
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The one console of the program; null until the application creates it.
extern TMyComPort* MyComPort;

// True from the console's creation until its shut-down; while false, SetLinkState does nothing.
extern bool ConsoleAlive;
// The colour last given to the registered indicators; clRed at program start.
extern QRgb LinkColor;
// The text ModemId shows while no modem has identified itself.
extern const char* const NoModemIdText;
// The input box's prompt: its caption, then the notation for bytes by value.
inline constexpr const char* InpBoxPrompt =
    "TEST STRING\n(^M = Steuerzeichen, ~ = Pause, $01 oder \\x01 = Byte 01; CR wird angeh\xE4ngt)";
// How long the modem test waits for the answer to the identification command.
constexpr int ModemTestTimeoutMs = 5000;
// How often the console looks for a lost device that no folder change announces.
constexpr int ReconnectIntervalMs = 2000;
// The break's length: the bounds the console accepts and what it offers.
constexpr int MinBreakMs = 10;
constexpr int MaxBreakMs = 2000;
constexpr int DefaultBreakMs = 250;

// The readable form of received or sent bytes (trimmed; other bytes than 0x20..0x7F as "~XX~").
std::string ReadableText(const std::string& s);
// Only the bytes "0" to "z".
std::string NameChars(const std::string& s);

// Why COM n could not be opened, in German, from the failure the serial layer raised (null: unknown):
// port missing, held by another program (with its PID and name when known), no permission (with the
// device and the dialout group), or the layer's own text.
std::string OpenFailureText(int n, const std::string& device, const std::exception* e);

// Registers the variable that holds a link indicator; the entry follows the variable, so the panel it
// holds when SetLinkState runs is the one recoloured. False for no variable, a variable that holds no
// panel, or a variable already registered. A panel registered while the link is up turns green at once.
// A destroyed panel leaves the registry by itself.
bool RegisterLinkPanel(TLinkPanel** reference);

// Sets the console's LinkUp and colours every registered indicator green (on) or red, the last
// registered first. Nothing happens while the console is not alive or when the colour does not change.
void SetLinkState(bool on);

// Number of registry entries.
int LinkPanelCount();
