#include "serial/port/SxComPort.h"

#include "platform/Clock.h"
#include "platform/ComMap.h"
#include "platform/GuiHandoff.h"
#include "serial/device/SxDevices.h"
#include "serial/errors/SxStringResource.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

namespace sx {

namespace {

plat::IGuiHandoff* defaultGui = nullptr;
std::function<bool(int&)> portPrompt;
std::function<void(const std::exception&)> exceptionHandler;

constexpr int32_t MaxTraceSize = 4000000;
constexpr int32_t MaxLogSize = 16000000;

// The system's "access denied" means the port is held elsewhere; "file/path not found" that it
// does not exist.
int MapOpenResult(int rc)
{
    if (rc == -5) return ecAlreadyOpen;
    if (rc == -2 || rc == -3) return ecBadId;
    return rc;
}

// A text of the dispatcher log vocabulary.
std::string Word(int id)
{
    return SxErrorStrings().GetString(id);
}

int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// ---- Process-wide hooks ------------------------------------------------------------------------

void TSxCustomComPort::SetDefaultGuiHandoff(plat::IGuiHandoff* gui)
{
    defaultGui = gui;
}

void TSxCustomComPort::SetPortPrompt(std::function<bool(int&)> prompt)
{
    portPrompt = std::move(prompt);
}

void TSxCustomComPort::SetExceptionHandler(std::function<void(const std::exception&)> handler)
{
    exceptionHandler = std::move(handler);
}

void TSxCustomComPort::ShowException(const std::exception& e)
{
    if (exceptionHandler) exceptionHandler(e);
    else std::cerr << e.what() << std::endl;
}

// ---- Life --------------------------------------------------------------------------------------

TSxCustomComPort::TSxCustomComPort(plat::IGuiHandoff* gui, plat::IClock* clock)
    : gui_(gui ? gui : defaultGui), clock_(clock)
{
}

TSxCustomComPort::~TSxCustomComPort()
{
    NotifyFree();
    *alive_ = false;
    try {
        if (phase_ == phOpen) DoClose();
    } catch (const std::exception& e) {
        ShowException(e);
    }
    window_->Port = nullptr;
    if (dispatcher_ && dispatcher_->ThreadsRunning()) {
        // A delivery to this port is still on its way to the GUI thread, which is this thread:
        // waiting here would only wait for its time-out. The GUI thread frees the dispatcher later.
        dispatcher_->SetOnDeviceLost({});
        ReleaseLater(std::move(dispatcher_));
    }
    FreeDispatcher();
}

namespace {
std::atomic<int> pendingReleases{0};
}

int TSxCustomComPort::PendingReleases()
{
    return pendingReleases.load();
}

void TSxCustomComPort::ReleaseLater(std::unique_ptr<TSxBaseDispatcher> d)
{
    if (!gui_) {
        // No GUI thread to deliver to: nothing can hold the threads up for long.
        for (int i = 0; d->ThreadsRunning() && i < 5000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    ++pendingReleases;
    struct Release {
        std::shared_ptr<TSxBaseDispatcher> Dispatcher;
        std::shared_ptr<Window> Win;
        plat::IGuiHandoff* Gui;
        void operator()() const
        {
            if (Dispatcher->ThreadsRunning()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                Gui->PostToGuiThread(*this);
                return;
            }
            Dispatcher->RemoveWindowHandler(Win.get());
            --pendingReleases;
        }
    };
    gui_->PostToGuiThread(Release{std::shared_ptr<TSxBaseDispatcher>(std::move(d)), window_, gui_});
}

void TSxCustomComPort::Loaded()
{
    loading_ = false;
    if (!open_) return;
    open_ = false;
    try {
        SetOpen(true);
    } catch (const std::exception& e) {
        open_ = false;
        ShowException(e);
    }
}

std::string TSxCustomComPort::DeviceName() const
{
    return plat::ComDevice(comNumber_);
}

// ---- Open and close ----------------------------------------------------------------------------

void TSxCustomComPort::SetOpen(bool v)
{
    // A close asked for while an open waits for the shutdown to finish cancels that open.
    if (!v && phase_ == phClosing) openRequestedWhileClosing_ = false;
    if (v == open_ && !(v && phase_ == phClosing)) return;
    if (loading_) {
        open_ = v;
        return;
    }
    if (!v) {
        DoClose();
        return;
    }
    if (phase_ == phClosing) {
        openRequestedWhileClosing_ = true;
        return;
    }
    DoOpen();
}

void TSxCustomComPort::DoOpen()
{
    if (tapiMode_ != tmOn && comNumber_ == 0) {
        if (!promptForPort_) RaiseError(ecNoPortSelected);
        int chosen = 0;
        if (!portPrompt || !portPrompt(chosen) || chosen <= 0 || chosen > 0xFFFF) RaiseError(ecNoPortSelected);
        comNumber_ = static_cast<uint16_t>(chosen);
    }

    // A dispatcher left over from a close that finished without a GUI thread.
    if (dispatcher_) {
        if (dispatcher_->ThreadsRunning()) ReleaseLater(std::move(dispatcher_));
        FreeDispatcher();
    }

    std::unique_ptr<TSxBaseDispatcher> d;
    if (factory_) d = factory_(*this);
    else if (deviceLayer_ == dlWin32) d = std::make_unique<TSxBaseDispatcher>(this, gui_, clock_);
    if (!d) RaiseError(ecNullApi);

    bool deviceOpen = false;
    try {
        // No telephony on this platform: a port in telephony mode never has a device handle.
        if (tapiMode_ == tmOn) RaiseError(ecNotOpenedByTapi);
        const int rc = MapOpenResult(d->Open(DeviceName(), baud_, static_cast<uint8_t>(parity_),
                                             static_cast<uint8_t>(dataBits_), static_cast<uint8_t>(stopBits_),
                                             inSize_, outSize_, dtr_, rts_));
        // The system's text names the reason; the device names what may not be opened.
        if (rc == ecNoPermission) throw ENoPermission(rc, ErrorMsg(rc) + ": " + DeviceName());
        // A port on the network says why it could not connect (refused, unknown host, no answer).
        if (const std::string why = d->FailedOpenNote(); rc == ecBadId && !why.empty()) throw EBadId(rc, why);
        if (rc != 0) RaiseError(rc < 0 ? rc : ecDefault);
        deviceOpen = true;
        dispatcher_ = std::move(d);
        phase_ = phOpen;
        dispatcher_->NotePortHandlers(AnyTriggerEvent() ? 1 : 2);

        // Everything again, unchanged values too: the new device knows nothing yet.
        ApplyHWFlow();
        ApplySWFlow();
        Check(dispatcher_->SetAvailLevel(availLevel_));
        if (deviceLayer_ != dlFossil) {
            // 1 (the line is under flow control) leaves it to the flow control.
            Check(dispatcher_->SetDTR(dtr_));
            Check(dispatcher_->SetRTS(rts_));
        }
        Check(dispatcher_->SetRS485Mode(rs485Mode_));
        Check(dispatcher_->RaiseThreadPriority(priorityBoost_));

        open_ = true;
        Check(dispatcher_->AddWindowHandler(window_.get()));
        // What a handler raises on the dispatch thread (the modem engine's) is shown like any
        // other uncaught failure instead of vanishing. It arrives on the GUI thread.
        dispatcher_->SetOnException([](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                ShowException(e);
            } catch (...) {
                ShowException(ESxException("Serx exception"));
            }
        });
        if (gui_) {
            std::weak_ptr<bool> alive = alive_;
            TSxBaseDispatcher* self = dispatcher_.get();
            dispatcher_->SetOnDeviceLost([this, alive, self] {
                // Not from inside the dispatcher's own call: closing frees it.
                gui_->PostToGuiThread([this, alive, self] {
                    auto a = alive.lock();
                    if (!a || !*a || dispatcher_.get() != self || phase_ != phOpen) return;
                    try {
                        SetOpen(false);
                    } catch (const std::exception& e) {
                        ShowException(e);
                    }
                });
            });
        }
        if (savedTriggers_.Valid) {
            dispatcher_->RestoreTriggers(savedTriggers_);
            savedTriggers_ = TSxSavedTriggers{};
        }
        LogLine(Word(15004), Word(15112), comNumber_, static_cast<uint32_t>(baud_));
        openNote_ = dispatcher_->DeviceNote();
        if (!openNote_.empty()) LogText(Word(15004), Word(15112), openNote_);
        NotifyListeners(true);
        if (onPortOpen_) onPortOpen_(*this);
    } catch (...) {
        open_ = false;
        phase_ = phClosed;
        if (!d) d = std::move(dispatcher_);
        if (d && deviceOpen) {
            d->RemoveWindowHandler(window_.get());
            d->SetOnDeviceLost({});
            d->Close();
            if (d->ThreadsRunning()) ReleaseLater(std::move(d));
        }
        d.reset();
        throw;
    }
}

void TSxCustomComPort::DoClose()
{
    open_ = false;
    if (phase_ != phOpen) return;

    // Whatever raises on the way (a trace file that cannot be written, a listener) must not leave
    // the port half closed: the close goes on and the first failure is raised at its end.
    std::exception_ptr failure;
    auto attempt = [&](const std::function<void()>& step) {
        try {
            step();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    };
    if (trace_.State == tlOn || trace_.State == tlPause) attempt([&] { ApplyTraceLog(true, tlDump); });
    if (log_.State == tlOn || log_.State == tlPause) {
        LogLine(Word(15004), Word(15113), comNumber_, 0);
        attempt([&] { ApplyTraceLog(false, tlDump); });
    }

    phase_ = phClosing;
    attempt([&] { NotifyListeners(false); });
    attempt([&] {
        if (onPortClose_) onPortClose_(*this);
    });

    dispatcher_->SaveTriggers(savedTriggers_);
    dispatcher_->Close();
    if (dispatcher_->ThreadsRunning()) {
        // A trigger is being delivered: the dispatch thread finishes the close when it returns.
        PostCloseCompletion();
    } else {
        FreeDispatcher();
        phase_ = phClosed;
    }
    if (failure) std::rethrow_exception(failure);
}

void TSxCustomComPort::PostCloseCompletion()
{
    if (!gui_) {
        // Without a GUI thread the completion cannot be posted: the port counts as closed and the
        // dispatcher is freed once its threads are gone (at the next open, or at destruction).
        phase_ = phClosed;
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    gui_->PostToGuiThread([this, alive] {
        auto a = alive.lock();
        if (a && *a) CompleteClose();
    });
}

void TSxCustomComPort::CompleteClose()
{
    if (phase_ != phClosing) return;
    if (dispatcher_ && dispatcher_->ThreadsRunning()) {
        // The dispatch thread is still leaving its delivery: look again shortly, without spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PostCloseCompletion();
        return;
    }
    FreeDispatcher();
    phase_ = phClosed;
    if (openRequestedWhileClosing_) {
        openRequestedWhileClosing_ = false;
        try {
            DoOpen();
        } catch (const std::exception& e) {
            ShowException(e);
        }
    }
}

void TSxCustomComPort::FreeDispatcher()
{
    if (!dispatcher_) return;
    dispatcher_->RemoveWindowHandler(window_.get());
    dispatcher_->SetOnDeviceLost({});
    dispatcher_.reset();
}

void TSxCustomComPort::NotifyListeners(bool opening)
{
    // A copy: a listener may remove itself.
    const std::vector<Listener> listeners = listeners_;
    for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
        if (it->Window) it->Window->HandleMessage(opening ? smPortOpen : smPortClose, comNumber_, 0);
        else if (it->Procedure) it->Procedure(*this, opening, it->UserData);
    }
}

TSxBaseDispatcher& TSxCustomComPort::Dispatcher()
{
    if (!dispatcher_ && !loading_ && phase_ != phOpen && autoOpen_) SetOpen(true);
    if (phase_ == phClosed && dispatcher_ && !dispatcher_->ThreadsRunning()) FreeDispatcher();
    if (!dispatcher_ || phase_ != phOpen) RaiseError(ecCommNotOpen);
    return *dispatcher_;
}

TSxBaseDispatcher* TSxCustomComPort::DispatcherIfOpen() const
{
    return phase_ == phOpen ? dispatcher_.get() : nullptr;
}

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

// ---- Listeners and Assign ----------------------------------------------------------------------

void TSxCustomComPort::AddOpenCloseListener(ISxWindow* window)
{
    if (window) listeners_.push_back({window, nullptr, nullptr});
}

void TSxCustomComPort::AddOpenCloseListener(TPortCallback procedure, void* userData)
{
    if (procedure) listeners_.push_back({nullptr, procedure, userData});
}

void TSxCustomComPort::RemoveOpenCloseListener(ISxWindow* window)
{
    std::erase_if(listeners_, [&](const Listener& l) { return l.Window == window; });
}

void TSxCustomComPort::RemoveOpenCloseListener(TPortCallback procedure)
{
    std::erase_if(listeners_, [&](const Listener& l) { return l.Procedure == procedure; });
}

void TSxCustomComPort::Assign(const TSxCustomComPort& other)
{
    if (&other == this) return;
    SetDeviceLayer(other.deviceLayer_);
    promptForPort_ = other.promptForPort_;
    parity_ = other.parity_;
    dataBits_ = other.dataBits_;
    stopBits_ = other.stopBits_;
    SetBaud(other.baud_); // passes all four line settings when open
    inSize_ = other.inSize_;
    outSize_ = other.outSize_;
    autoOpen_ = other.autoOpen_;
    xonChar_ = other.xonChar_;
    xoffChar_ = other.xoffChar_;
    bufferFull_ = other.bufferFull_;
    bufferResume_ = other.bufferResume_;
    rs485Mode_ = other.rs485Mode_;
    hwFlow_ = other.hwFlow_;
    ApplyHWFlow();
    SetSWFlowOptions(other.swFlow_);
    SetDTR(other.dtr_);
    SetRTS(other.rts_);
    SetTracing(other.tracing_);
    SetLogging(other.logging_);
    traceSize_ = other.traceSize_;
    logSize_ = other.logSize_;
    traceName_ = other.traceName_;
    logName_ = other.logName_;
    traceHex_ = other.traceHex_;
    logHex_ = other.logHex_;
    useMSRShadow_ = other.useMSRShadow_;
    useEventWord_ = other.useEventWord_;
    commNotificationLevel_ = other.commNotificationLevel_;
    tapiMode_ = other.tapiMode_;
    SetAvailLevel(other.availLevel_);
    SetPriorityBoost(other.priorityBoost_);
    factory_ = other.factory_;
    listeners_ = other.listeners_;

    onTrigger_ = other.onTrigger_;
    onTriggerAvail_ = other.onTriggerAvail_;
    onTriggerData_ = other.onTriggerData_;
    onTriggerStatus_ = other.onTriggerStatus_;
    onTriggerTimer_ = other.onTriggerTimer_;
    onTriggerModemStatus_ = other.onTriggerModemStatus_;
    onTriggerLineError_ = other.onTriggerLineError_;
    onTriggerOutbuffFree_ = other.onTriggerOutbuffFree_;
    onTriggerOutbuffUsed_ = other.onTriggerOutbuffUsed_;
    onTriggerOutSent_ = other.onTriggerOutSent_;
    onWaitChar_ = other.onWaitChar_;
    TriggerEventsChanged();

    if (TSxBaseDispatcher* theirs = other.DispatcherIfOpen()) {
        TSxSavedTriggers saved;
        theirs->SaveTriggers(saved);
        if (TSxBaseDispatcher* mine = DispatcherIfOpen()) mine->RestoreTriggers(saved);
        else savedTriggers_ = saved;
    }
    // The COM number last: on an open port it moves the port.
    SetComNumber(other.comNumber_);
}

// ---- Tracing and logging -----------------------------------------------------------------------
//
// The trace keeps the bytes passed through PutChar/PutString ("Transmit: ") and GetChar
// ("Receive: "), one line per run of one direction, at most TraceSize bytes. The log keeps one
// line per port event (open, close, line settings, each trigger delivered) under the column
// header of the dispatcher log, at most LogSize bytes. Both are written to TraceName/LogName on
// tlDump (replacing the file) or tlAppend (adding to it), and on close when they were on.

void TSxCustomComPort::SetTracing(TTraceLogState v)
{
    ApplyTraceLog(true, v);
}

void TSxCustomComPort::SetLogging(TTraceLogState v)
{
    ApplyTraceLog(false, v);
}

void TSxCustomComPort::ApplyTraceLog(bool trace, TTraceLogState v)
{
    std::unique_lock<std::mutex> lock(recordLock_);
    Recorder& r = trace ? trace_ : log_;
    TTraceLogState& prop = trace ? tracing_ : logging_;
    switch (v) {
    case tlOff:
        r.Lines.clear();
        r.Bytes = 0;
        r.Pending.clear();
        r.State = tlOff;
        break;
    case tlOn:
        if (r.State == tlOff) {
            r.Lines.clear();
            r.Bytes = 0;
            r.Pending.clear();
            if (!trace) logStartMs_ = clock_ ? clock_->NowMs() : SteadyMs();
        }
        r.State = tlOn;
        break;
    case tlClear:
        r.Lines.clear();
        r.Bytes = 0;
        r.Pending.clear();
        break;
    case tlPause:
        if (r.State != tlOff) r.State = tlPause;
        break;
    case tlDump:
    case tlAppend: {
        const std::string name = trace ? traceName_ : logName_;
        if (trace && !r.Pending.empty()) {
            r.Lines.push_back(r.Pending);
            r.Bytes += r.Pending.size();
            r.Pending.clear();
        }
        std::deque<std::string> lines;
        lines.swap(r.Lines);
        r.Bytes = 0;
        r.State = tlOff;
        prop = tlOff;
        NoteRecorderStates();
        lock.unlock();
        std::ofstream f(name, std::ios::binary | (v == tlAppend ? std::ios::app : std::ios::trunc));
        if (!trace) {
            f << Word(15501) << "\n" << Word(15502) << "\n";
        }
        for (const std::string& l : lines) f << l << "\n";
        f.flush();
        if (!f) {
            ESxException e(std::string("Cannot write ") + name);
            throw e;
        }
        return;
    }
    }
    prop = r.State;
    NoteRecorderStates();
}

void TSxCustomComPort::NoteRecorderStates()
{
    traceOn_.store(trace_.State == tlOn, std::memory_order_release);
    logOn_.store(log_.State == tlOn, std::memory_order_release);
}

void TSxCustomComPort::AddRecorderLine(Recorder& r, std::string line, size_t cap)
{
    r.Bytes += line.size();
    r.Lines.push_back(std::move(line));
    while (r.Bytes > cap && !r.Lines.empty()) {
        r.Bytes -= r.Lines.front().size();
        r.Lines.pop_front();
    }
}

void TSxCustomComPort::TraceBytes(char kind, const uint8_t* data, size_t n)
{
    if (!traceOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (trace_.State != tlOn) return;
    for (size_t i = 0; i < n; ++i) {
        if (trace_.Pending.empty() || trace_.PendingKind != kind || trace_.Pending.size() >= 80) {
            if (!trace_.Pending.empty()) AddRecorderLine(trace_, std::move(trace_.Pending), static_cast<size_t>(traceSize_));
            trace_.Pending = kind == 'T' ? "Transmit: " : "Receive: ";
            trace_.PendingKind = kind;
        }
        const uint8_t c = data[i];
        if (traceHex_ && (c < 0x20 || c >= 0x7F)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "[%02X]", c);
            trace_.Pending += hex;
        } else {
            trace_.Pending += static_cast<char>(c);
        }
    }
}

void TSxCustomComPort::LogLine(const std::string& type, const std::string& subType, uint32_t data, uint32_t other)
{
    if (!logOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (log_.State != tlOn) return;
    const int64_t ms = (clock_ ? clock_->NowMs() : SteadyMs()) - logStartMs_;
    char line[128];
    if (logHex_)
        std::snprintf(line, sizeof line, "%8.2f  %-8.8s  %-12.12s  %08X  %08X", static_cast<double>(ms) / 1000.0,
                      type.c_str(), subType.c_str(), data, other);
    else
        std::snprintf(line, sizeof line, "%8.2f  %-8.8s  %-12.12s  %8u  %u", static_cast<double>(ms) / 1000.0,
                      type.c_str(), subType.c_str(), data, other);
    AddRecorderLine(log_, line, static_cast<size_t>(logSize_));
}

void TSxCustomComPort::LogText(const std::string& type, const std::string& subType, const std::string& text)
{
    if (!logOn_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(recordLock_);
    if (log_.State != tlOn) return;
    const int64_t ms = (clock_ ? clock_->NowMs() : SteadyMs()) - logStartMs_;
    char head[64];
    std::snprintf(head, sizeof head, "%8.2f  %-8.8s  %-12.12s  ", static_cast<double>(ms) / 1000.0, type.c_str(),
                  subType.c_str());
    AddRecorderLine(log_, head + text, static_cast<size_t>(logSize_));
}

// ---- Probing -----------------------------------------------------------------------------------

int SxProbePort(int comNumber)
{
    const std::string name = plat::ComDevice(comNumber);
    // A port on a terminal server is listed as it is mapped: probing would mean connecting, which takes
    // seconds on a dead server and can push someone else's session off a busy one.
    if (SxIsNetDevice(name)) return 0;
    std::unique_ptr<ISxDevice> device = SxCreateDevice(name);
    if (!device) return ecBadId;
    const int rc = MapOpenResult(device->Open(name, 4096, 4096));
    if (rc == 0) device->Close();
    return rc;
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
