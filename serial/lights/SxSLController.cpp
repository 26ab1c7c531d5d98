#include "serial/lights/SxSLController.h"

#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <array>
#include <exception>

namespace sx {

namespace {

// Modem-status trigger mask bits, by light.
constexpr uint16_t MaskCTS = msCTS;
constexpr uint16_t MaskDSR = msDSR;
constexpr uint16_t MaskDCD = msDCD;
// The ring change bit. A modem-status trigger compares lines only, so the RI line goes into the
// mask with it: the trigger fires when RI changes, and the handler looks at the change bit.
constexpr uint16_t MaskRING = msRingChange | msRI;

// Line-error trigger conditions.
constexpr uint16_t ErrorCondition = 1 | 2 | 4; // overrun, parity, framing
constexpr uint16_t BreakCondition = 8;

// The lights of a set in a fixed order, for walking over them.
std::array<ISxLight*, 8> Members(const TLightSet& s) {
    return {s.CTSLight, s.DSRLight, s.DCDLight,   s.RINGLight,
            s.TXDLight, s.RXDLight, s.ERRORLight, s.BREAKLight};
}

bool Contains(const TLightSet& s, const ISxLight* light) {
    const auto all = Members(s);
    return std::find(all.begin(), all.end(), light) != all.end();
}

void Light(ISxLight* light, bool lit) {
    if (light) light->SetLit(lit);
}

} // namespace

// The handlers the controller puts on the port share a link with it: the controller while it
// monitors through them, and the handlers the port had before, which each one calls after the
// controller's own part with the same arguments (so the form's handlers keep running, also when
// the controller's part fails). A link whose controller has stopped only passes calls on: it stays
// in place when another handler was put in front of it since, and keeps that chain whole.
struct TSxCustomSLController::Link {
    TSxCustomSLController* Controller = nullptr;
    TTriggerAvailEvent Avail;
    TTriggerHandleEvent Status, Timer;
};

namespace {

// Runs the controller's part (when the link has a controller), then the earlier handler; the
// first failure is raised at the end. The caller holds the link: the port may drop the handler
// that runs this while it runs (a form handler that closes the port stops the monitoring).
template <typename Own, typename Event, typename Arg>
void RunChained(bool hasOwn, const Own& own, const Event& earlier, TSxCustomComPort& port, Arg arg) {
    std::exception_ptr failure;
    if (hasOwn) {
        try {
            own();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (earlier) {
        const Event next = earlier; // the link may let go of it while it runs
        next(port, arg);
    }
    if (failure) std::rethrow_exception(failure);
}

} // namespace

struct TSxCustomSLController::AvailHook {
    std::shared_ptr<Link> L;
    void operator()(TSxCustomComPort& port, uint16_t count) const {
        const std::shared_ptr<Link> link = L;
        TSxCustomSLController* c = link->Controller;
        RunChained(
            c != nullptr, [&] { c->TriggerAvail(port, count); }, link->Avail, port, count);
    }
};
struct TSxCustomSLController::StatusHook {
    std::shared_ptr<Link> L;
    void operator()(TSxCustomComPort& port, uint16_t handle) const {
        const std::shared_ptr<Link> link = L;
        TSxCustomSLController* c = link->Controller;
        RunChained(
            c != nullptr, [&] { c->TriggerStatus(port, handle); }, link->Status, port, handle);
    }
};
struct TSxCustomSLController::TimerHook {
    std::shared_ptr<Link> L;
    void operator()(TSxCustomComPort& port, uint16_t handle) const {
        const std::shared_ptr<Link> link = L;
        TSxCustomSLController* c = link->Controller;
        RunChained(
            c != nullptr, [&] { c->TriggerTimer(port, handle); }, link->Timer, port, handle);
    }
};

// ---- Life --------------------------------------------------------------------------------------

TSxCustomSLController::TSxCustomSLController(TSxCustomComPort* comPort) {
    SetComPort(comPort);
}

TSxCustomSLController::~TSxCustomSLController() {
    try {
        if (watching_) {
            StopMonitoring();
            Refresh(); // nobody switches the lights any more: they go out
        }
    } catch (const std::exception& e) {
        TSxCustomComPort::ShowException(e);
    }
    Detach();
    for (ISxLight* light : Members(lights_))
        if (light) light->RemoveFreeListener(this);
    lights_ = TLightSet{};
}

void TSxCustomSLController::Loaded() {
    loading_ = false;
    Attach();
}

// ---- Port --------------------------------------------------------------------------------------

void TSxCustomSLController::SetComPort(TSxCustomComPort* port) {
    if (port == comPort_) return;
    if (watching_) {
        StopMonitoring(); // the old port gets its handlers back
        wanted_ = true;
    }
    Detach();
    comPort_ = port;
    Attach();
    if (wanted_ && !loading_ && comPort_ && comPort_->Open()) StartMonitoring();
    Refresh(); // the lights show the new port, or nothing
}

void TSxCustomSLController::Attach() {
    if (!comPort_ || attached_) return;
    comPort_->AddFreeListener(this);
    if (loading_) return;
    comPort_->AddOpenCloseListener(&listener_);
    attached_ = true;
}

void TSxCustomSLController::Detach() {
    if (!comPort_) return;
    comPort_->RemoveFreeListener(this);
    if (attached_) comPort_->RemoveOpenCloseListener(&listener_);
    attached_ = false;
}

void TSxCustomSLController::PortOpenClose(bool opening) {
    if (!opening) {
        // Remember that monitoring was on, so that the next opening resumes it.
        if (!watching_) return;
        wanted_ = true;
        StopMonitoring();
        Refresh();
        return;
    }
    if (!wanted_ || watching_) return;
    // A failing start must not make the opening fail: it is shown, and the port opens unwatched.
    try {
        StartMonitoring();
        Refresh();
    } catch (const std::exception& e) {
        TSxCustomComPort::ShowException(e);
    }
}

void TSxCustomSLController::FreeNotification(TSxFreeNotifier& freed) {
    if (comPort_ && &freed == static_cast<TSxFreeNotifier*>(comPort_)) {
        try {
            if (watching_) StopMonitoring();
        } catch (const std::exception& e) {
            TSxCustomComPort::ShowException(e);
        }
        wanted_ = false;
        Detach();
        comPort_ = nullptr;
        Refresh();
        return;
    }
    // A light: monitoring goes on without it. Its triggers stay; the handlers skip a missing light.
    for (ISxLight** slot : {&lights_.CTSLight, &lights_.DSRLight, &lights_.DCDLight, &lights_.RINGLight,
                            &lights_.TXDLight, &lights_.RXDLight, &lights_.ERRORLight, &lights_.BREAKLight})
        if (*slot && &freed == static_cast<TSxFreeNotifier*>(*slot)) *slot = nullptr;
}

// ---- Lights ------------------------------------------------------------------------------------

void TSxCustomSLController::SetLights(const TLightSet& lights) {
    if (lights == lights_) return;
    const bool restart = watching_;
    if (restart) StopMonitoring();
    for (ISxLight* light : Members(lights))
        if (light) light->AddFreeListener(this);
    const TLightSet old = lights_;
    lights_ = lights;
    for (ISxLight* light : Members(old))
        if (light && !Contains(lights_, light)) {
            light->SetLit(false); // no longer switched by this controller: it must not stay lit
            light->RemoveFreeListener(this);
        }
    if (restart) {
        // The triggers follow the new set: a light that had none gets its own.
        try {
            StartMonitoring();
        } catch (...) {
            Refresh();
            throw;
        }
    }
    Refresh();
}

void TSxCustomSLController::ChangeLight(ISxLight* TLightSet::*slot, ISxLight* light) {
    TLightSet lights = lights_;
    lights.*slot = light;
    SetLights(lights);
}

void TSxCustomSLController::SetCTSLight(ISxLight* light) {
    ChangeLight(&TLightSet::CTSLight, light);
}
void TSxCustomSLController::SetDSRLight(ISxLight* light) {
    ChangeLight(&TLightSet::DSRLight, light);
}
void TSxCustomSLController::SetDCDLight(ISxLight* light) {
    ChangeLight(&TLightSet::DCDLight, light);
}
void TSxCustomSLController::SetRINGLight(ISxLight* light) {
    ChangeLight(&TLightSet::RINGLight, light);
}
void TSxCustomSLController::SetTXDLight(ISxLight* light) {
    ChangeLight(&TLightSet::TXDLight, light);
}
void TSxCustomSLController::SetRXDLight(ISxLight* light) {
    ChangeLight(&TLightSet::RXDLight, light);
}
void TSxCustomSLController::SetERRORLight(ISxLight* light) {
    ChangeLight(&TLightSet::ERRORLight, light);
}
void TSxCustomSLController::SetBREAKLight(ISxLight* light) {
    ChangeLight(&TLightSet::BREAKLight, light);
}

// ---- Monitoring --------------------------------------------------------------------------------

void TSxCustomSLController::SetWatching(bool on) {
    if (loading_) return;
    if (on == watching_ && on == wanted_) return;
    if (!comPort_) {
        wanted_ = false;
        if (on) RaiseError(ecPortNotAssigned);
        return;
    }
    wanted_ = on;
    if (on == watching_) return;
    // On a closed port only the wish counts: monitoring starts when it opens.
    if (!comPort_->Open()) return;
    if (on) {
        try {
            StartMonitoring();
        } catch (...) {
            wanted_ = false; // the call failed: no wish is left behind for the next opening
            throw;
        }
    } else {
        StopMonitoring();
    }
    Refresh();
}

void TSxCustomSLController::StartMonitoring() {
    TSxCustomComPort& port = *comPort_;
    link_ = std::make_shared<Link>();
    link_->Controller = this;
    link_->Avail = port.OnTriggerAvail();
    link_->Status = port.OnTriggerStatus();
    link_->Timer = port.OnTriggerTimer();
    port.SetOnTriggerAvail(AvailHook{link_});
    port.SetOnTriggerStatus(StatusHook{link_});
    port.SetOnTriggerTimer(TimerHook{link_});
    try {
        const TLightSet& l = lights_;
        if (l.CTSLight || l.DSRLight || l.DCDLight || l.RINGLight) {
            modemTrigger_ = port.NewStatusTrigger(stModem);
            if (l.RINGLight) ringTimer_ = port.NewTimerTrigger();
        }
        if (l.ERRORLight) {
            errorTrigger_ = port.NewStatusTrigger(stLine);
            errorTimer_ = port.NewTimerTrigger();
        }
        if (l.BREAKLight) {
            breakTrigger_ = port.NewStatusTrigger(stLine);
            breakTimer_ = port.NewTimerTrigger();
        }
        if (l.RXDLight) rxdTimer_ = port.NewTimerTrigger();
        if (l.TXDLight) {
            txdTrigger_ = port.NewStatusTrigger(stOutSent);
            txdTimer_ = port.NewTimerTrigger();
        }
        modemMask_ = static_cast<uint16_t>((l.CTSLight ? MaskCTS : 0) | (l.DSRLight ? MaskDSR : 0) |
                                           (l.DCDLight ? MaskDCD : 0) | (l.RINGLight ? MaskRING : 0));
        if (modemTrigger_) port.ArmStatusTrigger(modemTrigger_, modemMask_, true);
        if (errorTrigger_) port.ArmStatusTrigger(errorTrigger_, ErrorCondition, true);
        if (breakTrigger_) port.ArmStatusTrigger(breakTrigger_, BreakCondition, true);
        if (txdTrigger_) port.ArmStatusTrigger(txdTrigger_, 0, true);
    } catch (...) {
        DropTriggers();
        RestoreHandlers();
        throw;
    }
    watching_ = true;
}

void TSxCustomSLController::StopMonitoring() {
    watching_ = false;
    RestoreHandlers();
    DropTriggers();
}

void TSxCustomSLController::RestoreHandlers() {
    if (!link_) return;
    link_->Controller = nullptr;
    TSxCustomComPort& port = *comPort_;
    // Where the controller's handler is still in front, the earlier one takes its place again;
    // where another was put in front since, the link stays and passes calls on.
    auto availHook = port.OnTriggerAvail().target<AvailHook>();
    auto statusHook = port.OnTriggerStatus().target<StatusHook>();
    auto timerHook = port.OnTriggerTimer().target<TimerHook>();
    const std::shared_ptr<Link> link = std::move(link_);
    if (availHook && availHook->L == link) port.SetOnTriggerAvail(link->Avail);
    if (statusHook && statusHook->L == link) port.SetOnTriggerStatus(link->Status);
    if (timerHook && timerHook->L == link) port.SetOnTriggerTimer(link->Timer);
}

void TSxCustomSLController::DropTriggers() {
    // Every handle is dropped even when one of them fails (the port may be going away).
    for (int32_t* handle : {&modemTrigger_, &errorTrigger_, &breakTrigger_, &txdTrigger_, &errorTimer_,
                            &breakTimer_, &rxdTimer_, &txdTimer_, &ringTimer_}) {
        if (*handle == 0) continue;
        try {
            if (comPort_ && comPort_->PortPhase() != phClosed) comPort_->DropTrigger(*handle);
        } catch (const ESxException&) {
            // A trigger the port no longer has needs no dropping.
        }
        *handle = 0;
    }
    modemMask_ = 0;
}

void TSxCustomSLController::Refresh() {
    for (ISxLight* light : Members(lights_))
        Light(light, false);
    if (!watching_ || !comPort_) return;
    if (lights_.CTSLight) lights_.CTSLight->SetLit(comPort_->CTS());
    if (lights_.DSRLight) lights_.DSRLight->SetLit(comPort_->DSR());
    if (lights_.DCDLight) lights_.DCDLight->SetLit(comPort_->DCD());
}

// ---- Handlers ----------------------------------------------------------------------------------

// The triggers' handles are never 0, so a handle of 0 (none made) matches nothing below.

void TSxCustomSLController::TriggerAvail(TSxCustomComPort& port, uint16_t) {
    if (lights_.RXDLight && !lights_.RXDLight->Lit() && rxdTimer_) {
        lights_.RXDLight->SetLit(true);
        port.ArmTimerTrigger(rxdTimer_, rxdOffTimeout_, true);
    }
}

void TSxCustomSLController::TriggerStatus(TSxCustomComPort& port, uint16_t handle) {
    const int32_t h = handle;
    if (h == modemTrigger_) {
        if (lights_.DCDLight) lights_.DCDLight->SetLit(port.DCD());
        if (lights_.CTSLight) lights_.CTSLight->SetLit(port.CTS());
        if (lights_.DSRLight) lights_.DSRLight->SetLit(port.DSR());
        if (lights_.RINGLight && port.Ring() && !lights_.RINGLight->Lit() && ringTimer_) {
            lights_.RINGLight->SetLit(true);
            port.ArmTimerTrigger(ringTimer_, ringOffTimeout_, true);
        }
        // Arming takes the present line states as the new reference.
        port.ArmStatusTrigger(modemTrigger_, modemMask_, true);
    } else if (h == errorTrigger_) {
        Light(lights_.ERRORLight, true);
        port.ArmTimerTrigger(errorTimer_, errorOffTimeout_, true);
        port.LineError(); // taking it clears it
    } else if (h == breakTrigger_) {
        Light(lights_.BREAKLight, true);
        port.ArmTimerTrigger(breakTimer_, breakOffTimeout_, true);
        port.LineBreak();
    } else if (h == txdTrigger_) {
        Light(lights_.TXDLight, true);
        port.ArmTimerTrigger(txdTimer_, txdOffTimeout_, true);
    }
}

void TSxCustomSLController::TriggerTimer(TSxCustomComPort& port, uint16_t handle) {
    const int32_t h = handle;
    if (h == errorTimer_) {
        Light(lights_.ERRORLight, false);
        port.ArmStatusTrigger(errorTrigger_, ErrorCondition, true);
    } else if (h == breakTimer_) {
        Light(lights_.BREAKLight, false);
        port.ArmStatusTrigger(breakTrigger_, BreakCondition, true);
    } else if (h == rxdTimer_) {
        if (port.InputUsed() > 0)
            port.ArmTimerTrigger(rxdTimer_, rxdOffTimeout_, true);
        else
            Light(lights_.RXDLight, false);
    } else if (h == txdTimer_) {
        if (port.OutputUsed() > 0) {
            port.ArmTimerTrigger(txdTimer_, txdOffTimeout_, true);
        } else {
            Light(lights_.TXDLight, false);
            port.ArmStatusTrigger(txdTrigger_, 0, true);
        }
    } else if (h == ringTimer_) {
        Light(lights_.RINGLight, false);
    }
}

} // namespace sx
