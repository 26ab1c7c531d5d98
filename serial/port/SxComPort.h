#pragma once
// The serial port component: holds a port's configuration as properties, opens and closes the
// device through a dispatcher, queues output, hands out received bytes and turns the dispatcher's
// trigger notifications into events on the GUI thread.
//
// Everything here is called on the GUI thread. The dispatcher's threads reach the component only
// through its window, whose messages the GUI hand-off runs on the GUI thread. Failures raise
// exceptions of the ESxException family.

#include "serial/core/SxDispatcher.h"
#include "serial/core/SxFreeNotify.h"
#include "serial/errors/SxErrors.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {
class IClock;
class IGuiHandoff;
}

namespace sx {

enum TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TPortPhase { phClosed, phClosing, phOpen };

// A set of hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS (serial/core/SxDispatcher.h).
using THWFlowOptions = uint16_t;

// Messages an open/close listener window receives.
constexpr uint16_t smPortOpen = 0x7E08;
constexpr uint16_t smPortClose = 0x7E09;

class TSxCustomComPort;

using TTriggerEvent = std::function<void(TSxCustomComPort& sender, uint16_t msg, uint16_t triggerHandle, uint16_t data)>;
using TTriggerAvailEvent = std::function<void(TSxCustomComPort& sender, uint16_t count)>;
using TTriggerHandleEvent = std::function<void(TSxCustomComPort& sender, uint16_t triggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TSxCustomComPort& sender, uint16_t error, bool lineBreak)>;
using TNotifyEvent = std::function<void(TSxCustomComPort& sender)>;
using TWaitCharEvent = std::function<void(TSxCustomComPort& sender, uint8_t c)>;
// An open/close listener procedure: told of the opening (true) or the closing (false).
using TPortCallback = void (*)(TSxCustomComPort& port, bool opening, void* userData);
// Makes the dispatcher for an open instead of the built-in one.
using TDispatcherFactory = std::function<std::unique_ptr<TSxBaseDispatcher>(TSxCustomComPort& port)>;

// Destroying the port first tells its free listeners (TSxFreeNotifier), while it is still whole.
class TSxCustomComPort : public TSxComponentState, public TSxFreeNotifier {
public:
    // gui runs the trigger events on the GUI thread (null: the process default, see
    // SetDefaultGuiHandoff); clock times the triggers (null: the system clock).
    explicit TSxCustomComPort(plat::IGuiHandoff* gui = nullptr, plat::IClock* clock = nullptr);
    ~TSxCustomComPort() override;
    TSxCustomComPort(const TSxCustomComPort&) = delete;
    TSxCustomComPort& operator=(const TSxCustomComPort&) = delete;

    // ---- Process-wide hooks ------------------------------------------------------------------
    static void SetDefaultGuiHandoff(plat::IGuiHandoff* gui);
    // Asks the user for a port (the port selection dialog); true with comNumber set on OK.
    static void SetPortPrompt(std::function<bool(int& comNumber)> prompt);
    // Shows an exception that no caller can catch (raised by an event handler or a deferred
    // open); by default it goes to standard error.
    static void SetExceptionHandler(std::function<void(const std::exception&)> handler);
    static void ShowException(const std::exception& e);

    // ---- Loading -----------------------------------------------------------------------------
    // Between BeginLoading and Loaded, setting Open only stores the value; Loaded opens the port.
    void BeginLoading() { loading_ = true; }
    void Loaded();
    bool IsLoading() const override { return loading_; }

    // ---- Properties --------------------------------------------------------------------------
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer v);
    uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t v);
    int32_t Baud() const { return baud_; }
    void SetBaud(int32_t v);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    int16_t DataBits() const { return dataBits_; }
    void SetDataBits(int16_t v);
    int16_t StopBits() const { return stopBits_; }
    void SetStopBits(int16_t v);
    uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t v) { inSize_ = v; }
    uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t v) { outSize_ = v; }
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    bool Open() const { return open_; }
    void SetOpen(bool v);
    bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    bool RTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptions HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptions v);
    TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    uint8_t XOnChar() const { return xonChar_; }
    void SetXOnChar(uint8_t v);
    uint8_t XOffChar() const { return xoffChar_; }
    void SetXOffChar(uint8_t v);
    uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t v);
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t v);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    int32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(int32_t v);
    int32_t LogSize() const { return logSize_; }
    void SetLogSize(int32_t v);
    std::string TraceName() const { return traceName_; }
    void SetTraceName(const std::string& v) { traceName_ = v; }
    std::string LogName() const { return logName_; }
    void SetLogName(const std::string& v) { logName_ = v; }
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    void SetUseMSRShadow(bool v) { useMSRShadow_ = v; }
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v) { useEventWord_ = v; }
    int16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(int16_t v) { commNotificationLevel_ = v; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool v);

    TPortPhase PortPhase() const { return phase_; }
    uint16_t AvailLevel() const { return availLevel_; }
    void SetAvailLevel(uint16_t v);
    int PriorityBoost() const { return priorityBoost_; }
    void SetPriorityBoost(int v);
    void SetDispatcherFactory(TDispatcherFactory factory) { factory_ = std::move(factory); }

    // ---- Events (run on the GUI thread) ------------------------------------------------------
    void SetOnTrigger(TTriggerEvent e) { onTrigger_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerAvail(TTriggerAvailEvent e) { onTriggerAvail_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerData(TTriggerHandleEvent e) { onTriggerData_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerStatus(TTriggerHandleEvent e) { onTriggerStatus_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerTimer(TTriggerHandleEvent e) { onTriggerTimer_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerModemStatus(TNotifyEvent e) { onTriggerModemStatus_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e) { onTriggerLineError_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerOutbuffFree(TNotifyEvent e) { onTriggerOutbuffFree_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerOutbuffUsed(TNotifyEvent e) { onTriggerOutbuffUsed_ = std::move(e); TriggerEventsChanged(); }
    void SetOnTriggerOutSent(TNotifyEvent e) { onTriggerOutSent_ = std::move(e); TriggerEventsChanged(); }
    // The handlers now installed, so that a component can put its own in their place and chain.
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    const TTriggerHandleEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    const TTriggerHandleEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    // Declared for completeness; nothing raises it.
    void SetOnWaitChar(TWaitCharEvent e) { onWaitChar_ = std::move(e); }
    void SetOnPortOpen(TNotifyEvent e) { onPortOpen_ = std::move(e); }
    void SetOnPortClose(TNotifyEvent e) { onPortClose_ = std::move(e); }

    // ---- Operations --------------------------------------------------------------------------
    // The dispatcher, opening the port first when it is closed and AutoOpen is set; raises
    // ECommNotOpen when there is none.
    TSxBaseDispatcher& Dispatcher();
    // The dispatcher of an open port, or null; never opens.
    TSxBaseDispatcher* DispatcherIfOpen() const;

    uint8_t GetChar();
    // Up to n received bytes into data, as n GetChar calls would take them, stopping where the
    // buffer runs out; returns how many (0 for n = 0). Raises EBufferIsEmpty when none is there.
    int GetBlock(uint8_t* data, int n);
    void PutChar(uint8_t c);
    void PutString(const std::string& s);
    uint8_t ModemStatus();
    bool CTS();
    bool DSR();
    bool DCD();
    bool Ring();
    int LineError();
    bool LineBreak();
    // Holds the line in the break state (on) or releases it; the output queued before goes out
    // first. On raises ECommNotOpen at a closed port (it does not open one), EBreakNotSupported where
    // the connection has no break and EOutputStalled when the queued output does not leave in time.
    // Releasing at a closed port does nothing: the close has released the break.
    void SetBreak(bool on);
    int InputUsed();
    int OutputUsed();

    int32_t NewTimerTrigger();
    int32_t NewStatusTrigger(uint16_t kind);
    void ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    void ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
    // Also while the port is closing, so that a close listener can take its triggers away before
    // they are kept for a reopen.
    void DropTrigger(int32_t handle);

    // Listeners are told in reverse order of registration.
    void AddOpenCloseListener(ISxWindow* window);
    void AddOpenCloseListener(TPortCallback procedure, void* userData);
    void RemoveOpenCloseListener(ISxWindow* window);
    void RemoveOpenCloseListener(TPortCallback procedure);

    // Copies configuration, listeners, trigger events and (from an open port) its triggers;
    // never Open.
    void Assign(const TSxCustomComPort& other);

    // The device this port opens: the COM number's mapping (platform/ComMap.h).
    std::string DeviceName() const;
    // The device's remark on the last open (for instance that no lock file could be made, so other
    // programs are kept out only by the device's own exclusive mode); also in the port's log.
    std::string OpenNote() const { return openNote_; }

    // Dispatchers of destroyed ports that are still finishing a delivery on the GUI thread; they
    // are freed there once their threads are gone.
    static int PendingReleases();

private:
    // The port's notification window. It may outlive the port while a dispatcher that still has
    // a delivery to it in flight is being freed; then Port is null and messages are dropped.
    class Window : public ISxWindow {
    public:
        explicit Window(TSxCustomComPort* port) : Port(port) {}
        void HandleMessage(uint16_t msg, uint32_t first, uint32_t second) override
        {
            if (Port) Port->WindowProc(msg, first, second);
        }
        TSxCustomComPort* Port;
    };
    struct Listener {
        ISxWindow* Window = nullptr;
        TPortCallback Procedure = nullptr;
        void* UserData = nullptr;
    };
    // A trace or log kept in memory and written out on dump/append.
    struct Recorder {
        TTraceLogState State = tlOff;
        std::deque<std::string> Lines;
        size_t Bytes = 0;
        std::string Pending; // the trace line being built
        char PendingKind = 0;
    };

    void DoOpen();
    void DoClose();
    void CompleteClose();
    void PostCloseCompletion();
    void FreeDispatcher();
    void ReleaseLater(std::unique_ptr<TSxBaseDispatcher> d);
    void NotifyListeners(bool opening);
    void WindowProc(uint16_t msg, uint32_t first, uint32_t second);
    bool AnyTriggerEvent() const;
    void TriggerEventsChanged();
    void SetLineWhenOpen();
    void ApplyHWFlow();
    void ApplySWFlow();
    void ApplyTraceLog(bool trace, TTraceLogState v);
    int Check(int rc) { return RaiseOnError(this, rc); }

    void NoteRecorderStates();
    void TraceBytes(char kind, const uint8_t* data, size_t n);
    void LogLine(const std::string& type, const std::string& subType, uint32_t data, uint32_t other);
    // A log line with a text in place of the two numbers.
    void LogText(const std::string& type, const std::string& subType, const std::string& text);
    void WriteRecorder(Recorder& r, const std::string& name, bool append, bool trace);
    void AddRecorderLine(Recorder& r, std::string line, size_t cap);

    plat::IGuiHandoff* gui_;
    plat::IClock* clock_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool loading_ = false;

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    int16_t dataBits_ = 8;
    int16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptions hwFlow_ = 0;
    TSWFlowOptions swFlow_ = swfNone;
    uint8_t xonChar_ = 17;
    uint8_t xoffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    TTraceLogState logging_ = tlOff;
    int32_t traceSize_ = 10000;
    int32_t logSize_ = 10000;
    std::string traceName_ = "SERX.TRC";
    std::string logName_ = "SERX.LOG";
    bool traceHex_ = true;
    bool logHex_ = true;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    int16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;

    // Read by the modem engine on the dispatch thread (PutString), written on the GUI thread.
    std::atomic<TPortPhase> phase_{phClosed};
    uint16_t availLevel_ = 1;
    int priorityBoost_ = 0;
    TDispatcherFactory factory_;
    std::unique_ptr<TSxBaseDispatcher> dispatcher_;
    std::shared_ptr<Window> window_ = std::make_shared<Window>(this);
    std::vector<Listener> listeners_;
    TSxSavedTriggers savedTriggers_;
    bool openRequestedWhileClosing_ = false;

    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerHandleEvent onTriggerData_, onTriggerStatus_, onTriggerTimer_;
    TNotifyEvent onTriggerModemStatus_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
    TWaitCharEvent onWaitChar_;
    TNotifyEvent onPortOpen_, onPortClose_;

    std::mutex recordLock_;
    Recorder trace_, log_;
    // Whether trace_/log_ record (State tlOn), readable without recordLock_: bytes and events pass
    // by without taking the lock while both are off.
    std::atomic<bool> traceOn_{false}, logOn_{false};
    int64_t logStartMs_ = 0;
    std::string openNote_;
};

// The component as placed on a form: all of TSxCustomComPort, properties published.
class TSxComPort : public TSxCustomComPort {
public:
    using TSxCustomComPort::TSxCustomComPort;
};

// Tries to open COM n's device and closes it again: 0 when it opened, ecAlreadyOpen when it is in
// use, another negative code when it cannot be opened. A port on a terminal server gives 0 without a
// connection.
int SxProbePort(int comNumber);

} // namespace sx
