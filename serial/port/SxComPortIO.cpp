// The port's I/O: bytes in and out, the break, the modem lines and input and output counts, and the timer and
// status triggers on the open dispatcher. Called by the component's users on the GUI thread.

#include "serial/port/SxComPort.h"

namespace sx {

// ---- Operations --------------------------------------------------------------------------------

uint8_t TSxCustomComPort::GetChar()
{
    uint8_t c = 0;
    Check(Dispatcher().GetChar(c));
    if (traceOn_.load(std::memory_order_acquire)) TraceBytes('R', &c, 1);
    return c;
}

int TSxCustomComPort::GetBlock(uint8_t* data, int n)
{
    const int k = Check(Dispatcher().GetBlock(data, n));
    TraceBytes('R', data, static_cast<size_t>(k));
    return k;
}

void TSxCustomComPort::PutChar(uint8_t c)
{
    Check(Dispatcher().PutChar(c));
    TraceBytes('T', &c, 1);
}

void TSxCustomComPort::PutString(const std::string& s)
{
    if (s.empty()) return;
    if (s.size() > 0x7FFF) RaiseError(ecOutputBufferTooSmall); // never fits, and must not wrap
    Check(Dispatcher().PutBlock(s.data(), static_cast<int>(s.size())));
    TraceBytes('T', reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

uint8_t TSxCustomComPort::ModemStatus()
{
    if (phase_ == phClosing) return 0;
    return Dispatcher().ModemStatus(0x0F);
}

bool TSxCustomComPort::CTS()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d && d->CTS();
}

bool TSxCustomComPort::DSR()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d && d->DSR();
}

bool TSxCustomComPort::DCD()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d && d->DCD();
}

bool TSxCustomComPort::Ring()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d && d->Ring();
}

int TSxCustomComPort::LineError()
{
    return Dispatcher().LineError();
}

bool TSxCustomComPort::LineBreak()
{
    return Dispatcher().LineBreak();
}

int TSxCustomComPort::InputUsed()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d ? Check(d->InputUsed()) : 0;
}

int TSxCustomComPort::OutputUsed()
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    return d ? Check(d->OutputUsed()) : 0;
}

int32_t TSxCustomComPort::NewTimerTrigger()
{
    return Check(Dispatcher().NewTimerTrigger());
}

int32_t TSxCustomComPort::NewStatusTrigger(uint16_t kind)
{
    return Check(Dispatcher().NewStatusTrigger(kind));
}

void TSxCustomComPort::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate)
{
    Check(Dispatcher().ArmTimerTrigger(handle, ticks, activate));
}

void TSxCustomComPort::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate)
{
    Check(Dispatcher().ArmStatusTrigger(handle, value, activate));
}

void TSxCustomComPort::DropTrigger(int32_t handle)
{
    if (phase_ == phClosing && dispatcher_) {
        Check(dispatcher_->DropTrigger(handle));
        return;
    }
    Check(Dispatcher().DropTrigger(handle));
}

// ---- Break -------------------------------------------------------------------------------------

void TSxCustomComPort::SetBreak(bool on)
{
    TSxBaseDispatcher* d = DispatcherIfOpen();
    if (!d) {
        if (on) RaiseError(ecCommNotOpen);
        return;
    }
    Check(d->SetBreak(on));
}

} // namespace sx
