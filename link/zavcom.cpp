#include "link/zavcom.h"

#include <cstdio>

namespace zavcom {

const std::string HeaderDefault("\x28\xFF\xFF", 3);
const std::string HeaderPartner("\x28\xFF\x91", 3);
std::string RxHeader = HeaderDefault;
std::string RxBuffer;

TZavCom* ZavCom = nullptr;

namespace {

// A received frame is at most 257 bytes; the receive window of 1000 ms carries about 1920 bytes at
// 19200 baud. Bytes beyond this bound are not gathered, so a flood cannot grow the buffer or the scan.
constexpr size_t RxBufferLimit = 4096;

} // namespace

TZavCom::TZavCom(plat::ITimerService& timers, IZavBytePath* path) : Path(path) {
    StepTimer = timers.CreateTimer();
    StepTimer->SetEnabled(false);
    StepTimer->SetOnTimer([this] { OnStepTimer(); });
    AnswerTimer = timers.CreateTimer();
    AnswerTimer->SetEnabled(false);
    AnswerTimer->SetInterval(AnswerTimeoutMs);
    AnswerTimer->SetOnTimer([this] { OnAnswerTimeout(); });
    Clear();
}

TZavCom::~TZavCom() = default;

void TZavCom::Clear() {
    RxQueue.clear();
    SetState(lsIdle);
}

void TZavCom::SetStepTimer(int intervalMs, bool enabled) {
    StepTimer->SetInterval(intervalMs);
    StepTimer->SetEnabled(enabled);
}

void TZavCom::StopAnswerTimer() {
    AnswerTimer->SetEnabled(false);
}

void TZavCom::Trace(const std::string& text) {
    if (OnTrace) {
        auto listener = OnTrace;
        listener(text);
    }
}

void TZavCom::SendChar(uint8_t b) {
    if (Path) Path->SendChar(b);
}

std::string TZavCom::BuildFrame(const std::string& body) {
    const std::string t = HeaderDefault + body;
    std::string frame(1, static_cast<char>((t.size() + 1) & 0xFF));
    frame += t;
    unsigned sum = 0xFF;
    for (unsigned char c : frame)
        sum += c;
    frame += static_cast<char>(sum & 0xFF);
    return frame;
}

TDecoded TZavCom::DecodeFrame(const std::string& answer) {
    TDecoded d;
    if (answer.compare(0, 3, HeaderDefault) == 0) {
        d.Error = 0;
        d.Payload = answer.substr(3, 255);
        if (!d.Payload.empty()) d.Payload.pop_back(); // the checksum
    } else {
        d.Error = 1;
        d.Payload = answer;
    }
    return d;
}

bool TZavCom::Send(const std::string& frame, TZavCallback onAnswer) {
    if (State != lsIdle) {
        Trace("Send nicht erlaubt");
        return false;
    }
    OnAnswer = std::move(onAnswer);
    if (Path) Path->SetReceiveHook([this](uint16_t count) { ReceiveChunk(count); });
    SetState(lsWaitSohAck);
    PendingFrame = std::string(1, static_cast<char>(STX)) + frame;
    SendChar(SOH);
    SetStepTimer(2000, true);
    // The whole request, answer included, has AnswerTimeoutMs from now.
    AnswerTimer->SetEnabled(false);
    AnswerTimer->SetInterval(AnswerTimeoutMs);
    AnswerTimer->SetEnabled(true);
    return true;
}

bool TZavCom::SendNoAnswer(const std::string& frame, TZavCallback onNoAnswer) {
    OnNoAnswer = std::move(onNoAnswer);
    return Send(frame, nullptr);
}

void TZavCom::Reset() {
    SetStepTimer(0, false);
    StopAnswerTimer();
    if (Path) Path->SetReceiveHook(nullptr);
    SetState(lsIdle);
    // Bytes of the request given up must not be taken for the next one's answer.
    RxQueue.clear();
    // A partner-name request that failed or was given up must not leave every later answer
    // unrecognised.
    RxHeader = HeaderDefault;
}

uint8_t TZavCom::PopByte() {
    if (RxQueue.empty()) return 0;
    const auto b = static_cast<uint8_t>(RxQueue[0]);
    if (RxQueue.size() == 1)
        RxQueue.clear();
    else
        RxQueue = RxQueue.substr(1, RxQueueLimit);
    return b;
}

void TZavCom::ReceiveChunk(uint16_t count) {
    if (Path) RxQueue += Path->ReadChars(count);
    // Only a byte that arrived is handled; an empty read hands nothing on.
    if (!RxQueue.empty()) HandleByte(PopByte());
}

void TZavCom::HandleByte(uint8_t b) {
    switch (State) {
    case lsIdle:
        if (b == SOH) {
            BeginReceive();
            return;
        }
        while (!RxQueue.empty()) {
            if (PopByte() == SOH) {
                BeginReceive();
                return;
            }
        }
        SetStepTimer(100, true);
        return;
    case lsWaitSohAck:
        if (b == ACK) {
            if (Path) Path->SendText(PendingFrame);
            SetState(lsWaitFrameAck);
            SetStepTimer(1000, true);
        } else if (b == NAK) {
            SetState(lsSohRefused);
            SetStepTimer(200, true);
        } else {
            SetState(lsIdle);
            SendChar(NAK);
        }
        return;
    case lsWaitFrameAck:
        if (b == ACK) {
            SetStepTimer(0, false);
            SetState(lsIdle);
            if (OnNoAnswer) {
                auto done = std::move(OnNoAnswer);
                OnNoAnswer = nullptr;
                StopAnswerTimer();
                done(NoAnswerText);
                return;
            }
            // Nobody awaits an answer: the request ends here.
            if (!OnAnswer) StopAnswerTimer();
            SetStepTimer(50, true);
        } else if (b == NAK) {
            Trace("Fehler <NAK> : senden wiederholen");
            SendChar(SOH);
            SetState(lsWaitSohAck);
            SetStepTimer(100, true);
        } else {
            SetStepTimer(500, true);
        }
        return;
    case lsReceiving:
        if (FeedRxByte(b)) {
            SendChar(ACK);
            SetState(lsIdle);
            DeliverAnswer(ReceivedFrame);
        } else {
            SetStepTimer(1000, true);
        }
        return;
    case lsSohRefused:
    default:
        return;
    }
}

void TZavCom::OnStepTimer() {
    StepTimer->SetEnabled(false);
    switch (State) {
    case lsIdle:
        if (!RxQueue.empty()) HandleByte(PopByte());
        return;
    case lsWaitFrameAck:
        while (!RxQueue.empty()) {
            const uint8_t b = PopByte();
            if (b == ACK || b == NAK) {
                HandleByte(b);
                return;
            }
            if (b == SOH) {
                // The peer's SOH acknowledges our frame and starts its answer.
                HandleByte(ACK);
                HandleByte(SOH);
                return;
            }
        }
        return;
    case lsReceiving:
        RxQueue.clear();
        SendChar(NAK);
        SetState(lsIdle);
        return;
    case lsSohRefused:
        SendChar(SOH);
        SetState(lsWaitSohAck);
        SetStepTimer(1000, true);
        return;
    case lsWaitSohAck:
    default:
        return;
    }
}

bool TZavCom::FeedRxByte(uint8_t b) {
    if (RxBuffer.size() < RxBufferLimit) RxBuffer += static_cast<char>(b);
    while (!RxQueue.empty()) {
        const uint8_t next = PopByte();
        if (RxBuffer.size() < RxBufferLimit) RxBuffer += static_cast<char>(next);
    }
    const size_t n = RxBuffer.size();
    for (size_t i = 0; i + 5 <= n; ++i) {
        if (static_cast<uint8_t>(RxBuffer[i]) != STX || RxBuffer.compare(i + 2, 3, RxHeader) != 0) continue;
        const size_t len = static_cast<uint8_t>(RxBuffer[i + 1]);
        if (len > n - i - 2) return false; // the frame has not arrived completely
        ReceivedFrame = RxBuffer.substr(i + 2, len);
        return true;
    }
    return false;
}

void TZavCom::BeginReceive() {
    RxBuffer.clear();
    SetState(lsReceiving);
    SendChar(ACK);
    // Every receive has its full 1000 ms: a countdown left running at the same interval (by the
    // receive before, which ends without stopping it) would otherwise close this one early.
    StepTimer->SetEnabled(false);
    SetStepTimer(1000, true);
}

void TZavCom::DeliverAnswer(const std::string& text) {
    StopAnswerTimer();
    auto receiver = std::move(OnAnswer);
    OnAnswer = nullptr;
    if (receiver) receiver(std::string(text));
}

void TZavCom::OnAnswerTimeout() {
    AnswerTimer->SetEnabled(false);
    char text[64];
    std::snprintf(text, sizeof text, "%s %d", "<ERROR> NC/TIME.OUT", AnswerTimeoutMs);
    ConvertAnswer(text);
}

void TZavCom::ConvertAnswer(const std::string& text) {
    StopAnswerTimer();
    if (DecodeFrame(text).Error != 1) return;
    // The request has failed and is reported; its callbacks must not fire for a later request.
    OnAnswer = nullptr;
    OnNoAnswer = nullptr;
    Reset();
    if (OnLinkError) {
        auto report = OnLinkError;
        report(LinkErrorText);
    }
}

TZavCom& CreateZavCom(plat::ITimerService& timers) {
    if (!ZavCom) ZavCom = new TZavCom(timers); // lives until the program ends
    return *ZavCom;
}

} // namespace zavcom
