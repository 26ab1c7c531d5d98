#pragma once
// The Hayes modem component: drives a modem attached to a serial port component. It sends the
// initialisation, dial, cancel and hang-up commands, recognises the modem's replies in the received
// data, follows a connect through to the reported line speed and the error-correction and
// data-compression replies, and reports each outcome as an event.
//
// TSxCustomModem holds the behaviour; TSxModem is the component as placed on a form. The work is
// done by a modem engine (serial/modem/SxModemEngine.h) that the component builds when it starts
// and that runs inside the port dispatcher's trigger delivery.
//
// Threads. The operations (Initialize, Dial, CancelCall, Hangup, ...) and the property setters are
// called on the GUI thread, the thread that created the component. The events are raised on the
// dispatcher's dispatch thread, not on the GUI thread: a handler that touches widgets or other
// GUI-thread state must hand its work to the GUI thread. The easy way is SetEventPoster: every
// event is then passed, with its arguments captured by value, to the poster instead of being called,
// in the order raised; the poster queues it for the GUI thread (for example with
// plat::IGuiHandoff::PostToGuiThread), where the handler runs one at a time in that order. An event
// that reaches the GUI thread after the component was destroyed is dropped.
// Called directly (no poster), a handler must not wait for the GUI thread: the component's
// destructor waits for a handler that is running.
//
// The pauses of the operations on the GUI thread (TildeDelay, DTRDropHold, CharDelay) keep the GUI
// alive through the process-wide message pump (SetMessagePump); pauses on the dispatch thread (the
// busy pause, DelayFactor inside a cancel) only wait.
//
// Failures raise exceptions of the ESxException family (serial/errors/SxErrors.h). Reply-level
// failures are not exceptions; they arrive as events.

#include "serial/errors/SxErrors.h"
#include "serial/port/SxComPort.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace plat {
class IClock;
}

namespace sx {

class TSxModemEngine;
struct TSxModemSettings;

// The engine's state.
enum EngineState : uint8_t {
    esIdle = 0,       // nothing in progress
    esCommand = 1,    // a command was sent, waiting for OK or ERROR
    esDialing = 2,    // dialled, waiting for CONNECT or a failure reply
    esWaitSpeed = 3,  // CONNECT seen, waiting for the first digit of the line speed
    esReadSpeed = 4,  // reading the digits of the line speed
    esAnswering = 5,  // answering a call
    esAutoAnswer = 6, // counting rings before answering
    esWaitTags = 7,   // line speed known, waiting for the error-correction/data-compression replies
};

// What happened, as OnModemEvent reports it (WhatHappened). Also the outcome that
// OnCommandProcessed receives: meModemOk, meModemError or meCmdTimedOut.
enum TModemEventKind : uint16_t {
    meModemOk = 0,
    meModemConnect = 1,
    meModemBusy = 2,
    meModemVoice = 3,
    meModemNoCarrier = 4,
    meModemNoDialTone = 5,
    meModemError = 6,
    meGotLineSpeed = 7,
    meGotErrCorrection = 8,
    meGotDataCompression = 9,
    meCmdTimedOut = 10,
    meDialTimedOut = 11,
    meAnswerTimedOut = 12,
    meDialCount = 13,
    meAnswerCount = 14,
    meModemRing = 15,
    meModemIsConnected = 16,
    meConnectFailed = 17,
    meCommandProcessed = 18,
};

// Up to five reply strings (each up to 21 characters); empty ones are not used.
struct TTagSet {
    std::string String1, String2, String3, String4, String5;
    bool operator==(const TTagSet&) const = default;
};

class TSxCustomModem;

using TModemNotifyEvent = std::function<void(TSxCustomModem& sender)>;
using TModemSpeedEvent = std::function<void(TSxCustomModem& sender, int32_t speed)>;
using TModemCountEvent = std::function<void(TSxCustomModem& sender, uint16_t remaining)>;
// outcome: meModemOk, meModemError or meCmdTimedOut.
using TModemOutcomeEvent = std::function<void(TSxCustomModem& sender, uint16_t outcome)>;
// whatHappened: a TModemEventKind; data: the speed, the remaining count or the command outcome, else 0.
using TModemEventEvent = std::function<void(TSxCustomModem& sender, uint16_t whatHappened, int32_t data)>;
// Runs an event later on the GUI thread, in the order given.
using TModemEventPoster = std::function<void(std::function<void()> event)>;

// Longest texts the properties keep (longer values are cut).
constexpr size_t ModemCmdMaxLength = 41;
constexpr size_t ModemConfigMaxLength = 255;
constexpr size_t ModemReplyMaxLength = 21;

class TSxCustomModem : public TSxComponentState {
public:
    // comPort: the port the modem is attached to (may be set later with SetComPort); clock: times
    // the pauses (null: the system's monotonic clock).
    explicit TSxCustomModem(TSxCustomComPort* comPort = nullptr, plat::IClock* clock = nullptr);
    ~TSxCustomModem() override;
    TSxCustomModem(const TSxCustomModem&) = delete;
    TSxCustomModem& operator=(const TSxCustomModem&) = delete;

    // ---- Process-wide hooks ------------------------------------------------------------------
    // Processes pending GUI messages once; returns false when the program is quitting (which ends
    // a pause early). The Qt side sets it to a call of QCoreApplication::processEvents. Unset,
    // pauses on the GUI thread only wait.
    static void SetMessagePump(std::function<bool()> pump);

    // ---- Hooks of this instance (tests) ------------------------------------------------------
    // How a pause waits between looks at the clock (default: sleeps that many milliseconds).
    // A test in virtual time advances its clock here.
    void SetSleeper(std::function<void(int ms)> sleeper);
    // Overrides the process-wide message pump for this instance.
    void SetPump(std::function<bool()> pump);

    // ---- Properties (defaults in brackets) ---------------------------------------------------
    TSxCustomComPort* ComPort() const { return comPort_; }
    // Stops the engine, changes the port, and starts a new engine on it if one was running and the
    // new port is open.
    void SetComPort(TSxCustomComPort* port);

    // Command strings: "^" followed by a character whose upper-case code minus 64 lies in 0..31
    // stands for that control character ("^M" is carriage return); a "^" before anything else, or
    // at the end, is sent as itself; "~" is not sent but pauses TildeDelay ticks. Setting one while
    // the engine is busy raises EModemBusy.
    const std::string& InitCmd() const { return initCmd_; }       // ["ATZ^M"]
    void SetInitCmd(const std::string& v);
    const std::string& DialCmd() const { return dialCmd_; }       // ["ATDT"]
    void SetDialCmd(const std::string& v);
    const std::string& DialTerm() const { return dialTerm_; }     // ["^M"]
    void SetDialTerm(const std::string& v);
    const std::string& DialCancel() const { return dialCancel_; } // ["^M"]
    void SetDialCancel(const std::string& v);
    // Empty or "DTR" (any case): hang up by dropping DTR for DTRDropHold ticks.
    const std::string& HangupCmd() const { return hangupCmd_; }   // ["+++~~~ATH0^M"]
    void SetHangupCmd(const std::string& v);
    const std::string& ConfigCmd() const { return configCmd_; }   // ["ATE1Q0X1V1^M"], up to 255
    void SetConfigCmd(const std::string& v);
    const std::string& AnswerCmd() const { return answerCmd_; }   // ["ATA^M"]
    void SetAnswerCmd(const std::string& v);

    // Replies, matched without regard to letter case (up to 21 characters each).
    const std::string& OkMsg() const { return okMsg_; }                 // ["OK"]
    void SetOkMsg(const std::string& v);
    const std::string& ConnectMsg() const { return connectMsg_; }       // ["CONNECT"]
    void SetConnectMsg(const std::string& v);
    const std::string& BusyMsg() const { return busyMsg_; }             // ["BUSY"]
    void SetBusyMsg(const std::string& v);
    const std::string& VoiceMsg() const { return voiceMsg_; }           // ["VOICE"]
    void SetVoiceMsg(const std::string& v);
    const std::string& NoCarrierMsg() const { return noCarrierMsg_; }   // ["NO CARRIER"]
    void SetNoCarrierMsg(const std::string& v);
    const std::string& NoDialToneMsg() const { return noDialToneMsg_; } // ["NO DIALTONE"]
    void SetNoDialToneMsg(const std::string& v);
    const std::string& ErrorMsg() const { return errorMsg_; }           // ["ERROR"]
    void SetErrorMsg(const std::string& v);
    const std::string& RingMsg() const { return ringMsg_; }             // ["RING"]
    void SetRingMsg(const std::string& v);

    // Tag replies after a connect, matched case-sensitively [all empty].
    const TTagSet& ErrorCorrectionTags() const { return ecTags_; }
    void SetErrorCorrectionTags(const TTagSet& v);
    const TTagSet& DataCompressionTags() const { return dcTags_; }
    void SetDataCompressionTags(const TTagSet& v);

    // False: the port's baud rate follows the reported line speed [True].
    bool LockDTE() const { return lockDTE_; }
    void SetLockDTE(bool v);
    // Timings; setting one passes it to a running engine.
    int32_t DialTimeout() const { return dialTimeout_; }         // seconds [60]
    void SetDialTimeout(int32_t v);
    int32_t AnswerTimeout() const { return answerTimeout_; }     // seconds [60]
    void SetAnswerTimeout(int32_t v);
    int32_t DelayFactor() const { return delayFactor_; }         // ticks [2]
    void SetDelayFactor(int32_t v);
    int32_t CmdTimeout() const { return cmdTimeout_; }           // ticks [182]
    void SetCmdTimeout(int32_t v);
    int32_t DTRDropHold() const { return dtrDropHold_; }         // ticks [8]
    void SetDTRDropHold(int32_t v);
    int32_t CharDelay() const { return charDelay_; }             // ticks [0]
    void SetCharDelay(int32_t v);
    int32_t TildeDelay() const { return tildeDelay_; }           // ticks [9]
    void SetTildeDelay(int32_t v);
    int32_t RingWaitTimeout() const { return ringWaitTimeout_; } // ticks [182]
    void SetRingWaitTimeout(int32_t v);
    // Rings counted before auto-answer answers (0: auto-answer off) [0].
    int32_t AutoAnswerRings() const { return autoAnswerRings_; }
    void SetAutoAnswerRings(int32_t v);

    // Unpublished: every operation starts a stopped engine when set [True].
    bool AutoStart() const { return autoStart_; }
    void SetAutoStart(bool v) { autoStart_ = v; }
    // Whether an engine runs.
    bool Started() const;
    // The engine's state (esIdle when none runs).
    EngineState State() const;

    // ---- Operations --------------------------------------------------------------------------
    // Each first checks the modem: no port raises EPortNotAssigned; the port's dispatcher is
    // fetched (which opens a closed port when its AutoOpen is set) and ECommNotOpen is raised when
    // there is none; then the engine is started (AutoStart) or EModemNotStarted raised.

    // Builds the engine and attaches it to the port. Raises EPortNotAssigned,
    // ECannotUseWithWinSock, ECommNotOpen. Nothing when already started.
    void StartModem();
    // Cancels what is in progress, detaches and frees the engine. Nothing when not started.
    void StopModem();

    // Sends InitCmd and waits for OK/ERROR (OnCommandProcessed). EModemBusy unless idle.
    void Initialize();
    // Sends ConfigCmd like Initialize sends InitCmd.
    void Configure();
    // Sends DialCmd, the number and DialTerm. EModemBusy unless idle; an empty number does nothing.
    void Dial(const std::string& number);
    // Started and dialling, answering or following a connect.
    bool IsConnecting() const;
    // Ends a dial, an answer or an auto-answer; EModemNotDialing otherwise.
    void CancelCall();
    // EModemBusy unless idle. HangupCmd empty or "DTR": DTR drops for DTRDropHold ticks; otherwise
    // HangupCmd is sent like Initialize sends InitCmd.
    void Hangup();
    // Sends AnswerCmd and follows the connect like a dial. EModemBusy unless idle.
    void Answer();
    // Waits for AutoAnswerRings rings (each within RingWaitTimeout ticks of the last), then answers.
    // EModemBusy unless idle.
    void AutoAnswer();

    // ---- Events (raised on the dispatch thread; see SetEventPoster) --------------------------
    void SetEventPoster(TModemEventPoster poster);
    void SetOnModemOk(TModemNotifyEvent e);
    void SetOnModemConnect(TModemNotifyEvent e);
    void SetOnModemBusy(TModemNotifyEvent e);
    void SetOnModemVoice(TModemNotifyEvent e);
    void SetOnModemNoCarrier(TModemNotifyEvent e);
    void SetOnModemNoDialTone(TModemNotifyEvent e);
    void SetOnModemError(TModemNotifyEvent e);
    void SetOnGotLineSpeed(TModemSpeedEvent e);
    void SetOnGotErrCorrection(TModemNotifyEvent e);
    void SetOnGotDataCompression(TModemNotifyEvent e);
    void SetOnCmdTimedOut(TModemNotifyEvent e);
    void SetOnDialTimedOut(TModemNotifyEvent e);
    void SetOnAnswerTimedOut(TModemNotifyEvent e);
    void SetOnDialCount(TModemCountEvent e);
    void SetOnAnswerCount(TModemCountEvent e);
    void SetOnModemRing(TModemNotifyEvent e);
    void SetOnModemIsConnected(TModemNotifyEvent e);
    void SetOnConnectFailed(TModemNotifyEvent e);
    void SetOnCommandProcessed(TModemOutcomeEvent e);
    // Raised after each of the others.
    void SetOnModemEvent(TModemEventEvent e);

private:
    struct Events;
    class Host;
    friend class Host;
    // Told by the port of its opening and closing; a close stops the engine.
    class PortListener : public ISxWindow {
    public:
        explicit PortListener(TSxCustomModem& m) : M(m) {}
        void HandleMessage(uint16_t msg, uint32_t, uint32_t) override
        {
            if (msg == smPortClose) M.StopEngine();
        }
        TSxCustomModem& M;
    };

    // The modem check every operation runs first; returns the running engine.
    TSxModemEngine& CheckModem();
    void StartEngine(TSxCustomComPort& port);
    void StopEngine();
    // Pushes the properties into a running engine.
    void UpdateEngine();
    void RequireIdleForStrings();
    void SetCmdString(std::string& field, const std::string& v, size_t maxLength);
    // The properties as the engine takes them.
    TSxModemSettings Settings() const;
    // An event's handler as its slot holds it: called with the event's datum (the speed, the
    // remaining count or the outcome; 0 for the others).
    using THandler = std::function<void(TSxCustomModem& sender, int32_t data)>;
    void SetSlot(TModemEventKind kind, THandler handler);
    void SetSlot(TModemEventKind kind, TModemNotifyEvent e);
    void SetSlot(TModemEventKind kind, TModemCountEvent e);
    // Runs an engine message on the router: the named event, then OnModemEvent.
    void Route(uint16_t message, int32_t data);
    // Hands event to the poster, to run on the GUI thread while the component lives. False without
    // a poster.
    bool Post(std::function<void()> event);
    void Pause(int32_t ticks, bool processMessages);
    int Check(int rc) { return RaiseOnError(this, rc); }

    TSxCustomComPort* comPort_;
    plat::IClock* clock_;
    std::unique_ptr<plat::IClock> ownClock_;
    std::thread::id guiThread_;
    std::function<void(int)> sleeper_;
    std::function<bool()> pump_;

    std::string initCmd_ = "ATZ^M";
    std::string dialCmd_ = "ATDT";
    std::string dialTerm_ = "^M";
    std::string dialCancel_ = "^M";
    std::string hangupCmd_ = "+++~~~ATH0^M";
    std::string configCmd_ = "ATE1Q0X1V1^M";
    std::string answerCmd_ = "ATA^M";
    std::string okMsg_ = "OK";
    std::string connectMsg_ = "CONNECT";
    std::string busyMsg_ = "BUSY";
    std::string voiceMsg_ = "VOICE";
    std::string noCarrierMsg_ = "NO CARRIER";
    std::string noDialToneMsg_ = "NO DIALTONE";
    std::string errorMsg_ = "ERROR";
    std::string ringMsg_ = "RING";
    TTagSet ecTags_, dcTags_;
    bool lockDTE_ = true;
    int32_t dialTimeout_ = 60;
    int32_t answerTimeout_ = 60;
    int32_t delayFactor_ = 2;
    int32_t cmdTimeout_ = 182;
    int32_t dtrDropHold_ = 8;
    int32_t charDelay_ = 0;
    int32_t tildeDelay_ = 9;
    int32_t ringWaitTimeout_ = 182;
    int32_t autoAnswerRings_ = 0;
    bool autoStart_ = true;

    std::shared_ptr<TSxModemEngine> engine_;
    std::unique_ptr<Host> host_;
    PortListener listener_{*this};
    bool listening_ = false;
    // Operations on the GUI thread in progress (a pause may run GUI messages that call again).
    int inOperation_ = 0;

    // Event dispatch: handlers are read on the dispatch thread and set on the GUI thread.
    std::unique_ptr<Events> events_;
    // Held while an event is raised directly; the destructor takes it to wait for a running handler.
    std::recursive_mutex raiseLock_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

// The component as placed on a form: all of TSxCustomModem, properties published.
class TSxModem : public TSxCustomModem {
public:
    using TSxCustomModem::TSxCustomModem;
};

} // namespace sx
