// The port's properties: line settings, modem lines, flow control and its levels, RS-485, the avail
// level, the thread priority and the trace and log sizes, each passed on to an open device at once.
// Called by the component's users and by Assign.

#include "serial/port/SxComPort.h"

#include "serial/port/SxComPortPrivate.h"

#include <algorithm>

namespace sx {

using comport::Word;

namespace {

constexpr int32_t MaxTraceSize = 4000000;
constexpr int32_t MaxLogSize = 16000000;

} // namespace

// ---- Properties --------------------------------------------------------------------------------

void TSxCustomComPort::SetDeviceLayer(TDeviceLayer v)
{
    // Only the plain serial device layer exists here, and only a closed port may change it.
    if (v == dlWin32 && phase_ == phClosed) deviceLayer_ = v;
}

void TSxCustomComPort::SetComNumber(uint16_t v)
{
    if (v == comNumber_) return;
    comNumber_ = v;
    if (phase_ != phOpen || loading_) return;
    // Move to the other port: the triggers travel with the close/open, the trace and log states
    // are taken over.
    const TTraceLogState tracing = trace_.State, logging = log_.State;
    DoClose();
    trace_.State = tracing;
    log_.State = logging;
    NoteRecorderStates();
    tracing_ = tracing;
    logging_ = logging;
    SetOpen(true);
}

void TSxCustomComPort::SetLineWhenOpen()
{
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) {
        Check(d->SetLine(baud_, static_cast<uint8_t>(parity_), static_cast<uint8_t>(dataBits_),
                         static_cast<uint8_t>(stopBits_)));
        LogLine(Word(15004), Word(15114), static_cast<uint32_t>(baud_), static_cast<uint32_t>(dataBits_));
    }
}

void TSxCustomComPort::SetBaud(int32_t v)
{
    baud_ = v;
    SetLineWhenOpen();
}

void TSxCustomComPort::SetParity(TParity v)
{
    parity_ = v;
    SetLineWhenOpen();
}

void TSxCustomComPort::SetDataBits(int16_t v)
{
    dataBits_ = v;
    SetLineWhenOpen();
}

void TSxCustomComPort::SetStopBits(int16_t v)
{
    stopBits_ = v;
    SetLineWhenOpen();
}

void TSxCustomComPort::SetDTR(bool v)
{
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) {
        // 1: the line is under flow control and keeps its state.
        if (Check(d->SetDTR(v)) != 0) return;
    }
    dtr_ = v;
}

void TSxCustomComPort::SetRTS(bool v)
{
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) {
        if (Check(d->SetRTS(v)) != 0) return;
    }
    rts_ = v;
}

void TSxCustomComPort::ApplyHWFlow()
{
    if (hwFlow_ != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<uint16_t>(inSize_ * 9 / 10);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = static_cast<uint16_t>(inSize_ / 10);
    }
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) {
        // Without hardware flow the levels are only kept; a stored level above InSize must not make
        // the device refuse the settings (and the open fail).
        const uint16_t full = std::min(bufferFull_, inSize_);
        const uint16_t resume = std::min(bufferResume_, full);
        Check(d->SetHardFlow(hwFlow_ ? bufferFull_ : full, hwFlow_ ? bufferResume_ : resume, hwFlow_));
    }
}

void TSxCustomComPort::ApplySWFlow()
{
    if (swFlow_ != swfNone) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<uint16_t>(inSize_ * 3 / 4);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = static_cast<uint16_t>(inSize_ / 4);
    }
    TSxBaseDispatcher* d = DispatcherIfOpen();
    if (!d) return;
    if (swFlow_ == swfNone) {
        Check(d->SoftFlowOff());
    } else {
        const uint16_t dirs = swFlow_ == swfReceive ? sfReceive : swFlow_ == swfTransmit ? sfTransmit
                                                                                         : (sfReceive | sfTransmit);
        Check(d->SetSoftFlow(bufferFull_, bufferResume_, dirs));
    }
    Check(d->SetFlowChars(xonChar_, xoffChar_));
}

void TSxCustomComPort::SetHWFlowOptions(THWFlowOptions v)
{
    hwFlow_ = v & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
    if (hwFlow_ & (hwfUseRTS | hwfRequireCTS)) {
        rs485Mode_ = false;
        if (TSxBaseDispatcher* d = DispatcherIfOpen()) Check(d->SetRS485Mode(false));
    }
    ApplyHWFlow();
}

void TSxCustomComPort::SetSWFlowOptions(TSWFlowOptions v)
{
    swFlow_ = v;
    ApplySWFlow();
}

void TSxCustomComPort::SetXOnChar(uint8_t v)
{
    xonChar_ = v;
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) Check(d->SetFlowChars(xonChar_, xoffChar_));
}

void TSxCustomComPort::SetXOffChar(uint8_t v)
{
    xoffChar_ = v;
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) Check(d->SetFlowChars(xonChar_, xoffChar_));
}

void TSxCustomComPort::SetBufferFull(uint16_t v)
{
    bufferFull_ = v > inSize_ ? static_cast<uint16_t>(v * 9 / 10) : v;
    ApplyHWFlow();
    ApplySWFlow();
}

void TSxCustomComPort::SetBufferResume(uint16_t v)
{
    bufferResume_ = v > bufferFull_ ? static_cast<uint16_t>(bufferFull_ / 10) : v;
    ApplyHWFlow();
    ApplySWFlow();
}

void TSxCustomComPort::SetRS485Mode(bool v)
{
    const bool before = rs485Mode_;
    rs485Mode_ = v;
    if (v) {
        hwFlow_ &= static_cast<THWFlowOptions>(~(hwfUseRTS | hwfRequireCTS));
        ApplyHWFlow();
        // Before the mode takes RTS over: afterwards the dispatcher would ignore the request.
        SetRTS(false);
    }
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) {
        const int rc = d->SetRS485Mode(v);
        if (rc < 0) rs485Mode_ = before; // refused by the device: the property says what is in force
        Check(rc);
    }
}

void TSxCustomComPort::SetAvailLevel(uint16_t v)
{
    availLevel_ = v;
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) Check(d->SetAvailLevel(v));
    // Set while closed: the triggers kept for the reopen must not bring the old level back.
    else if (savedTriggers_.Valid) savedTriggers_.AvailLevel = v;
}

void TSxCustomComPort::SetPriorityBoost(int v)
{
    priorityBoost_ = v;
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) Check(d->RaiseThreadPriority(v));
}

void TSxCustomComPort::SetTraceSize(int32_t v)
{
    traceSize_ = std::clamp<int32_t>(v, 0, MaxTraceSize);
}

void TSxCustomComPort::SetLogSize(int32_t v)
{
    logSize_ = std::clamp<int32_t>(v, 0, MaxLogSize);
}

} // namespace sx
