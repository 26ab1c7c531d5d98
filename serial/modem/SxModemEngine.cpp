#include "serial/modem/SxModemEngine.h"

#include "serial/core/SxDispatcher.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>

namespace sx {

namespace {

// The engine's state is only ever one of the connect states while it waits for the far end.
bool IsDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

uint8_t Upper(uint8_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
}

// The replies that end a dial or an answer: whether the call is cancelled first, and the event.
struct FailureReply {
    int Reply;
    bool Cancel;
    uint16_t Message;
};
constexpr FailureReply FailureReplies[] = {
    {rpBusy, true, emBusy},
    {rpVoice, false, emVoice},
    {rpNoCarrier, false, emNoCarrier},
    {rpNoDialTone, false, emNoDialTone},
    {rpError, false, emError},
};

} // namespace

std::vector<std::pair<uint8_t, bool>> ExpandCommand(const std::string& cmd)
{
    std::vector<std::pair<uint8_t, bool>> out;
    for (size_t i = 0; i < cmd.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(cmd[i]);
        if (c == '~') {
            out.emplace_back(0, true);
            continue;
        }
        if (c == '^' && i + 1 < cmd.size()) {
            const int code = Upper(static_cast<uint8_t>(cmd[i + 1])) - 64;
            if (code >= 0 && code <= 31) {
                out.emplace_back(static_cast<uint8_t>(code), false);
                ++i;
                continue;
            }
        }
        // Anything else, a "^" that escapes nothing included, is sent as itself.
        out.emplace_back(c, false);
    }
    return out;
}

TSxModemEngine::TSxModemEngine(TSxBaseDispatcher& dispatcher, ISxModemHost& host, TSxModemSettings settings)
    : d_(dispatcher), host_(host), s_(std::move(settings))
{
}

TSxModemEngine::~TSxModemEngine() = default;

int TSxModemEngine::Start()
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (handlerId_ > 0) return 0;
    const int rc = d_.Attach(3, this);
    if (rc < 0) return rc;
    std::weak_ptr<TSxModemEngine> weak = weak_from_this();
    const int id = d_.AddProcedureHandler([weak](uint16_t msg, uint32_t first, uint32_t second) {
        // Held for the call: a stop on the GUI thread waits for it instead of freeing the engine
        // under it.
        if (auto self = weak.lock()) self->HandleMessage(msg, first, second);
    });
    if (id < 0) {
        d_.Attach(3, nullptr);
        return id;
    }
    handlerId_ = id;
    return 0;
}

void TSxModemEngine::Stop()
{
    {
        Lock g(lock_);
        if (stopped_) return;
        if (state_ != esIdle && state_ != esCommand) CancelLocked();
        DisarmEverything();
        state_ = esIdle;
        stopped_ = true;
        pending_.clear();
        if (handlerId_ > 0) d_.RemoveProcedureHandler(handlerId_);
        handlerId_ = 0;
        if (d_.Attachment(3) == this) d_.Attach(3, nullptr);
    }
    std::lock_guard<std::recursive_mutex> f(flushLock_);
    detached_ = true;
}

bool TSxModemEngine::Stopped() const
{
    Lock g(lock_);
    return stopped_;
}

EngineState TSxModemEngine::State() const
{
    Lock g(lock_);
    return state_;
}

bool TSxModemEngine::IsConnecting() const
{
    Lock g(lock_);
    return !stopped_ && ConnectingState();
}

bool TSxModemEngine::ConnectingState() const
{
    return state_ == esDialing || state_ == esWaitSpeed || state_ == esReadSpeed || state_ == esAnswering ||
           state_ == esWaitTags;
}

int TSxModemEngine::SetStrings(const TSxModemSettings& s)
{
    Lock g(lock_);
    if (state_ != esIdle) return ecModemBusy;
    s_.InitCmd = s.InitCmd;
    s_.DialCmd = s.DialCmd;
    s_.DialTerm = s.DialTerm;
    s_.DialCancel = s.DialCancel;
    s_.HangupCmd = s.HangupCmd;
    s_.ConfigCmd = s.ConfigCmd;
    s_.AnswerCmd = s.AnswerCmd;
    s_.Replies = s.Replies;
    s_.ErrorCorrectionTags = s.ErrorCorrectionTags;
    s_.DataCompressionTags = s.DataCompressionTags;
    return 0;
}

void TSxModemEngine::SetTimings(const TSxModemSettings& s)
{
    Lock g(lock_);
    s_.LockDTE = s.LockDTE;
    s_.DialTimeout = s.DialTimeout;
    s_.AnswerTimeout = s.AnswerTimeout;
    s_.DelayFactor = s.DelayFactor;
    s_.CmdTimeout = s.CmdTimeout;
    s_.DTRDropHold = s.DTRDropHold;
    s_.CharDelay = s.CharDelay;
    s_.TildeDelay = s.TildeDelay;
    s_.RingWaitTimeout = s.RingWaitTimeout;
    s_.AutoAnswerRings = s.AutoAnswerRings;
}

std::string TSxModemEngine::ReplyLine() const
{
    Lock g(lock_);
    return replyLine_;
}

int32_t TSxModemEngine::LineSpeed() const
{
    Lock g(lock_);
    return lineSpeed_;
}

int TSxModemEngine::ArmedTriggers() const
{
    Lock g(lock_);
    int n = timer_ > 0 ? 1 : 0;
    for (const auto& r : replies_) n += r.Handle > 0;
    for (const auto& t : ecTags_) n += t.Handle > 0;
    for (const auto& t : dcTags_) n += t.Handle > 0;
    return n;
}

// ---- Triggers ----------------------------------------------------------------------------------

int TSxModemEngine::Arm(Armed& a, const std::string& text, bool ignoreCase)
{
    if (a.Handle > 0) return 0;
    if (text.empty()) return 0; // an empty reply never comes
    const int32_t h = d_.NewDataTrigger(text, ignoreCase);
    if (h < 0) return h;
    a.Handle = h;
    a.Text = text;
    return 0;
}

void TSxModemEngine::Disarm(Armed& a)
{
    if (a.Handle > 0) d_.DropTrigger(a.Handle);
    a.Handle = 0;
}

int TSxModemEngine::ArmReply(int reply)
{
    return Arm(replies_[reply], s_.Replies[reply], true);
}

void TSxModemEngine::DisarmReply(int reply)
{
    Disarm(replies_[reply]);
}

void TSxModemEngine::DisarmConnectReplies()
{
    for (int r = rpConnect; r <= rpError; ++r) DisarmReply(r);
}

int TSxModemEngine::ArmTags()
{
    auto armSet = [&](std::vector<Armed>& armed, const std::vector<std::string>& texts) {
        armed.assign(std::min<size_t>(texts.size(), 5), Armed{});
        for (size_t i = 0; i < armed.size(); ++i) {
            const int rc = Arm(armed[i], texts[i], false);
            if (rc < 0) return rc;
        }
        return 0;
    };
    DisarmAllTags();
    int rc = armSet(ecTags_, s_.ErrorCorrectionTags);
    if (rc >= 0) rc = armSet(dcTags_, s_.DataCompressionTags);
    return rc;
}

void TSxModemEngine::DisarmTags(std::vector<Armed>& tags)
{
    for (auto& t : tags) Disarm(t);
}

void TSxModemEngine::DisarmAllTags()
{
    DisarmTags(ecTags_);
    DisarmTags(dcTags_);
}

int TSxModemEngine::NewTimer(int32_t ticks)
{
    DropTimer();
    const int32_t h = d_.NewTimerTrigger();
    if (h < 0) return h;
    timer_ = h;
    const int rc = d_.ArmTimerTrigger(timer_, std::max<int32_t>(ticks, 1), true);
    if (rc < 0) {
        DropTimer();
        return rc;
    }
    return 0;
}

void TSxModemEngine::DropTimer()
{
    if (timer_ > 0) d_.DropTrigger(timer_);
    timer_ = 0;
}

void TSxModemEngine::DisarmEverything()
{
    for (int r = 0; r < rpCount; ++r) DisarmReply(r);
    DisarmAllTags();
    DropTimer();
}

void TSxModemEngine::ClearReplyLine()
{
    replyLine_.clear();
    lineEnded_ = false;
}

// ---- Sending -----------------------------------------------------------------------------------

int TSxModemEngine::Send(const std::string& cmd, bool raw, Lock* lk)
{
    std::vector<std::pair<uint8_t, bool>> items;
    if (raw) {
        for (char c : cmd) items.emplace_back(static_cast<uint8_t>(c), false);
    } else {
        items = ExpandCommand(cmd);
    }
    const uint64_t exchange = exchange_;
    charsUnsent_ = static_cast<size_t>(
        std::count_if(items.begin(), items.end(), [](const auto& i) { return !i.second; }));
    struct AllOut {
        size_t& Unsent;
        ~AllOut() { Unsent = 0; }
    } allOut{charsUnsent_};
    auto pause = [&](int32_t ticks) {
        if (ticks < 1) return;
        // Only with the lock let go may the pause run GUI work: that work may call the engine.
        if (lk) lk->unlock();
        host_.Pause(ticks, lk != nullptr);
        if (lk) lk->lock();
    };
    for (const auto& [c, isPause] : items) {
        if (isPause) {
            pause(s_.TildeDelay);
        } else {
            const int rc = host_.PutChar(c);
            if (rc < 0) return rc;
            --charsUnsent_;
            pause(s_.CharDelay);
        }
        // Meanwhile the port may have closed (the engine stopped) or a reply ended the exchange.
        if (stopped_) return ecCommNotOpen;
        if (exchange_ != exchange) return 0;
    }
    return 0;
}

// ---- Operations --------------------------------------------------------------------------------

int TSxModemEngine::StartExchange(EngineState state, const std::string& cmd, const std::string& number,
                                  int32_t timerTicks, Lock* lk)
{
    const int32_t h = d_.NewTimerTrigger();
    if (h < 0) {
        DisarmEverything();
        return h;
    }
    timer_ = h;
    state_ = state;
    const uint64_t exchange = ++exchange_;
    int rc = Send(cmd, false, lk);
    if (rc >= 0 && !Interrupted(exchange) && !number.empty()) {
        rc = Send(number, true, lk);
        if (rc >= 0 && !Interrupted(exchange)) rc = Send(s_.DialTerm, false, lk);
    }
    if (stopped_) return rc < 0 ? rc : ecCommNotOpen;
    if (exchange_ != exchange) return 0; // a reply already ended it
    if (rc >= 0) rc = d_.ArmTimerTrigger(timer_, std::max<int32_t>(timerTicks, 1), true);
    if (rc < 0) {
        EndExchange();
        return rc;
    }
    return 0;
}

void TSxModemEngine::EndExchange()
{
    DisarmEverything();
    state_ = esIdle;
    ++exchange_;
}

int TSxModemEngine::SendCommand(const std::string& cmd)
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (state_ != esIdle) return ecModemBusy;
    ClearReplyLine();
    int rc = ArmReply(rpOk);
    if (rc >= 0) rc = ArmReply(rpError);
    if (rc < 0) {
        DisarmEverything();
        return rc;
    }
    return StartExchange(esCommand, cmd, std::string(), s_.CmdTimeout, &g);
}

int TSxModemEngine::DialLocked(EngineState state, const std::string& cmd, const std::string& number,
                               int32_t timeout, Lock* lk)
{
    ClearReplyLine();
    ecSeen_ = dcSeen_ = false;
    lineSpeed_ = 0;
    int rc = 0;
    for (int r = rpConnect; r <= rpError && rc >= 0; ++r) rc = ArmReply(r);
    if (rc >= 0) rc = ArmTags();
    if (rc < 0) {
        DisarmEverything();
        return rc;
    }
    remaining_ = timeout;
    return StartExchange(state, cmd, number, CountStepTicks, lk);
}

int TSxModemEngine::Dial(const std::string& number)
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (state_ != esIdle) return ecModemBusy;
    if (number.empty()) return 0;
    return DialLocked(esDialing, s_.DialCmd, number, s_.DialTimeout, &g);
}

int TSxModemEngine::Answer()
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (state_ != esIdle) return ecModemBusy;
    return DialLocked(esAnswering, s_.AnswerCmd, std::string(), s_.AnswerTimeout, &g);
}

int TSxModemEngine::AutoAnswer()
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (state_ != esIdle) return ecModemBusy;
    ClearReplyLine();
    const int rc = ArmReply(rpRing);
    if (rc < 0) {
        DisarmEverything();
        return rc;
    }
    rings_ = 0;
    state_ = esAutoAnswer;
    ++exchange_;
    return 0;
}

int TSxModemEngine::CancelCall()
{
    Lock g(lock_);
    if (stopped_) return ecModemNotStarted;
    if (state_ == esIdle || state_ == esCommand) return ecModemNotDialing;
    CancelLocked();
    return 0;
}

void TSxModemEngine::CancelLocked()
{
    switch (state_) {
    case esDialing:
    case esWaitSpeed:
    case esReadSpeed:
    case esAnswering:
        // What the cancel string sends is best effort: the call ends either way. Only a cancel that
        // went out is given time to act (a closing port takes none).
        if (Send(s_.DialCancel, false, nullptr) >= 0) host_.Pause(s_.DelayFactor, false);
        DisarmConnectReplies();
        DisarmAllTags();
        DropTimer();
        break;
    case esAutoAnswer:
        DropTimer();
        DisarmReply(rpRing);
        break;
    case esWaitTags:
        // The call is up; only the wait for the tags ends.
        DisarmAllTags();
        DropTimer();
        break;
    default:
        break;
    }
    state_ = esIdle;
    ++exchange_;
}

// ---- Trigger delivery ----------------------------------------------------------------------------

void TSxModemEngine::HandleMessage(uint16_t msg, uint32_t first, uint32_t second)
{
    {
        Lock g(lock_);
        if (stopped_) return;
        // Only messages of this engine's dispatcher while the engine is attached there.
        if (static_cast<uint16_t>(second >> 16) != d_.Handle() || d_.Attachment(3) != this) return;
        if (state_ == esIdle) return;
        switch (msg) {
        case smAvail:
            OnAvail(first);
            break;
        case smData:
            OnData(static_cast<int32_t>(first));
            break;
        case smTimer:
            if (timer_ > 0 && static_cast<int32_t>(first) == timer_) OnTimer();
            break;
        default:
            break;
        }
    }
    Flush();
}

void TSxModemEngine::Flush()
{
    std::vector<std::pair<uint16_t, int32_t>> out;
    std::lock_guard<std::recursive_mutex> f(flushLock_);
    {
        Lock g(lock_);
        out.swap(pending_);
    }
    if (detached_) return;
    for (const auto& [code, data] : out) host_.Message(code, data);
}

void TSxModemEngine::OnAvail(uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t c = 0;
        if (d_.GetChar(c) < 0) break;
        OnByte(c);
    }
}

void TSxModemEngine::OnByte(uint8_t c)
{
    switch (state_) {
    case esIdle:
        return;
    case esWaitSpeed:
        if (IsDigit(c)) {
            digits_.assign(1, static_cast<char>(c));
            state_ = esReadSpeed;
        }
        return;
    case esReadSpeed:
        if (IsDigit(c)) {
            if (static_cast<int>(digits_.size()) < MaxSpeedDigits) digits_.push_back(static_cast<char>(c));
            return;
        }
        SpeedKnown(std::stoi(digits_), true);
        return;
    default:
        break;
    }
    if (c == '\r' || c == '\n') {
        lineEnded_ = true;
        return;
    }
    if (lineEnded_) {
        replyLine_.clear();
        lineEnded_ = false;
    }
    // A line longer than the buffer keeps its beginning.
    if (static_cast<int>(replyLine_.size()) < ReplyLineSize) replyLine_.push_back(static_cast<char>(c));
}

void TSxModemEngine::OnData(int32_t handle)
{
    if (handle <= 0) return;
    for (int r = 0; r < rpCount; ++r) {
        if (replies_[r].Handle == handle) {
            OnReply(r);
            return;
        }
    }
    for (const auto& t : ecTags_) {
        if (t.Handle == handle) {
            OnTag(true);
            return;
        }
    }
    for (const auto& t : dcTags_) {
        if (t.Handle == handle) {
            OnTag(false);
            return;
        }
    }
}

void TSxModemEngine::OnReply(int reply)
{
    if (state_ == esCommand) {
        // The command is answered once all of it has gone out.
        if (charsUnsent_ > 0) return;
        if (reply == rpOk) CommandDone(emOk, 1);
        else if (reply == rpError) CommandDone(emError, 2);
        return;
    }
    if (state_ == esDialing || state_ == esAnswering) {
        if (reply == rpConnect) {
            OnConnect();
            return;
        }
        for (const FailureReply& f : FailureReplies) {
            if (f.Reply != reply) continue;
            Failure(f.Cancel);
            Emit(f.Message);
            return;
        }
        return;
    }
    if (state_ == esAutoAnswer && reply == rpRing) {
        ++rings_;
        Emit(emRing);
        if (rings_ >= std::max<int32_t>(s_.AutoAnswerRings, 1)) {
            DropTimer();
            DisarmReply(rpRing);
            state_ = esIdle;
            const int rc = DialLocked(esAnswering, s_.AnswerCmd, std::string(), s_.AnswerTimeout, nullptr);
            if (rc < 0) {
                // The answer could not even be sent: the caller is not taken.
                EndExchange();
                Emit(emConnectFailed);
            }
        } else if (NewTimer(s_.RingWaitTimeout) < 0) {
            rings_ = 0;
        }
    }
}

void TSxModemEngine::OnTag(bool errorCorrection)
{
    if (!ConnectingState()) return;
    if (errorCorrection) {
        DisarmTags(ecTags_);
        if (!ecSeen_) {
            ecSeen_ = true;
            Emit(emErrCorrection);
        }
    } else {
        DisarmTags(dcTags_);
        if (!dcSeen_) {
            dcSeen_ = true;
            Emit(emDataCompression);
        }
    }
    if (state_ == esWaitTags && ecSeen_ && dcSeen_) Connected();
}

void TSxModemEngine::OnTimer()
{
    switch (state_) {
    case esCommand:
        CommandDone(emCmdTimeout, 3);
        return;
    case esDialing:
    case esAnswering: {
        const bool dialing = state_ == esDialing;
        --remaining_;
        if (remaining_ > 0) {
            const int rc = d_.ArmTimerTrigger(timer_, CountStepTicks, true);
            if (rc < 0) {
                Failure(true);
                return;
            }
            Emit(dialing ? emDialCount : emAnswerCount, remaining_);
            return;
        }
        Failure(true);
        Emit(dialing ? emDialTimeout : emAnswerTimeout);
        return;
    }
    case esWaitSpeed:
        SpeedKnown(300, true);
        return;
    case esReadSpeed:
        SpeedKnown(300, false);
        return;
    case esWaitTags:
        Connected();
        return;
    case esAutoAnswer:
        // The caller gave up between two rings: count from the start again.
        DropTimer();
        rings_ = 0;
        return;
    default:
        return;
    }
}

void TSxModemEngine::OnConnect()
{
    DisarmConnectReplies();
    DropTimer();
    state_ = esWaitSpeed;
    digits_.clear();
    if (NewTimer(SpeedWaitTicks) < 0) {
        Failure(false);
        return;
    }
    Emit(emConnect);
}

void TSxModemEngine::SpeedKnown(int32_t speed, bool report)
{
    lineSpeed_ = speed;
    digits_.clear();
    if (!s_.LockDTE) host_.SetLineSpeed(speed);
    DropTimer();
    if (report) Emit(emLineSpeed, speed);
    state_ = esWaitTags;
    if (ecSeen_ && dcSeen_) {
        Connected();
        return;
    }
    // Without a timer the tags are not waited for.
    if (NewTimer(TagWaitTicks) < 0) Connected();
}

void TSxModemEngine::Connected()
{
    DisarmAllTags();
    DropTimer();
    state_ = esIdle;
    ++exchange_;
    Emit(emIsConnected);
}

void TSxModemEngine::Failure(bool cancel)
{
    if (cancel) {
        // On the dispatch thread, under the engine's lock: no GUI messages to process.
        host_.Pause(s_.DelayFactor * 2, false);
        CancelLocked();
    }
    DisarmConnectReplies();
    DisarmAllTags();
    DropTimer();
    state_ = esIdle;
    ++exchange_;
    Emit(emConnectFailed);
}

void TSxModemEngine::CommandDone(uint16_t outcomeMsg, int outcome)
{
    Emit(outcomeMsg);
    DisarmReply(rpOk);
    DisarmReply(rpError);
    DropTimer();
    state_ = esIdle;
    ++exchange_;
    Emit(emCommandProcessed, outcome);
}

} // namespace sx
