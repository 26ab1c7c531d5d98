#include "serial/modem/SxModem.h"

#include "platform/Clock.h"
#include "serial/core/SxDispatcher.h"
#include "serial/modem/SxModemEngine.h"

#include <chrono>
#include <thread>

namespace sx {

namespace {

std::mutex pumpLock;
std::function<bool()> processPump;

class SteadyClock : public plat::IClock {
public:
    int64_t NowMs() const override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

bool IsDtrHangup(const std::string& cmd)
{
    if (cmd.empty()) return true;
    if (cmd.size() != 3) return false;
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    return up(cmd[0]) == 'D' && up(cmd[1]) == 'T' && up(cmd[2]) == 'R';
}

std::vector<std::string> TagList(const TTagSet& t)
{
    std::vector<std::string> out;
    for (const std::string* s : {&t.String1, &t.String2, &t.String3, &t.String4, &t.String5})
        if (!s->empty()) out.push_back(s->substr(0, ModemReplyMaxLength));
    return out;
}

} // namespace

// The event handlers, set on the GUI thread and read on the dispatch thread: one slot per event kind,
// each called with the event's datum.
struct TSxCustomModem::Events {
    std::mutex Lock;
    TModemEventPoster Poster;
    THandler Slots[meCommandProcessed + 1];
    TModemEventEvent ModemEvent;
};

// What the engine asks of the component.
class TSxCustomModem::Host : public ISxModemHost {
public:
    explicit Host(TSxCustomModem& m) : M(m) {}
    int PutChar(uint8_t c) override
    {
        try {
            M.comPort_->PutChar(c);
            return 0;
        } catch (const ESxException& e) {
            return e.ResultCode < 0 ? e.ResultCode : ecPutBlockFail;
        } catch (const std::exception&) {
            return ecPutBlockFail;
        }
    }
    void Pause(int32_t ticks, bool processMessages) override { M.Pause(ticks, processMessages); }
    void SetLineSpeed(int32_t speed) override
    {
        TSxCustomComPort* port = M.comPort_;
        if (std::this_thread::get_id() == M.guiThread_) {
            try {
                port->SetBaud(speed);
            } catch (const std::exception& e) {
                TSxCustomComPort::ShowException(e);
            }
            return;
        }
        // On the dispatch thread: the line follows now, the port's property on the GUI thread.
        if (TSxBaseDispatcher* d = port->DispatcherIfOpen()) d->SetLine(speed, 5, 9, 3);
        TSxCustomModem* m = &M;
        M.Post([m, port, speed] {
            if (m->comPort_ != port) return;
            try {
                port->SetBaud(speed);
            } catch (const std::exception& e) {
                TSxCustomComPort::ShowException(e);
            }
        });
    }
    void Message(uint16_t code, int32_t data) override { M.Route(code, data); }

    TSxCustomModem& M;
};

// ---- Life ----------------------------------------------------------------------------------------

TSxCustomModem::TSxCustomModem(TSxCustomComPort* comPort, plat::IClock* clock)
    : comPort_(comPort), clock_(clock), guiThread_(std::this_thread::get_id()), events_(std::make_unique<Events>())
{
    if (!clock_) {
        ownClock_ = std::make_unique<SteadyClock>();
        clock_ = ownClock_.get();
    }
    host_ = std::make_unique<Host>(*this);
}

TSxCustomModem::~TSxCustomModem()
{
    StopEngine();
    std::lock_guard<std::recursive_mutex> g(raiseLock_);
    *alive_ = false;
}

void TSxCustomModem::SetMessagePump(std::function<bool()> pump)
{
    std::lock_guard<std::mutex> g(pumpLock);
    processPump = std::move(pump);
}

void TSxCustomModem::SetSleeper(std::function<void(int)> sleeper)
{
    sleeper_ = std::move(sleeper);
}

void TSxCustomModem::SetPump(std::function<bool()> pump)
{
    pump_ = std::move(pump);
}

void TSxCustomModem::Pause(int32_t ticks, bool processMessages)
{
    if (ticks < 1) return;
    std::function<bool()> pump;
    if (processMessages && std::this_thread::get_id() == guiThread_) {
        if (pump_) {
            pump = pump_;
        } else {
            std::lock_guard<std::mutex> g(pumpLock);
            pump = processPump;
        }
    }
    const std::function<void(int)> sleep =
        sleeper_ ? sleeper_ : [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    WaitTicks(*clock_, ticks, static_cast<bool>(pump), pump, sleep);
}

// ---- Start and stop --------------------------------------------------------------------------------

bool TSxCustomModem::Started() const
{
    return engine_ && !engine_->Stopped();
}

EngineState TSxCustomModem::State() const
{
    return engine_ ? engine_->State() : esIdle;
}

void TSxCustomModem::StartModem()
{
    if (Started()) return;
    if (!comPort_) Check(ecPortNotAssigned);
    StartEngine(*comPort_);
}

void TSxCustomModem::StartEngine(TSxCustomComPort& port)
{
    if (port.DeviceLayer() == dlWinsock) Check(ecCannotUseWithWinSock);
    TSxBaseDispatcher& d = port.Dispatcher();
    StopEngine();

    auto engine = std::make_shared<TSxModemEngine>(d, *host_, Settings());
    Check(engine->Start());
    engine_ = engine;
    try {
        port.SetAvailLevel(1);
    } catch (...) {
        StopEngine();
        throw;
    }
    port.AddOpenCloseListener(&listener_);
    listening_ = true;
}

void TSxCustomModem::StopModem()
{
    StopEngine();
}

void TSxCustomModem::StopEngine()
{
    if (listening_ && comPort_) comPort_->RemoveOpenCloseListener(&listener_);
    listening_ = false;
    if (!engine_) return;
    // Kept until the stop is through: an operation further up this thread may still hold it.
    std::shared_ptr<TSxModemEngine> engine = std::move(engine_);
    engine->Stop();
}

void TSxCustomModem::SetComPort(TSxCustomComPort* port)
{
    if (port == comPort_) return;
    const bool wasStarted = Started();
    StopEngine();
    comPort_ = port;
    // A closed port is not opened for it: the next operation starts the engine (AutoStart).
    if (wasStarted && comPort_ && comPort_->DispatcherIfOpen()) StartEngine(*comPort_);
}

TSxModemEngine& TSxCustomModem::CheckModem()
{
    if (!comPort_) Check(ecPortNotAssigned);
    comPort_->Dispatcher(); // opens a closed port when its AutoOpen is set; ECommNotOpen otherwise
    if (!Started()) {
        if (!autoStart_) Check(ecModemNotStarted);
        StartEngine(*comPort_);
    }
    return *engine_;
}

// ---- Operations ----------------------------------------------------------------------------------

namespace {
// Counts an operation in progress on the GUI thread; a second one started from GUI work that a
// pause of the first runs is refused as busy.
class OperationScope {
public:
    explicit OperationScope(int& n) : n_(n)
    {
        if (n_ > 0) RaiseError(ecModemBusy);
        ++n_;
    }
    ~OperationScope() { --n_; }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    int& n_;
};
} // namespace

void TSxCustomModem::Initialize()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->SendCommand(initCmd_));
}

void TSxCustomModem::Configure()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->SendCommand(configCmd_));
}

void TSxCustomModem::Dial(const std::string& number)
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->Dial(number));
}

bool TSxCustomModem::IsConnecting() const
{
    return engine_ && engine_->IsConnecting();
}

void TSxCustomModem::CancelCall()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->CancelCall());
}

void TSxCustomModem::Hangup()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    if (!IsDtrHangup(hangupCmd_)) {
        Check(e->SendCommand(hangupCmd_));
        return;
    }
    if (e->State() != esIdle) Check(ecModemBusy);
    TSxCustomComPort* port = comPort_;
    port->SetDTR(false);
    Pause(dtrDropHold_, true);
    port->SetDTR(true);
}

void TSxCustomModem::Answer()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->Answer());
}

void TSxCustomModem::AutoAnswer()
{
    OperationScope op(inOperation_);
    std::shared_ptr<TSxModemEngine> e = CheckModem().shared_from_this();
    Check(e->AutoAnswer());
}

// ---- Properties ----------------------------------------------------------------------------------

void TSxCustomModem::RequireIdleForStrings()
{
    if (engine_ && engine_->State() != esIdle) Check(ecModemBusy);
}

void TSxCustomModem::SetCmdString(std::string& field, const std::string& v, size_t maxLength)
{
    RequireIdleForStrings();
    field = v.substr(0, maxLength);
    UpdateEngine();
}

TSxModemSettings TSxCustomModem::Settings() const
{
    TSxModemSettings s;
    s.InitCmd = initCmd_;
    s.DialCmd = dialCmd_;
    s.DialTerm = dialTerm_;
    s.DialCancel = dialCancel_;
    s.HangupCmd = hangupCmd_;
    s.ConfigCmd = configCmd_;
    s.AnswerCmd = answerCmd_;
    s.Replies = {okMsg_, connectMsg_, busyMsg_, voiceMsg_, noCarrierMsg_, noDialToneMsg_, errorMsg_, ringMsg_};
    s.ErrorCorrectionTags = TagList(ecTags_);
    s.DataCompressionTags = TagList(dcTags_);
    s.LockDTE = lockDTE_;
    s.DialTimeout = dialTimeout_;
    s.AnswerTimeout = answerTimeout_;
    s.DelayFactor = delayFactor_;
    s.CmdTimeout = cmdTimeout_;
    s.DTRDropHold = dtrDropHold_;
    s.CharDelay = charDelay_;
    s.TildeDelay = tildeDelay_;
    s.RingWaitTimeout = ringWaitTimeout_;
    s.AutoAnswerRings = autoAnswerRings_;
    return s;
}

void TSxCustomModem::UpdateEngine()
{
    if (!engine_) return;
    const TSxModemSettings s = Settings();
    engine_->SetTimings(s);
    // Idle was checked by the string setters; the timing setters may find the engine busy, when
    // the strings it holds are the current ones anyway.
    engine_->SetStrings(s);
}

void TSxCustomModem::SetInitCmd(const std::string& v) { SetCmdString(initCmd_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetDialCmd(const std::string& v) { SetCmdString(dialCmd_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetDialTerm(const std::string& v) { SetCmdString(dialTerm_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetDialCancel(const std::string& v) { SetCmdString(dialCancel_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetHangupCmd(const std::string& v) { SetCmdString(hangupCmd_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetConfigCmd(const std::string& v) { SetCmdString(configCmd_, v, ModemConfigMaxLength); }
void TSxCustomModem::SetAnswerCmd(const std::string& v) { SetCmdString(answerCmd_, v, ModemCmdMaxLength); }
void TSxCustomModem::SetOkMsg(const std::string& v) { SetCmdString(okMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetConnectMsg(const std::string& v) { SetCmdString(connectMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetBusyMsg(const std::string& v) { SetCmdString(busyMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetVoiceMsg(const std::string& v) { SetCmdString(voiceMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetNoCarrierMsg(const std::string& v) { SetCmdString(noCarrierMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetNoDialToneMsg(const std::string& v) { SetCmdString(noDialToneMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetErrorMsg(const std::string& v) { SetCmdString(errorMsg_, v, ModemReplyMaxLength); }
void TSxCustomModem::SetRingMsg(const std::string& v) { SetCmdString(ringMsg_, v, ModemReplyMaxLength); }

void TSxCustomModem::SetErrorCorrectionTags(const TTagSet& v)
{
    RequireIdleForStrings();
    ecTags_ = v;
    UpdateEngine();
}

void TSxCustomModem::SetDataCompressionTags(const TTagSet& v)
{
    RequireIdleForStrings();
    dcTags_ = v;
    UpdateEngine();
}

void TSxCustomModem::SetLockDTE(bool v) { lockDTE_ = v; UpdateEngine(); }
void TSxCustomModem::SetDialTimeout(int32_t v) { dialTimeout_ = v; UpdateEngine(); }
void TSxCustomModem::SetAnswerTimeout(int32_t v) { answerTimeout_ = v; UpdateEngine(); }
void TSxCustomModem::SetDelayFactor(int32_t v) { delayFactor_ = v; UpdateEngine(); }
void TSxCustomModem::SetCmdTimeout(int32_t v) { cmdTimeout_ = v; UpdateEngine(); }
void TSxCustomModem::SetDTRDropHold(int32_t v) { dtrDropHold_ = v; UpdateEngine(); }
void TSxCustomModem::SetCharDelay(int32_t v) { charDelay_ = v; UpdateEngine(); }
void TSxCustomModem::SetTildeDelay(int32_t v) { tildeDelay_ = v; UpdateEngine(); }
void TSxCustomModem::SetRingWaitTimeout(int32_t v) { ringWaitTimeout_ = v; UpdateEngine(); }
void TSxCustomModem::SetAutoAnswerRings(int32_t v) { autoAnswerRings_ = v; UpdateEngine(); }

// ---- Events --------------------------------------------------------------------------------------

void TSxCustomModem::SetEventPoster(TModemEventPoster poster)
{
    std::lock_guard<std::mutex> g(events_->Lock);
    events_->Poster = std::move(poster);
}

void TSxCustomModem::SetSlot(TModemEventKind kind, THandler handler)
{
    std::lock_guard<std::mutex> g(events_->Lock);
    events_->Slots[kind] = std::move(handler);
}

// The events without a datum, and those with a count or an outcome, in the slot's form.
void TSxCustomModem::SetSlot(TModemEventKind kind, TModemNotifyEvent e)
{
    if (!e) return SetSlot(kind, THandler());
    SetSlot(kind, THandler([e = std::move(e)](TSxCustomModem& m, int32_t) { e(m); }));
}

void TSxCustomModem::SetSlot(TModemEventKind kind, TModemCountEvent e)
{
    if (!e) return SetSlot(kind, THandler());
    SetSlot(kind, THandler([e = std::move(e)](TSxCustomModem& m, int32_t data) {
                  e(m, static_cast<uint16_t>(data));
              }));
}

void TSxCustomModem::SetOnModemOk(TModemNotifyEvent e) { SetSlot(meModemOk, e); }
void TSxCustomModem::SetOnModemConnect(TModemNotifyEvent e) { SetSlot(meModemConnect, e); }
void TSxCustomModem::SetOnModemBusy(TModemNotifyEvent e) { SetSlot(meModemBusy, e); }
void TSxCustomModem::SetOnModemVoice(TModemNotifyEvent e) { SetSlot(meModemVoice, e); }
void TSxCustomModem::SetOnModemNoCarrier(TModemNotifyEvent e) { SetSlot(meModemNoCarrier, e); }
void TSxCustomModem::SetOnModemNoDialTone(TModemNotifyEvent e) { SetSlot(meModemNoDialTone, e); }
void TSxCustomModem::SetOnModemError(TModemNotifyEvent e) { SetSlot(meModemError, e); }
void TSxCustomModem::SetOnGotLineSpeed(TModemSpeedEvent e) { SetSlot(meGotLineSpeed, e); }
void TSxCustomModem::SetOnGotErrCorrection(TModemNotifyEvent e) { SetSlot(meGotErrCorrection, e); }
void TSxCustomModem::SetOnGotDataCompression(TModemNotifyEvent e) { SetSlot(meGotDataCompression, e); }
void TSxCustomModem::SetOnCmdTimedOut(TModemNotifyEvent e) { SetSlot(meCmdTimedOut, e); }
void TSxCustomModem::SetOnDialTimedOut(TModemNotifyEvent e) { SetSlot(meDialTimedOut, e); }
void TSxCustomModem::SetOnAnswerTimedOut(TModemNotifyEvent e) { SetSlot(meAnswerTimedOut, e); }
void TSxCustomModem::SetOnDialCount(TModemCountEvent e) { SetSlot(meDialCount, e); }
void TSxCustomModem::SetOnAnswerCount(TModemCountEvent e) { SetSlot(meAnswerCount, e); }
void TSxCustomModem::SetOnModemRing(TModemNotifyEvent e) { SetSlot(meModemRing, e); }
void TSxCustomModem::SetOnModemIsConnected(TModemNotifyEvent e) { SetSlot(meModemIsConnected, e); }
void TSxCustomModem::SetOnConnectFailed(TModemNotifyEvent e) { SetSlot(meConnectFailed, e); }
void TSxCustomModem::SetOnCommandProcessed(TModemOutcomeEvent e) { SetSlot(meCommandProcessed, e); }

void TSxCustomModem::SetOnModemEvent(TModemEventEvent e)
{
    std::lock_guard<std::mutex> g(events_->Lock);
    events_->ModemEvent = std::move(e);
}

bool TSxCustomModem::Post(std::function<void()> event)
{
    TModemEventPoster poster;
    {
        std::lock_guard<std::mutex> g(events_->Lock);
        poster = events_->Poster;
    }
    if (!poster) return false;
    std::weak_ptr<std::atomic<bool>> alive = alive_;
    poster([alive, event = std::move(event)] {
        auto a = alive.lock();
        if (!a || !*a) return;
        event();
    });
    return true;
}

namespace {

// The event an engine message stands for, and the data OnModemEvent carries with it.
bool MessageEvent(uint16_t message, int32_t data, TModemEventKind& kind, int32_t& eventData)
{
    eventData = 0;
    if (message < emOk || message > emCommandProcessed) return false;
    kind = static_cast<TModemEventKind>(message - emOk);
    switch (kind) {
    case meGotLineSpeed:
    case meDialCount:
    case meAnswerCount:
        eventData = data;
        break;
    case meCommandProcessed:
        eventData = data == 1 ? meModemOk : data == 2 ? meModemError : meCmdTimedOut;
        break;
    default:
        break;
    }
    return true;
}

} // namespace

void TSxCustomModem::Route(uint16_t message, int32_t data)
{
    TModemEventKind kind;
    int32_t eventData;
    if (!MessageEvent(message, data, kind, eventData)) return;

    // Raises the event and OnModemEvent with the handlers set at that moment.
    auto raise = [this, kind, eventData] {
        THandler handler;
        TModemEventEvent any;
        {
            std::lock_guard<std::mutex> g(events_->Lock);
            handler = events_->Slots[kind];
            any = events_->ModemEvent;
        }
        if (handler) handler(*this, eventData);
        if (any) any(*this, kind, eventData);
    };

    if (Post(raise)) return;
    std::lock_guard<std::recursive_mutex> g(raiseLock_);
    if (!*alive_) return;
    try {
        raise();
    } catch (const std::exception& e) {
        TSxCustomComPort::ShowException(e);
    }
}

} // namespace sx
