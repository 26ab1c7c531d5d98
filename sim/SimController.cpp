#include "sim/SimController.h"

#include "sim/HayesModem.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

const std::string SyncAnswer("\x06\x15\x15", 3);
const std::string Notification("\x0C\x05", 2);
const std::string HeaderDefault("\x28\xFF\xFF", 3);
const std::string HeaderNameRequest("\x28\xFF\x90", 3);
const std::string HeaderPartner("\x28\xFF\x91", 3);
const std::string GroupPrefix("\xF0\x10\x70", 3);
const std::string DataModeCommand = "AT01\r";

// LEN is one byte and counts itself: a body has at most 254 bytes, a payload behind a header 251.
constexpr size_t BodyLimit = 254;
constexpr size_t PayloadLimit = BodyLimit - 3;
constexpr size_t NameLimit = PayloadLimit - 1;
constexpr int Floors = 8;

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v & 0xFF);
    return s;
}

} // namespace

TSimController::TSimController(TControllerSettings settings) : Config(std::move(settings)) {}

std::string TSimController::MakeFrame(const std::string& body) {
    std::string frame(1, static_cast<char>((std::min(body.size(), BodyLimit) + 1) & 0xFF));
    frame += body.substr(0, BodyLimit);
    unsigned sum = 0xFF;
    for (unsigned char c : frame)
        sum += c;
    frame += static_cast<char>(sum & 0xFF);
    return frame;
}

std::string TSimController::AnswerPayload(const std::string& request, int car) const {
    const std::string name = car == 0 ? Config.Name : Config.Name + "/" + std::to_string(car);
    std::string answer;
    if (request.size() >= 4 && request.compare(0, 3, GroupPrefix) == 0) {
        const int member = static_cast<uint8_t>(request[3]);
        answer = request.substr(0, 4);
        if (member < Config.GroupSize)
            answer += AnswerPayload(request.substr(4), member);
        else
            answer += '\xFE';
    } else if (request == Bytes({0xF1, 0x00})) {
        answer = request + name + " V1.00";
    } else if (request == Bytes({0xF1, 0x01})) {
        const int floor = 1 + (Answered + 3 * car) % Floors;
        const int errors = car == 0 ? 2 : 0;
        answer = request + Bytes({Floors, floor, 0x00, 0x01, errors >> 8, errors, Answered >> 8, Answered});
    } else if (request == Bytes({0xF1, 0x40})) {
        answer = request + (car == 0 ? Bytes({0x02, 0x12, 0x03, 0x07, 0x01}) : Bytes({0x00}));
    } else {
        answer = '\xFE' + request;
    }
    return answer.substr(0, PayloadLimit);
}

int64_t TSimController::NextDueMs() const {
    int64_t due = -1;
    switch (Phase) {
    case TPhase::WaitStx:
    case TPhase::InFrame:
    case TPhase::AnswerDue:
    case TPhase::WaitSohAck:
    case TPhase::SohRefused:
    case TPhase::WaitFrameAck:
        due = DueMs;
        break;
    default:
        break;
    }
    if (Config.Fault == TFault::CarrierDrop && !HangupWanted && SessionStartMs >= 0 &&
        Phase != TPhase::Offline) {
        const int64_t drop = SessionStartMs + Config.CarrierDropAfterMs;
        if (due < 0 || drop < due) due = drop;
    }
    return due;
}

void TSimController::Connected(TSendBytes send, int64_t nowMs) {
    SendFn = std::move(send);
    Now = nowMs;
    Phase = Config.StartInDataMode ? TPhase::Unsynced : TPhase::Command;
    SessionStartMs = -1;
    HangupWanted = false;
    RefuseNextSoh = true;
    Tries = 0;
    Recent.clear();
    Frame.clear();
    Answer.clear();
    Inbox.clear();
    Outbox.clear();
}

void TSimController::Disconnected() {
    SendFn = nullptr;
    Phase = TPhase::Offline;
    Recent.clear();
    Frame.clear();
    Answer.clear();
    Inbox.clear();
    Outbox.clear();
}

void TSimController::Receive(const std::string& bytes, int64_t nowMs) {
    if (Phase == TPhase::Offline) return;
    Now = std::max(Now, nowMs);
    const size_t room = InputLimit - std::min(Inbox.size(), InputLimit);
    Inbox.append(bytes, 0, room);
    if (bytes.size() > room) Counters.BytesDropped += static_cast<int>(bytes.size() - room);
    Pump();
}

void TSimController::Advance(int64_t nowMs) {
    if (Phase == TPhase::Offline) return;
    Now = std::max(Now, nowMs);
    Pump();
}

// Handles what is due and what arrived, and sends what that produced, until nothing is left. A call that
// arrives from within the send (the other side answering at once) only queues its bytes for this loop.
void TSimController::Pump() {
    if (Busy) return;
    Busy = true;
    for (;;) {
        const TPhase before = Phase;
        const int64_t dueBefore = DueMs;
        CheckTime();
        if (Phase != before || DueMs != dueBefore) continue;
        if (!Inbox.empty()) {
            const std::string in = std::exchange(Inbox, {});
            for (char c : in)
                HandleByte(static_cast<uint8_t>(c));
            continue;
        }
        if (!Outbox.empty()) {
            const std::string out = std::exchange(Outbox, {});
            if (SendFn) {
                auto send = SendFn; // the send may end the call, which clears SendFn
                send(out);
            }
            continue;
        }
        break;
    }
    Busy = false;
}

void TSimController::CheckTime() {
    if (Config.Fault == TFault::CarrierDrop && !HangupWanted && SessionStartMs >= 0 &&
        Now >= SessionStartMs + Config.CarrierDropAfterMs) {
        HangupWanted = true;
        Phase = TPhase::Silent;
        Frame.clear();
        Answer.clear();
        return;
    }
    if (Now < DueMs) return;
    switch (Phase) {
    case TPhase::WaitStx:
    case TPhase::InFrame:
        // The console's frame did not arrive in time.
        Emit(NAK);
        ++Counters.FramesRefused;
        Frame.clear();
        Phase = TPhase::Idle;
        return;
    case TPhase::AnswerDue:
    case TPhase::SohRefused:
        SendAnswerSoh();
        return;
    case TPhase::WaitSohAck:
    case TPhase::WaitFrameAck:
        AnswerRefused(0);
        return;
    default:
        return;
    }
}

void TSimController::HandleByte(uint8_t b) {
    if (Config.Fault == TFault::NoAnswer) return;
    switch (Phase) {
    case TPhase::Offline:
    case TPhase::Silent:
        return;
    case TPhase::Command:
        WatchForDataMode(b);
        return;
    case TPhase::Unsynced:
        if (b == SOH) {
            StartSession();
            Emit(SyncAnswer);
            ++Counters.SyncAnswers;
            Recent.clear();
            Phase = TPhase::Idle;
        } else {
            WatchForDataMode(b);
        }
        return;
    case TPhase::Idle:
        if (b == SOH)
            AcceptHandshake();
        else
            WatchForDataMode(b);
        return;
    case TPhase::WaitStx:
        if (b == SOH) {
            AcceptHandshake(); // the console started its hand-shake anew
        } else if (b == STX) {
            Frame.clear();
            Phase = TPhase::InFrame;
        }
        return; // anything else is noise before the frame
    case TPhase::InFrame:
        Frame += static_cast<char>(b);
        if (Frame.size() == 1 && b == 0) {
            // LEN 0 cannot count itself: not a frame.
            Emit(NAK);
            ++Counters.FramesRefused;
            Frame.clear();
            Phase = TPhase::Idle;
        } else if (Frame.size() == static_cast<size_t>(static_cast<uint8_t>(Frame[0])) + 1) {
            FrameComplete();
        }
        return;
    case TPhase::AnswerDue:
    case TPhase::SohRefused:
        if (b == SOH) {
            DropAnswer();
            AcceptHandshake();
        }
        return;
    case TPhase::WaitSohAck:
        if (b == ACK) {
            Emit(std::string(1, static_cast<char>(STX)) + Answer);
            Phase = TPhase::WaitFrameAck;
            DueMs = Now + Config.AckWaitMs;
        } else if (b == NAK) {
            AnswerRefused(Config.SohRetryMs);
        } else if (b == SOH) {
            DropAnswer();
            AcceptHandshake();
        }
        return;
    case TPhase::WaitFrameAck:
        if (b == ACK) {
            ++Counters.AnswersSent;
            Answer.clear();
            Phase = TPhase::Idle;
        } else if (b == NAK) {
            AnswerRefused(0);
        } else if (b == SOH) {
            DropAnswer();
            AcceptHandshake();
        }
        return;
    }
}

// "AT01" CR (any letter case) outside frames switches to data mode and asks for a new synchronisation.
void TSimController::WatchForDataMode(uint8_t b) {
    Recent += static_cast<char>(std::toupper(b));
    if (Recent.size() > DataModeCommand.size()) Recent.erase(0, Recent.size() - DataModeCommand.size());
    if (Recent == DataModeCommand) {
        Recent.clear();
        Phase = TPhase::Unsynced;
    }
}

void TSimController::StartSession() {
    if (SessionStartMs < 0) SessionStartMs = Now;
}

void TSimController::AcceptHandshake() {
    StartSession();
    Frame.clear();
    if (Config.Fault == TFault::Nak && RefuseNextSoh) {
        RefuseNextSoh = false;
        Emit(NAK);
        ++Counters.SohRefused;
        Phase = TPhase::Idle;
        return;
    }
    RefuseNextSoh = true;
    Emit(ACK);
    ++Counters.Handshakes;
    Phase = TPhase::WaitStx;
    DueMs = Now + Config.HandshakeTimeoutMs;
}

void TSimController::FrameComplete() {
    const size_t len = static_cast<uint8_t>(Frame[0]);
    unsigned sum = 0xFF;
    for (size_t i = 0; i < len; ++i)
        sum += static_cast<uint8_t>(Frame[i]);
    const bool sound = static_cast<uint8_t>(sum & 0xFF) == static_cast<uint8_t>(Frame[len]);
    const std::string body = Frame.substr(1, len - 1);
    Frame.clear();
    if (!sound || Config.Fault == TFault::Nak) {
        Emit(NAK);
        ++Counters.FramesRefused;
        Phase = TPhase::Idle;
        return;
    }
    Emit(ACK);
    ++Counters.FramesAccepted;
    Respond(body);
}

void TSimController::Respond(const std::string& body) {
    Phase = TPhase::Idle;
    std::string answer;
    if (body == Notification) {
        ++Counters.Notifications;
        return;
    }
    if (body == HeaderNameRequest) {
        answer = HeaderPartner + Config.Name.substr(0, NameLimit) + '\0';
    } else if (body.compare(0, 3, HeaderDefault) == 0 && body.size() >= 3) {
        answer = HeaderDefault + AnswerPayload(body.substr(3), 0);
    } else {
        return; // not addressed to this controller: acknowledged only
    }
    ++Answered;
    Answer = MakeFrame(answer);
    if (Config.Fault == TFault::BadChecksum) Answer.back() = static_cast<char>(Answer.back() + 1);
    Tries = 0;
    Phase = TPhase::AnswerDue;
    DueMs = Now + (Config.Fault == TFault::LateAnswer ? Config.LateAnswerDelayMs : Config.AnswerDelayMs);
}

void TSimController::SendAnswerSoh() {
    Emit(SOH);
    Phase = TPhase::WaitSohAck;
    DueMs = Now + Config.AckWaitMs;
}

// The console refused (or did not take) our SOH or frame: SOH again after delayMs, until MaxSendTries.
void TSimController::AnswerRefused(int delayMs) {
    if (++Tries >= Config.MaxSendTries) {
        DropAnswer();
    } else if (delayMs > 0) {
        Phase = TPhase::SohRefused;
        DueMs = Now + delayMs;
    } else {
        SendAnswerSoh();
    }
}

void TSimController::DropAnswer() {
    Answer.clear();
    ++Counters.AnswersDropped;
    Phase = TPhase::Idle;
}

void TSimController::Emit(const std::string& bytes) {
    if (SendFn) Outbox += bytes;
}

TFarEndFactory ControllerFarEnds(TControllerSettings settings) {
    return [settings](TFault fault) -> std::unique_ptr<IFarEnd> {
        TControllerSettings s = settings;
        s.Fault = fault;
        return std::make_unique<TSimController>(std::move(s));
    };
}

bool ControllerFaultFromName(const std::string& name, TFault& fault) {
    if (const auto f = FaultFromName(name)) {
        fault = *f;
        return true;
    }
    const std::pair<const char*, TFault> english[] = {{"none", TFault::None},
                                                      {"noanswer", TFault::NoAnswer},
                                                      {"badchecksum", TFault::BadChecksum},
                                                      {"late", TFault::LateAnswer},
                                                      {"drop", TFault::CarrierDrop}};
    for (const auto& [text, f] : english)
        if (name == text) {
            fault = f;
            return true;
        }
    return false;
}

void TSimController::ReceiveBreak(int, int64_t nowMs) {
    if (Phase == TPhase::Offline) return;
    Now = std::max(Now, nowMs);
    Pump(); // the bytes before the break first (during a call of our own they are still queued)
    Recent.clear();
    if (Phase == TPhase::WaitStx || Phase == TPhase::InFrame) {
        Frame.clear();
        Phase = TPhase::Idle;
    }
    Pump();
}

} // namespace sim
