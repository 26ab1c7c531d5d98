// Trigger events: the dispatcher's notifications, handed to the port's window on the GUI thread, become
// the OnTrigger... events. Called through the window by the GUI hand-off, and by the event setters.

#include "serial/port/SxComPort.h"

#include "serial/port/SxComPortPrivate.h"

namespace sx {

using comport::Word;

// ---- Trigger delivery --------------------------------------------------------------------------

bool TSxCustomComPort::AnyTriggerEvent() const
{
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerModemStatus_ || onTriggerLineError_ || onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ ||
           onTriggerOutSent_;
}

void TSxCustomComPort::TriggerEventsChanged()
{
    if (TSxBaseDispatcher* d = DispatcherIfOpen()) d->NotePortHandlers(AnyTriggerEvent() ? 1 : 2);
}

void TSxCustomComPort::WindowProc(uint16_t msg, uint32_t first, uint32_t second)
{
    const uint16_t handle = static_cast<uint16_t>(second >> 16);
    const uint16_t datum = static_cast<uint16_t>(second & 0xFFFF);
    TSxBaseDispatcher* d = TSxBaseDispatcher::FindByHandle(handle);
    // A message of a dispatcher that is gone, or of a port already closing, is dropped.
    if (!d || d->Owner() != this || d != dispatcher_.get() || phase_ != phOpen) return;
    const uint16_t h = static_cast<uint16_t>(first);
    if (logOn_.load(std::memory_order_acquire)) {
        const std::string subType = msg == smAvail ? Word(15105) : msg == smData ? Word(15106)
                                    : msg == smTimer ? Word(15107) : Word(15108);
        LogLine(Word(15003), subType, first, datum);
    }
    // Each event runs only while the port is still open: a handler may close it.
    auto stillOpen = [&] { return phase_ == phOpen && dispatcher_.get() == d; };
    try {
        switch (msg) {
        case smAvail:
            if (onTrigger_) onTrigger_(*this, msg, h, h);
            if (onTriggerAvail_ && stillOpen()) onTriggerAvail_(*this, h);
            break;
        case smData:
            if (onTrigger_) onTrigger_(*this, msg, h, datum);
            if (onTriggerData_ && stillOpen()) onTriggerData_(*this, h);
            break;
        case smTimer:
            if (onTrigger_) onTrigger_(*this, msg, h, 0);
            if (onTriggerTimer_ && stillOpen()) onTriggerTimer_(*this, h);
            break;
        case smStatus: {
            if (onTrigger_) onTrigger_(*this, msg, h, datum);
            if (onTriggerStatus_ && stillOpen()) onTriggerStatus_(*this, h);
            if (!stillOpen()) break;
            switch (first & 7) {
            case stModem:
                if (onTriggerModemStatus_) onTriggerModemStatus_(*this);
                break;
            case stLine:
                if (onTriggerLineError_) {
                    const int error = d->LineError();
                    const bool lineBreak = d->LineBreak();
                    onTriggerLineError_(*this, static_cast<uint16_t>(error), lineBreak);
                }
                break;
            case stOutBuffFree:
                if (onTriggerOutbuffFree_) onTriggerOutbuffFree_(*this);
                break;
            case stOutBuffUsed:
                if (onTriggerOutbuffUsed_) onTriggerOutbuffUsed_(*this);
                break;
            case stOutSent:
                if (onTriggerOutSent_) onTriggerOutSent_(*this);
                break;
            default:
                break;
            }
            break;
        }
        default:
            break;
        }
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

} // namespace sx
