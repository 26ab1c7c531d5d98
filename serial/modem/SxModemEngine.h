#pragma once
// The modem engine: the state machine behind the modem component. It lives while the component is
// started, is attached to the port's dispatcher in attachment slot 3 and registered there as a
// procedure trigger handler, so that it runs inside the dispatcher's trigger delivery on the
// dispatch thread. The replies it waits for are data triggers on the dispatcher (replies ignore
// letter case, tags do not), its time-outs one timer trigger.
//
// The engine does no I/O of its own beyond the dispatcher's triggers and input: bytes go out, pauses
// are waited and outcomes are reported through its host (the component, or a test). Outcomes are
// engine messages (emOk ...), handed to the host after the engine's lock is released and in the
// order they arose.
//
// Threads: the operations are called on the GUI thread, HandleMessage on the dispatch thread; one
// lock keeps them apart. An operation lets go of it while it pauses inside a command (tildes,
// CharDelay), so that replies and the port's other events keep flowing meanwhile; the exchange is
// already in its state then and a reply may end it before the command is out. Results: 0, or a
// negative result code (serial/errors/SxErrors.h).

#include "serial/modem/SxModem.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sx {

class TSxBaseDispatcher;

// Engine messages, engine to router.
constexpr uint16_t emOk = 0x7E28;
constexpr uint16_t emConnect = 0x7E29;
constexpr uint16_t emBusy = 0x7E2A;
constexpr uint16_t emVoice = 0x7E2B;
constexpr uint16_t emNoCarrier = 0x7E2C;
constexpr uint16_t emNoDialTone = 0x7E2D;
constexpr uint16_t emError = 0x7E2E;
constexpr uint16_t emLineSpeed = 0x7E2F;
constexpr uint16_t emErrCorrection = 0x7E30;
constexpr uint16_t emDataCompression = 0x7E31;
constexpr uint16_t emCmdTimeout = 0x7E32;
constexpr uint16_t emDialTimeout = 0x7E33;
constexpr uint16_t emAnswerTimeout = 0x7E34;
constexpr uint16_t emDialCount = 0x7E35;
constexpr uint16_t emAnswerCount = 0x7E36;
constexpr uint16_t emRing = 0x7E37;
constexpr uint16_t emIsConnected = 0x7E38;
constexpr uint16_t emConnectFailed = 0x7E39;
constexpr uint16_t emCommandProcessed = 0x7E3A; // data: 1 OK, 2 error, 3 time-out

// Fixed timings in ticks.
constexpr int32_t SpeedWaitTicks = 36; // after CONNECT, for the first speed digit
constexpr int32_t TagWaitTicks = 9;    // after the speed, for the tag replies
constexpr int32_t CountStepTicks = 18; // one step of the dial and answer countdowns

constexpr int ReplyLineSize = 255; // the last reply line kept
constexpr int MaxSpeedDigits = 9;  // more digits are read but not collected: the number cannot overflow

// The replies, in the engine's order.
enum TModemReply { rpOk, rpConnect, rpBusy, rpVoice, rpNoCarrier, rpNoDialTone, rpError, rpRing, rpCount };

// What the engine is built from: the component's properties.
struct TSxModemSettings {
    std::string InitCmd, DialCmd, DialTerm, DialCancel, HangupCmd, ConfigCmd, AnswerCmd;
    std::array<std::string, rpCount> Replies;
    std::vector<std::string> ErrorCorrectionTags, DataCompressionTags; // only non-empty ones, at most 5
    bool LockDTE = true;
    int32_t DialTimeout = 60, AnswerTimeout = 60;
    int32_t DelayFactor = 2, CmdTimeout = 182, DTRDropHold = 8, CharDelay = 0, TildeDelay = 9;
    int32_t RingWaitTimeout = 182, AutoAnswerRings = 0;
};

// What the engine needs of its surroundings.
class ISxModemHost {
public:
    virtual ~ISxModemHost() = default;
    // Queues one byte on the port: 0 or a negative result code.
    virtual int PutChar(uint8_t c) = 0;
    // Waits ticks; with processMessages the GUI is kept alive when called on the GUI thread.
    virtual void Pause(int32_t ticks, bool processMessages) = 0;
    // The modem reported this line speed and the port's baud rate is to follow it (LockDTE off).
    virtual void SetLineSpeed(int32_t speed) = 0;
    // An engine message for the router.
    virtual void Message(uint16_t code, int32_t data) = 0;
};

// The bytes a command string stands for, and where its pauses fall: each element is either a byte
// to send (first) or, with second set, a pause of TildeDelay ticks.
std::vector<std::pair<uint8_t, bool>> ExpandCommand(const std::string& cmd);

class TSxModemEngine : public std::enable_shared_from_this<TSxModemEngine> {
public:
    TSxModemEngine(TSxBaseDispatcher& dispatcher, ISxModemHost& host, TSxModemSettings settings);
    ~TSxModemEngine();
    TSxModemEngine(const TSxModemEngine&) = delete;
    TSxModemEngine& operator=(const TSxModemEngine&) = delete;

    // Attaches to the dispatcher (slot 3) and registers the trigger handler, which keeps the engine
    // alive while a delivery runs it.
    int Start();
    // Ends what is in progress (a connect attempt is cancelled, armed replies are dropped), removes
    // the handler and detaches. Afterwards the engine ignores everything and never calls the host.
    // Waits for a delivery of engine messages that is in progress.
    void Stop();
    bool Stopped() const;

    // ---- Operations (GUI thread) -------------------------------------------------------------
    // Sends cmd and waits for OK/ERROR (esCommand). -4002 unless idle.
    int SendCommand(const std::string& cmd);
    // Dials number (esDialing). -4002 unless idle; an empty number does nothing.
    int Dial(const std::string& number);
    // Sends the answer command and follows the connect (esAnswering). -4002 unless idle.
    int Answer();
    // Counts rings, then answers (esAutoAnswer). -4002 unless idle.
    int AutoAnswer();
    // Ends a dial, an answer, an auto-answer or the wait for the tags. -4003 in any other state.
    int CancelCall();

    EngineState State() const;
    bool IsConnecting() const;
    // Replaces the command and reply strings: -4002 unless idle.
    int SetStrings(const TSxModemSettings& s);
    // Takes the timings and LockDTE at once.
    void SetTimings(const TSxModemSettings& s);

    // The procedure trigger handler.
    void HandleMessage(uint16_t msg, uint32_t first, uint32_t second);

    // For tests: the last reply line and the line speed last read.
    std::string ReplyLine() const;
    int32_t LineSpeed() const;
    // How many data and timer triggers the engine has on the dispatcher.
    int ArmedTriggers() const;

private:
    struct Armed {
        int32_t Handle = 0;
        std::string Text;
    };

    using Lock = std::unique_lock<std::mutex>;

    // Sends cmd (raw: without escapes). With lk the lock is let go during pauses; then the exchange
    // may end or the engine stop meanwhile (Interrupted tells).
    int Send(const std::string& cmd, bool raw, Lock* lk);
    bool Interrupted(uint64_t exchange) const { return stopped_ || exchange_ != exchange; }
    // Starts an exchange in state: the timer is allocated, the string sent, then the timer armed.
    int StartExchange(EngineState state, const std::string& cmd, const std::string& number, int32_t timerTicks,
                      Lock* lk);
    int DialLocked(EngineState state, const std::string& cmd, const std::string& number, int32_t timeout, Lock* lk);
    void EndExchange();
    int Arm(Armed& a, const std::string& text, bool ignoreCase);
    void Disarm(Armed& a);
    int ArmReply(int reply);
    void DisarmReply(int reply);
    void DisarmConnectReplies();
    int ArmTags();
    void DisarmTags(std::vector<Armed>& tags);
    void DisarmAllTags();
    int NewTimer(int32_t ticks);
    void DropTimer();
    void DisarmEverything();
    void ClearReplyLine();

    void OnAvail(uint32_t count);
    void OnByte(uint8_t c);
    void OnData(int32_t handle);
    void OnReply(int reply);
    void OnTag(bool errorCorrection);
    void OnTimer();
    void OnConnect();
    void SpeedKnown(int32_t speed, bool report);
    void Connected();
    void Failure(bool cancel);
    void CancelLocked();
    void CommandDone(uint16_t outcomeMsg, int outcome);
    void Emit(uint16_t code, int32_t data = 0) { pending_.emplace_back(code, data); }
    void Flush();
    bool ConnectingState() const;

    TSxBaseDispatcher& d_;
    ISxModemHost& host_;

    mutable std::mutex lock_;
    TSxModemSettings s_;
    EngineState state_ = esIdle;
    bool stopped_ = false;
    int handlerId_ = 0;
    std::array<Armed, rpCount> replies_;
    std::vector<Armed> ecTags_, dcTags_;
    int32_t timer_ = 0;
    bool ecSeen_ = false, dcSeen_ = false;
    int32_t lineSpeed_ = 0;
    std::string digits_;
    int32_t remaining_ = 0;
    int32_t rings_ = 0;
    std::string replyLine_;
    bool lineEnded_ = false;
    std::vector<std::pair<uint16_t, int32_t>> pending_;
    uint64_t exchange_ = 0; // counts exchanges started and ended
    // Characters of the command being sent that have not gone out yet: a reply meanwhile answers an
    // earlier part of it (the OK to "+++" during the pauses of "+++~~~ATH0^M").
    size_t charsUnsent_ = 0;

    // Held while engine messages go to the host; Stop takes it to wait for such a delivery.
    std::recursive_mutex flushLock_;
    bool detached_ = false;
};

} // namespace sx
