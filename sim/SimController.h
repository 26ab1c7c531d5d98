#pragma once
// The simulated lift controller: the far end of the controller link, for the demo and the tests.
//
// Phases of a call:
//  - Command phase (behind a modem): the controller waits for "AT01" CR, with which the console enters data
//    mode; everything else is ignored. On a direct line (StartInDataMode) there is no command phase.
//  - Data mode, not yet synchronised: the first SOH (0x01) is the console's synchronisation probe and is
//    answered with 06 15 15 (ACK NAK NAK). Another "AT01" CR later brings the controller back here.
//  - Synchronised: the link protocol. The console's SOH is answered with ACK; then STX and one frame
//    (LEN, BODY, CKS) must arrive within HandshakeTimeoutMs, or the controller answers NAK. A complete frame
//    with a correct checksum is answered with ACK, a wrong one with NAK. A request that has an answer is
//    answered AnswerDelayMs later as a transfer of the controller's own: SOH, wait for ACK (NAK: SOH again
//    after SohRetryMs), STX and the frame, wait for ACK (NAK: start again with SOH). Silence for AckWaitMs
//    counts as a refusal; after MaxSendTries refusals the answer is dropped. An SOH from the console while
//    an answer is pending or under way means the console has given up on it: the answer is dropped and the
//    SOH starts the console's new hand-shake. (On a direct line a request sent before any synchronisation
//    meets the synchronisation answer; the link takes its NAKs for refusals, repeats, and is answered
//    about a second later.)
//
// Requests and their answers (hexadecimal):
//  - 03 0C 05 13, the partner notification: acknowledged, no answer.
//  - 04 28 FF 90 BA, the partner-name request: header 28 FF 91, the name, one 00 byte. (The console drops the
//    last payload byte and every character outside "0".."z", so "SIM-ZAV 1" is shown as "SIMZAV1".)
//  - header 28 FF FF with payload F1 00, identification: F1 00, then "<name> V1.00".
//  - F1 01, operating status: F1 01, floors (8), current floor (1 + (n + 3c) mod 8), door (00 closed), mode
//    (01 normal), error count (2 bytes, high first: 2 for car 0, whose error memory holds two, 0 for other
//    cars), trip counter (2 bytes, high first, = n), where n counts the answers made before this one.
//  - F1 40, error memory: F1 40, number of entries (02), then per entry error code and floor: 12 03, 07 01.
//  - F0 10 70 c followed by an inner request, group test of car c: F0 10 70 c, then the inner request's
//    answer as that car gives it; the group has GroupSize cars (0 is this controller, car c > 0 calls itself
//    "<name>/c" and stands on another floor). A car outside the group answers F0 10 70 c FE.
//  - any other payload under 28 FF FF: FE followed by the payload (request not known).
//  - any other frame with a correct checksum: acknowledged, no answer.
//
// Faults on demand (Fault):
//  - NoAnswer: nothing is ever answered, not even the synchronisation probe.
//  - Nak: synchronises, then refuses every request: its first SOH with NAK, the repeated SOH is accepted and
//    the frame refused with NAK, and so on; no request is ever acknowledged.
//  - BadChecksum: every answer carries a checksum one too high.
//  - LateAnswer: answers start LateAnswerDelayMs after the request's ACK, after the console's 5000 ms answer
//    time; the notification is acknowledged as usual.
//  - CarrierDrop: works as it should until CarrierDropAfterMs after the call's first synchronisation or
//    hand-shake; then it asks for the call to be dropped (WantsHangup) and answers nothing more.
//
// A break on the line (from the console, or passed on by the modem) drops a frame the controller was
// gathering, without an answer, and the controller waits for a new hand-shake; in the command phase it
// forgets the characters it had seen of "AT01" CR. Its own answer under way is not touched.
//
// Like the link, the controller does no I/O, runs no thread and keeps no clock: bytes in through Receive,
// out through the send function given at Connected, time as passed in. Every buffer is bounded. Calls may
// nest (a send that delivers at once into the caller's side, which answers into Receive): bytes that arrive
// during a call are handled when that call has finished with the bytes before them.

#include "sim/SimPeer.h"

#include <cstdint>
#include <string>

namespace sim {

struct TControllerSettings {
    std::string Name = "SIM-ZAV 1"; // what the partner-name request returns (at most 250 bytes are used)
    TFault Fault = TFault::None;
    bool StartInDataMode =
        false;              // direct line: no "AT01" awaited, the first SOH is the synchronisation probe
    int GroupSize = 2;      // cars that answer the group test, car 0 included
    int AnswerDelayMs = 20; // from the ACK of a request to the SOH of its answer
    int HandshakeTimeoutMs = 1000; // from the ACK of the console's SOH to the end of its frame
    int AckWaitMs = 1500;         // for the console's ACK to our SOH or frame; longer than its receive window
    int SohRetryMs = 200;         // after the console refused our SOH
    int MaxSendTries = 3;         // refusals (or silences) before an answer is dropped
    int LateAnswerDelayMs = 6000; // LateAnswer: after the console's 5000 ms answer time
    int CarrierDropAfterMs = 5000; // CarrierDrop: from the session's first synchronisation or hand-shake
};

// Counters of what the controller did, for tests and traces.
struct TControllerStats {
    int SyncAnswers = 0;    // 06 15 15 sent
    int Handshakes = 0;     // console SOHs acknowledged
    int FramesAccepted = 0; // console frames acknowledged
    int FramesRefused = 0;  // console frames answered with NAK (checksum, length, time-out, fault)
    int SohRefused = 0;     // console SOHs answered with NAK (fault)
    int Notifications = 0;  // partner notifications acknowledged
    int AnswersSent = 0;    // answers the console acknowledged
    int AnswersDropped = 0; // answers given up (refused too often, or the console started anew)
    int BytesDropped = 0;   // received bytes beyond the input bound
};

class TSimController : public IFarEnd {
public:
    explicit TSimController(TControllerSettings settings = {});

    void Connected(TSendBytes send, int64_t nowMs) override;
    void Receive(const std::string& bytes, int64_t nowMs) override;
    void Advance(int64_t nowMs) override;
    void Disconnected() override;
    bool WantsHangup() const override { return HangupWanted; }
    void ReceiveBreak(int lengthMs, int64_t nowMs) override;
    // When the controller next acts by itself (absolute, on the caller's clock), or -1: a host that sleeps
    // until something happens wakes then and calls Advance.
    int64_t NextDueMs() const;

    const TControllerSettings& Settings() const { return Config; }
    const TControllerStats& Stats() const { return Counters; }
    bool IsConnected() const { return Phase != TPhase::Offline; }
    bool InDataMode() const { return Phase != TPhase::Offline && Phase != TPhase::Command; }
    bool Synchronised() const { return InDataMode() && Phase != TPhase::Unsynced; }

    // The answer payload of car `car` to a request payload under header 28 FF FF; empty for none.
    std::string AnswerPayload(const std::string& request, int car) const;

    // A frame as sent after STX: LEN, body, CKS.
    static std::string MakeFrame(const std::string& body);

    // Bound of the bytes taken per call (and queued while a call is in progress); more is dropped.
    static constexpr size_t InputLimit = 4096;

private:
    enum class TPhase {
        Offline,      // no call
        Command,      // waiting for "AT01" CR
        Unsynced,     // data mode, waiting for the synchronisation probe
        Idle,         // synchronised, nothing under way
        WaitStx,      // the console's SOH acknowledged, waiting for STX
        InFrame,      // gathering the console's frame
        AnswerDue,    // a request acknowledged, its answer starts at DueMs
        WaitSohAck,   // our SOH sent
        SohRefused,   // our SOH refused, SOH again at DueMs
        WaitFrameAck, // our frame sent
        Silent,       // hang-up asked for: nothing more is answered
    };

    void Pump();
    void CheckTime();
    void HandleByte(uint8_t b);
    void WatchForDataMode(uint8_t b);
    void StartSession();
    void AcceptHandshake();
    void FrameComplete();
    void Respond(const std::string& body);
    void SendAnswerSoh();
    void AnswerRefused(int delayMs);
    void DropAnswer();
    void Emit(const std::string& bytes);
    void Emit(uint8_t b) { Emit(std::string(1, static_cast<char>(b))); }

    TControllerSettings Config;
    TControllerStats Counters;
    TSendBytes SendFn;
    TPhase Phase = TPhase::Offline;
    int64_t Now = 0;
    int64_t DueMs = 0;           // deadline or start time of the current phase
    int64_t SessionStartMs = -1; // first synchronisation or hand-shake of the call
    bool HangupWanted = false;
    bool RefuseNextSoh = true; // Nak fault: the first SOH of a request is refused, the repeated one accepted
    int Tries = 0;             // refusals of the current answer
    int Answered = 0;          // requests answered so far (the trip counter of the status answer)
    std::string Recent;        // the last bytes outside frames, to see "AT01" CR
    std::string Frame;         // the console's frame being gathered: LEN, body, CKS
    std::string Answer;        // the answer under way: LEN, body, CKS
    std::string Inbox;         // bytes that arrived during a call
    std::string Outbox;        // bytes to send when the current step is done
    bool Busy = false;
};

// A far-end factory that answers every call with a controller of these settings showing the call's fault.
TFarEndFactory ControllerFarEnds(TControllerSettings settings = {});

// The fault a device or option name asks for: "keiner", "stumm", "nak", "pruefsumme", "spaet", "auflegen"
// (or in English: "none", "noanswer", "nak", "badchecksum", "late", "drop"); false for an unknown name.
bool ControllerFaultFromName(const std::string& name, TFault& fault);

} // namespace sim
