// Opening and closing the port: the open with everything passed to the new device, the close that
// finishes on the GUI thread once the dispatcher's threads are gone, a reopen asked for meanwhile, and
// the probe of a COM number. Called by the property setters (Open, ComNumber) and by the port
// selection dialog.

#include "serial/port/SxComPort.h"

#include "platform/ComMap.h"
#include "platform/GuiHandoff.h"
#include "serial/device/SxDevices.h"
#include "serial/port/SxComPortPrivate.h"

#include <chrono>
#include <thread>

namespace sx {

using comport::Word;

namespace {

std::function<bool(int&)> portPrompt;

// The system's "access denied" means the port is held elsewhere; "file/path not found" that it
// does not exist.
int MapOpenResult(int rc)
{
    if (rc == -5) return ecAlreadyOpen;
    if (rc == -2 || rc == -3) return ecBadId;
    return rc;
}

} // namespace

// ---- Process-wide hook --------------------------------------------------------------------------

void TSxCustomComPort::SetPortPrompt(std::function<bool(int&)> prompt)
{
    portPrompt = std::move(prompt);
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

} // namespace sx
