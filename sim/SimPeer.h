#pragma once
// What answers a call at the far end of the simulated modem: the simulated lift controller, a loop-back
// peer or a test's own peer. Like the link, a far end does no I/O and runs no thread of its own: bytes
// come in through Receive, go out through the send function it was given at Connected, and time is
// the millisecond reading the caller passes in (only differences between readings mean anything).
//
// The modem that carries the call (or the host that wires a far end straight to a simulated line)
// calls these from one thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sim {

// Faults a far end can be told to show, so that every failure path of the console can be seen.
enum class TFault {
    None,        // answers as it should
    NoAnswer,    // never answers anything
    Nak,         // refuses every hand-shake and frame with NAK
    BadChecksum, // answers with a frame whose checksum is wrong
    LateAnswer,  // answers after the caller's answer time has run out
    CarrierDrop, // asks for the carrier to be dropped in the middle of a session
};

using TSendBytes = std::function<void(const std::string& bytes)>;

class IFarEnd {
public:
    virtual ~IFarEnd() = default;
    // The call is up (carrier on); send carries bytes back to the caller until Disconnected.
    virtual void Connected(TSendBytes send, int64_t nowMs) = 0;
    // Bytes the caller sent through the connection.
    virtual void Receive(const std::string& bytes, int64_t nowMs) = 0;
    // Time passes; a far end may send now (late answers, faults). Called often (every few ms or on
    // every step of a virtual clock); cheap when nothing is due.
    virtual void Advance(int64_t nowMs) = 0;
    // The carrier is gone (either side hung up); send must not be used any more.
    virtual void Disconnected() = 0;
    // True when the far end wants the call dropped (fault on demand); the modem asks after each call.
    virtual bool WantsHangup() const { return false; }
    // The caller sent a break of lengthMs (a modem in data mode passes it on in order with the data).
    // A far end that has no use for it ignores it.
    virtual void ReceiveBreak(int lengthMs, int64_t nowMs) {
        (void)lengthMs;
        (void)nowMs;
    }
};

// Makes the far end for a call, given the fault chosen by the dialled number or a setting.
using TFarEndFactory = std::function<std::unique_ptr<IFarEnd>(TFault fault)>;

} // namespace sim
