#pragma once
// The console's connection as one state machine, without Qt.
//
// Every button of the console and every event of the line (a modem reply, the carrier, the device gone,
// a time-out) goes through one of the transitions below; the console's displays are all derived from the
// state in one place (View), so what the console shows is what the line does. The connection sequence
// lives here too: dial with a countdown, follow the modem to a connection, enter data mode, synchronise
// with the lift controller ("MST.SYNC"), notify it, ask for its name, then watch the carrier.
//
//   PortClosed --open--> Idle --dial--> Dialling --CONNECT--> Connected --200 ms--> Synchronising
//   Synchronising --06 15 15--> Notifying --acknowledged--> LinkUp
//   Synchronising --retries used up--> CallNoLink;  Dialling --failure, HangUp, CLOSE--> Idle/PortClosed
//   any call --carrier lost--> Idle;  any call --HangUp--> HangingUp (until the carrier goes)
//   anything --CLOSE--> PortClosed;  anything --device lost--> PortClosed
//
// The line (IConsoleLine) is the real port and modem in the program and a simulated modem and controller in
// virtual time in the tests. Timer1 comes from the timer service the model is given.

#include "link/zavcom.h"
#include "platform/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace console {

// The modem panel's text while no modem has identified itself, and why a closed port refuses an action.
inline constexpr const char* NoModemId = "keine ModemId";
inline constexpr const char* PortClosedText = "der Port ist geschlossen; erst mit COM1 oder COM2 \xF6"
                                              "ffnen";

enum class TPhase {
    PortClosed,    // no device open
    Idle,          // the port is open, no call
    Dialling,      // the modem dials; the countdown runs
    Connected,     // the modem reported the connection; data mode follows 200 ms later
    Synchronising, // data mode; the controller is probed with 01 until it answers 06 15 15
    Notifying,     // synchronised; the partner notification is under way
    LinkUp,        // the controller acknowledged the notification
    CallNoLink,    // the call is up, but the synchronisation or the notification failed
    HangingUp,     // the hang-up went out; the carrier is still on
};
const char* PhaseName(TPhase phase);

// What the console's line does for the model: the byte path (shared with the link object) plus the modem
// and the carrier. Modem operations raise std::exception with a German text when they fail.
class IConsoleLine : public zavcom::IZavBytePath {
public:
    virtual bool PortOpen() const = 0;
    // DCD of the open port.
    virtual bool CarrierOn() = 0;
    virtual bool ModemConnecting() const = 0;
    virtual void ModemDial(const std::string& number) = 0;
    virtual void ModemCancelCall() = 0;
    virtual void ModemHangup() = 0;
    // One console message line: memo, capture and (with report switch 9) the main log.
    virtual void LogMessage(const std::string& text) = 0;
};

// Every display element of the console, as plain values.
struct TConsoleView {
    bool PortOpen = false; // ComOpenPanel green and "PORT OPEN", else red and "PORT CLOSED"
    std::string ComName = "COM1";
    std::string PortLabel = "UR.ComPortLabel";
    bool ModemOk = false; // ModemOpenPanel green
    std::string ModemId = "keine ModemId";
    bool ConnectLit = false; // ConnectLed clLime
    bool DataMode = false;   // DataModLed clGreen
    bool LinkUp = false;     // the link indicators green
    std::string DialStatus = "status";
    std::string Seconds = "timerstring";
    std::string ConnectLabel = "NC";
    std::string Message = "  keine Nachricht";
};

// The console's one timer: a periodic timer that carries one handler at a time and a free number (Tag)
// that the connection sequence uses as its seconds counter. Assigning a handler while the timer runs
// restarts its countdown, as does a change of interval or of the enabled state.
class TConsoleTimer {
public:
    using THandler = std::function<void()>;
    explicit TConsoleTimer(std::unique_ptr<plat::ITimer> timer);
    void SetOnTimer(THandler handler, const char* name);
    // The name of the handler installed ("" for none); lets tests and traces see the step.
    const std::string& HandlerName() const { return handlerName_; }
    void SetInterval(int ms) { timer_->SetInterval(ms); }
    int Interval() const { return timer_->Interval(); }
    void SetEnabled(bool on) { timer_->SetEnabled(on); }
    bool Enabled() const { return timer_->Enabled(); }
    int Tag = 0;

private:
    std::unique_ptr<plat::ITimer> timer_;
    THandler handler_;
    std::string handlerName_;
};

// What the line really does, as a test or a watcher sees it, for the invariants.
struct TLineFacts {
    bool DeviceOpen = false;
    bool CarrierOn = false;
    bool ModemDialling = false;  // the modem is dialling, ringing or training
    int64_t CarrierOffForMs = 0; // how long the carrier has been off (0 while on)
    int64_t CarrierOnForMs = 0;  // how long the carrier has been on (0 while off)
};

class TConsoleModel {
public:
    using TTextProc = std::function<void(const std::string& text)>;

    TConsoleModel(IConsoleLine& line, plat::ITimerService& timers);

    // Called after every transition: the console shows View() then.
    std::function<void()> OnChanged;

    TPhase Phase() const { return phase_; }
    TConsoleView View() const;
    // A call is up as far as the console knows: the dial guard and the carrier watch go by it.
    bool CallShown() const;
    bool DataMode() const { return dataMode_; }

    // ---- Port ------------------------------------------------------------------------------------
    void PortOpened(int n);
    // An open failed or a reopen closed the device first: the port shows closed, why in memo and message.
    void PortOpenFailed(const std::string& why);
    // Before the console closes the device (CLOSE, a reopen, the program's end): a dial is called off.
    void PortClosing();
    // CLOSE, the close box or the program's end.
    void PortClosed();
    // The device behind the open port went away and the port closed itself.
    void PortLost(const std::string& why);

    // ---- Modem panel -----------------------------------------------------------------------------
    // INIT or TEST: a failed dial's text says nothing about the modem now.
    void ModemCommandStarted();
    // TEST: the modem panel is red with no id until the modem answers.
    void ModemTestStarted();
    void ModemIdentified(const std::string& id);
    void SetPortLabel(const std::string& text);

    // ---- Message line ----------------------------------------------------------------------------
    // A received line or a result; a failure shown before stays until the user acts again.
    void ShowMessage(const std::string& text);
    // A failure: memo and message line; received lines do not overwrite it.
    void ShowFailure(const std::string& text);
    // The same with a longer memo line than the message line shows.
    void ShowFailure(const std::string& message, const std::string& memoLine);
    // The user acts again: a held failure may be replaced from now on.
    void ReleaseMessage() { holdMessage_ = false; }
    void SetConnectLabel(const std::string& text);
    // Says, with the action's name, that the closed port refuses it; false. True when the port is open.
    bool RequireOpenPort(const std::string& action);

    // ---- The connection sequence -----------------------------------------------------------------
    // Dials number: refused with a reason (memo, message, onFail) when the port is closed or a call is
    // shown; a dial in progress is cancelled first. Starts the countdown from dialTimeout seconds.
    bool DialOut(const std::string& number, TTextProc onPartner, TTextProc onFail, int dialTimeout);
    // HangUp: abandons a dial, or leaves data mode and hangs up a call; the display follows the carrier.
    void HangUp();
    // The "MST.SYNC" and "PartnerName" buttons.
    void StartSyncByHand();
    void RequestPartnerNameByHand();
    // Modem events, on the GUI thread in the order raised.
    void ModemIsConnected();
    void ModemConnectFailed();
    void ModemLineSpeed(int32_t speed);
    // Program end: a call leaves data mode before the modem hangs up; Timer1 stops.
    void ShutDown();
    // A line the modem sent in command state: where DCD says nothing, its answer to the hang-up ends the call.
    void ModemLine(const std::string& line);

    // The steps (public for the console's published handlers and for tests).
    void Timer1Timer1();
    void Timer1Timer2();
    void Timer1Timer3();
    void Timer1Timer4();
    void Timer1Timer5();
    bool CheckCarrier();
    void SetDataMode(bool on);

    TConsoleTimer Timer1;
    TTextProc OnPartnerName;
    std::function<void(bool connected)> ConnectHook;

    // The invariants a user relies on, checked against what the line does; each broken one as a text.
    std::vector<std::string> BrokenInvariants(const TLineFacts& line) const;

    // How long a hang-up may leave the carrier on before the console says the modem did not hang up.
    static constexpr int HangUpGraceMs = 8000;
    // When a hang-up by DTR has not dropped the carrier, the escape "+++" follows after this time.
    static constexpr int EscapeAfterMs = 2000;
    // The call's display follows a lost carrier within this time (the carrier watch's period and a bit).
    static constexpr int CarrierWatchMs = 1000;

private:
    void Changed();
    void SetPhase(TPhase phase);
    void StopTimer();
    void EndConnection(const std::string& why);
    void AbandonDial(const std::string& why);
    // Calls a running dial off at the modem while the port is still open; a failure is said in the memo.
    void CancelModemDial();
    void WatchCarrier();
    void HangUpStep();
    void AfterConnect(bool connected);
    void StartSync();
    void SyncReceive(uint16_t count);
    void SyncFailed();
    void IdleReceive(uint16_t count);
    void PartnerNotified(const std::string& text);
    void RequestPartnerName();
    void PartnerNameReceived(const std::string& answer);
    void ReportLinkError(const std::string& text);
    void ResetCallDisplay();
    void ReleaseLink();

    IConsoleLine& line_;
    // Watches the carrier in every phase of a call, also while Timer1 carries a step of the sequence.
    std::unique_ptr<plat::ITimer> carrierWatch_;
    TPhase phase_ = TPhase::PortClosed;
    bool callUp_ = false; // the modem reported a connection that has not ended since
    // DCD has been seen off on this port since it was opened: it is a signal here, not a line that is always
    // on (a pseudo-terminal has no modem lines).
    bool carrierSignals_ = false;
    bool hangUpCommandSent_ = false;
    bool dataMode_ = false;
    bool holdMessage_ = false;
    int hangUpWaitMs_ = 0;
    TConsoleView view_;
};

} // namespace console

// Synchronisation attempts left, and what the controller sent during the synchronisation.
extern int32_t SyncRetries;
extern std::string SyncBuffer;
