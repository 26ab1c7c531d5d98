#pragma once
// The controller link: a framed, acknowledged request/answer protocol to a lift controller.
//
// Every transfer, either way, is a hand-shake (SOH answered by ACK) followed by one frame (STX, frame,
// answered by ACK). The link owns no port and does no I/O of its own: it writes through the console's
// byte path and receives by installing its receive routine in the console's receive hook. One periodic
// step timer drives all waiting, polling and repetition; an answer timer ends a request that is not
// finished within AnswerTimeoutMs.
//
// Frame on the wire after STX: LEN, BODY (LEN-1 bytes: 3 header bytes, then the payload), CKS, where
// LEN counts itself and the body and CKS is the byte sum of LEN and body minus one, modulo 256.

#include "platform/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zavcom {

// Control bytes.
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

// Headers: the one every built frame carries, and the one of the answer to the partner-name request.
extern const std::string HeaderDefault; // 28 FF FF
extern const std::string HeaderPartner; // 28 FF 91

// The only header the receive side accepts; HeaderDefault unless the console sets another.
extern std::string RxHeader;
// The frame being received; emptied when a receive begins.
extern std::string RxBuffer;

// Link states.
enum : int32_t {
    lsIdle = 0,         // no transfer of ours; an incoming SOH starts a receive
    lsWaitSohAck = 1,   // SOH sent, waiting for the peer's ACK
    lsWaitFrameAck = 2, // STX and frame sent, waiting for the peer's ACK
    lsReceiving = 3,    // the peer's SOH acknowledged; gathering its frame
    lsSohRefused = 5,   // the peer answered SOH with NAK; waiting before SOH goes again
};

// PopByte keeps at most this many received bytes queued. The longest answer (STX, LEN FF, 254 body
// bytes and the checksum: 257 bytes) must fit whole behind the byte popped from its chunk, or its
// checksum is lost and the frame never completes; four times that still bounds a flood.
constexpr size_t RxQueueLimit = 1024;

// Time-out of a whole request, from Send to its answer or acknowledgement.
constexpr int AnswerTimeoutMs = 5000;

// Texts handed to callbacks.
inline constexpr const char* NoAnswerText = "return with no answer";
inline constexpr const char* LinkErrorText = "ZAVCOM_TO_RPF Error";

// Callbacks take one text (bytes for an answer).
using TZavCallback = std::function<void(const std::string& text)>;
// The console's receive hook: called with the number of bytes available at the port.
using TReceiveHook = std::function<void(uint16_t count)>;

// The byte path the console offers the link. Every byte passing here is logged by the console.
class IZavBytePath {
public:
    virtual ~IZavBytePath() = default;
    // Writes one byte; nothing while the port is closed or the console is closing.
    virtual void SendChar(uint8_t b) = 0;
    // Writes the bytes in one write; false when nothing was written.
    virtual bool SendText(const std::string& bytes) = 0;
    // Takes count bytes from the port's input; empty while the console is closing.
    virtual std::string ReadChars(int count) = 0;
    // While a hook is set, the console's data-available event hands the count to it (calling a copy,
    // since the hook may replace itself) instead of gathering lines. An empty hook removes it.
    virtual void SetReceiveHook(TReceiveHook hook) = 0;
};

// Result of DecodeFrame: Error 0 and the payload of an answer with HeaderDefault, else Error 1 and the
// whole answer.
struct TDecoded {
    uint8_t Error = 1;
    std::string Payload;
};

class TZavCom {
public:
    // Timers come from timers; bytes go through path (may be set later with SetBytePath).
    explicit TZavCom(plat::ITimerService& timers, IZavBytePath* path = nullptr);
    ~TZavCom();
    TZavCom(const TZavCom&) = delete;
    TZavCom& operator=(const TZavCom&) = delete;

    void SetBytePath(IZavBytePath* path) { Path = path; }

    // Starts a request: SOH, then on the peer's ACK the frame; onAnswer receives the answer frame
    // (header, payload and CKS). False, and nothing changes, while the link is busy.
    bool Send(const std::string& frame, TZavCallback onAnswer);
    // Starts a request that ends with the peer's acknowledgement of the frame: onNoAnswer is called with
    // NoAnswerText. The callback is stored even when the link refuses the request.
    bool SendNoAnswer(const std::string& frame, TZavCallback onNoAnswer);
    // Releases the link: step and answer timers stopped, receive hook removed, idle.
    void Reset();

    // A frame with HeaderDefault around body.
    static std::string BuildFrame(const std::string& body);
    static TDecoded DecodeFrame(const std::string& answer);

    // Diagnostic texts go here; no output unless a listener is set.
    TZavCallback OnTrace;

    // Fields.
    std::unique_ptr<plat::ITimer> StepTimer;
    std::unique_ptr<plat::ITimer> AnswerTimer;
    std::string PendingFrame;  // STX and the frame of the current request
    std::string RxQueue;       // received bytes not yet handled
    std::string ReceivedFrame; // the last complete received frame without STX and LEN
    TZavCallback OnAnswer;     // one-shot receiver of the answer
    TZavCallback OnNoAnswer;   // one-shot; the request was acknowledged and no answer is awaited
    TZavCallback OnLinkError;  // filled and called by the console; called here when a request times out
    int32_t State = lsIdle;

private:
    void Clear();
    void SetState(int32_t state) { State = state; }
    // Assigns interval, then enabled; a running countdown restarts only when one of them changes.
    void SetStepTimer(int intervalMs, bool enabled);
    void Trace(const std::string& text);
    uint8_t PopByte();
    void HandleByte(uint8_t b);
    void OnStepTimer();
    void OnAnswerTimeout();
    void ReceiveChunk(uint16_t count);
    bool FeedRxByte(uint8_t b);
    void BeginReceive();
    void DeliverAnswer(const std::string& text);
    void ConvertAnswer(const std::string& text);
    void SendChar(uint8_t b);
    void StopAnswerTimer();

    IZavBytePath* Path = nullptr;
};

// The one link object of the program; null until CreateZavCom.
extern TZavCom* ZavCom;
// Creates the link object on first call (it lives until the program ends) and returns it.
TZavCom& CreateZavCom(plat::ITimerService& timers);

} // namespace zavcom
