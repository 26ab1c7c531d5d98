// The port component's life: the process-wide hooks, construction and destruction, the release of a
// dispatcher whose threads are still delivering, loading, the open/close listeners and Assign.
// Opening and closing are in SxComPortOpen.cpp, trigger events in SxComPortEvents.cpp, the properties
// in SxComPortProperties.cpp, the I/O in SxComPortIO.cpp, trace and log files in SxComPortTrace.cpp.

#include "serial/port/SxComPort.h"

#include "platform/ComMap.h"
#include "platform/GuiHandoff.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

namespace sx {

namespace {

plat::IGuiHandoff* defaultGui = nullptr;
std::function<void(const std::exception&)> exceptionHandler;

} // namespace

// ---- Process-wide hooks ------------------------------------------------------------------------

void TSxCustomComPort::SetDefaultGuiHandoff(plat::IGuiHandoff* gui)
{
    defaultGui = gui;
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

} // namespace sx
