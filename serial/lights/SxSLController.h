#pragma once
// The status light controller: watches a port through its triggers and switches up to eight lights.
// The modem input lines CTS, DSR and DCD follow the line state; RING, received data, transmitted
// data, line error and break flash for a set number of ticks (55 ms each).
//
// While monitoring, the controller's handlers take the place of the port's OnTriggerAvail,
// OnTriggerStatus and OnTriggerTimer events; each ends by calling the handler the port had before,
// so the form's own handlers keep running. Everything runs on the GUI thread, inside the port's
// trigger delivery.

#include "serial/lights/SxLight.h"
#include "serial/port/SxComPort.h"

#include <cstdint>
#include <memory>

namespace sx {

// The eight light references; a null one means no light.
struct TLightSet {
    ISxLight* CTSLight = nullptr;
    ISxLight* DSRLight = nullptr;
    ISxLight* DCDLight = nullptr;
    ISxLight* RINGLight = nullptr;
    ISxLight* TXDLight = nullptr;
    ISxLight* RXDLight = nullptr;
    ISxLight* ERRORLight = nullptr;
    ISxLight* BREAKLight = nullptr;
    bool operator==(const TLightSet&) const = default;
};

class TSxCustomSLController : public TSxComponentState, private ISxFreeListener {
public:
    // comPort: the port to watch (may be null and set later).
    explicit TSxCustomSLController(TSxCustomComPort* comPort = nullptr);
    // Switches monitoring off (the port gets its own handlers back) before letting go of the lights.
    ~TSxCustomSLController() override;
    TSxCustomSLController(const TSxCustomSLController&) = delete;
    TSxCustomSLController& operator=(const TSxCustomSLController&) = delete;

    // ---- Loading -----------------------------------------------------------------------------
    // Between BeginLoading and Loaded, SetWatching is ignored; Loaded registers with the port.
    void BeginLoading() { loading_ = true; }
    void Loaded();
    bool IsLoading() const override { return loading_; }

    // ---- Properties --------------------------------------------------------------------------
    // Changing the port stops monitoring the old one; monitoring that was wanted starts on the new
    // one as soon as it is open. Destroying the port clears the reference and stops monitoring.
    TSxCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TSxCustomComPort* port);

    // Any light may be changed at any time; a light that is destroyed is forgotten (monitoring goes
    // on without it). Changing lights while monitoring restarts the monitoring for the new set.
    const TLightSet& Lights() const { return lights_; }
    void SetLights(const TLightSet& lights);
    ISxLight* CTSLight() const { return lights_.CTSLight; }
    ISxLight* DSRLight() const { return lights_.DSRLight; }
    ISxLight* DCDLight() const { return lights_.DCDLight; }
    ISxLight* RINGLight() const { return lights_.RINGLight; }
    ISxLight* TXDLight() const { return lights_.TXDLight; }
    ISxLight* RXDLight() const { return lights_.RXDLight; }
    ISxLight* ERRORLight() const { return lights_.ERRORLight; }
    ISxLight* BREAKLight() const { return lights_.BREAKLight; }
    void SetCTSLight(ISxLight* light);
    void SetDSRLight(ISxLight* light);
    void SetDCDLight(ISxLight* light);
    void SetRINGLight(ISxLight* light);
    void SetTXDLight(ISxLight* light);
    void SetRXDLight(ISxLight* light);
    void SetERRORLight(ISxLight* light);
    void SetBREAKLight(ISxLight* light);

    // How long the flashing lights stay lit, in ticks.
    int32_t ErrorOffTimeout() const { return errorOffTimeout_; }
    void SetErrorOffTimeout(int32_t ticks) { errorOffTimeout_ = ticks; }
    int32_t BreakOffTimeout() const { return breakOffTimeout_; }
    void SetBreakOffTimeout(int32_t ticks) { breakOffTimeout_ = ticks; }
    int32_t RXDOffTimeout() const { return rxdOffTimeout_; }
    void SetRXDOffTimeout(int32_t ticks) { rxdOffTimeout_ = ticks; }
    int32_t TXDOffTimeout() const { return txdOffTimeout_; }
    void SetTXDOffTimeout(int32_t ticks) { txdOffTimeout_ = ticks; }
    int32_t RingOffTimeout() const { return ringOffTimeout_; }
    void SetRingOffTimeout(int32_t ticks) { ringOffTimeout_ = ticks; }

    // ---- Monitoring --------------------------------------------------------------------------
    // Whether the controller is monitoring its port now.
    bool Watching() const { return watching_; }
    // Starts or stops monitoring. Without a port, switching on raises EPortNotAssigned. On a closed
    // port the wish is remembered and monitoring starts when the port opens. Trigger failures
    // propagate after everything the start created is removed again. Ignored while loading.
    void SetWatching(bool on);
    // Whether monitoring is wanted: kept while the port is closed, so that it resumes on opening.
    bool MonitoringWanted() const { return wanted_; }

    // The triggers while monitoring (0: none).
    int32_t ModemTrigger() const { return modemTrigger_; }
    int32_t ErrorTrigger() const { return errorTrigger_; }
    int32_t BreakTrigger() const { return breakTrigger_; }
    int32_t TXDTrigger() const { return txdTrigger_; }
    int32_t ErrorTimer() const { return errorTimer_; }
    int32_t BreakTimer() const { return breakTimer_; }
    int32_t RXDTimer() const { return rxdTimer_; }
    int32_t TXDTimer() const { return txdTimer_; }
    int32_t RingTimer() const { return ringTimer_; }
    // The modem lines the modem-status trigger watches.
    uint16_t ModemMask() const { return modemMask_; }

private:
    struct Link;
    struct AvailHook;
    struct StatusHook;
    struct TimerHook;

    void FreeNotification(TSxFreeNotifier& freed) override;
    void PortOpenClose(bool opening);
    void Attach();
    void Detach();
    void ChangeLight(ISxLight* TLightSet::*slot, ISxLight* light);

    void StartMonitoring();
    void StopMonitoring();
    void DropTriggers();
    void RestoreHandlers();
    void Refresh();

    // The controller's own part of each handler.
    void TriggerAvail(TSxCustomComPort& port, uint16_t count);
    void TriggerStatus(TSxCustomComPort& port, uint16_t handle);
    void TriggerTimer(TSxCustomComPort& port, uint16_t handle);

    bool loading_ = false;
    TSxCustomComPort* comPort_ = nullptr;
    // The port's open/close listener: a window of the controller's own, so that it is removed
    // without touching another component's registration.
    class ListenerWindow : public ISxWindow {
    public:
        explicit ListenerWindow(TSxCustomSLController* c) : Controller(c) {}
        void HandleMessage(uint16_t msg, uint32_t, uint32_t) override {
            if (msg == smPortOpen || msg == smPortClose) Controller->PortOpenClose(msg == smPortOpen);
        }
        TSxCustomSLController* Controller;
    };
    ListenerWindow listener_{this};
    bool attached_ = false; // listener_ is registered with the port
    TLightSet lights_;
    int32_t errorOffTimeout_ = 36;
    int32_t breakOffTimeout_ = 36;
    int32_t rxdOffTimeout_ = 1;
    int32_t txdOffTimeout_ = 1;
    int32_t ringOffTimeout_ = 8;

    bool watching_ = false;
    bool wanted_ = false;
    // Shared with the handlers put on the port while monitoring: the port's earlier handlers.
    std::shared_ptr<Link> link_;
    int32_t modemTrigger_ = 0, errorTrigger_ = 0, breakTrigger_ = 0, txdTrigger_ = 0;
    int32_t errorTimer_ = 0, breakTimer_ = 0, rxdTimer_ = 0, txdTimer_ = 0, ringTimer_ = 0;
    uint16_t modemMask_ = 0;
};

// The controller as placed on a form: all of TSxCustomSLController.
class TSxSLController : public TSxCustomSLController {
public:
    using TSxCustomSLController::TSxCustomSLController;
};

} // namespace sx
