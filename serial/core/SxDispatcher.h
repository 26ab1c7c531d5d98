#pragma once
// The port dispatcher: owns one open serial device, keeps received bytes in its own 8192-byte ring,
// queues output in a second ring written by a thread of its own, watches the input for byte
// strings, the modem lines and line errors, runs 55 ms timers and delivers every resulting trigger
// to its registered handlers.
//
// Threads. The dispatch thread waits for device events, reads input, evaluates all triggers and
// calls procedure handlers; the output thread writes the output ring. Window handlers and
// synchronised event handlers run on the GUI thread through the hand-off, the dispatch thread
// waiting for each (for the GUI thread to take it at most 3000 ms). When all handlers run there,
// the input messages of one arrival go over in one hand-off. Create, open, close and destroy
// dispatchers on the GUI thread.
//
// Results: 0 or positive for success, a negative result code (serial/errors/SxErrors.h) on failure.
//
// One file per concern: SxDispatcher.cpp (the table, open, close), SxDispatcherThreads.cpp (the two
// threads and their waits), SxDispatcherRound.cpp (a round: reading and the trigger checks),
// SxDispatcherGuiRun.cpp (input checks run on the GUI thread), SxDispatcherDelivery.cpp,
// SxDispatcherLine.cpp (line settings, modem lines, flow control), SxDispatcherRings.cpp (input and
// output rings), SxDispatcherTriggers.cpp and SxDispatcherHandlers.cpp.

#include "serial/core/SxDevice.h"
#include "serial/core/SxTriggers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plat {
class IClock;
class IGuiHandoff;
}

namespace sx {

constexpr int InputRingSize = 8192;
constexpr int WindowTimeoutMs = 3000;

// Trigger message codes. First parameter: count or trigger handle; second: dispatcher handle in the
// high word, a 16-bit datum in the low word.
constexpr uint16_t smAvail = 0x7E01;  // first = byte count
constexpr uint16_t smData = 0x7E02;   // first = handle, datum = trigger length
constexpr uint16_t smTimer = 0x7E03;  // first = handle
constexpr uint16_t smStatus = 0x7E04; // first = handle, datum = free (kind 3) or used (kind 4) count

// Modem status byte.
constexpr uint8_t msDeltaCTS = 0x01, msDeltaDSR = 0x02, msRingChange = 0x04, msDeltaDCD = 0x08;
constexpr uint8_t msCTS = 0x10, msDSR = 0x20, msRI = 0x40, msDCD = 0x80;

// Line error bits.
constexpr uint8_t leOverflow = 1, leOverrun = 2, leParity = 4, leFraming = 8, leBreak = 16;

// Hardware flow options (SetHardFlow) and software flow directions (SetSoftFlow).
constexpr uint16_t hwfUseDTR = 1, hwfUseRTS = 2, hwfRequireDSR = 4, hwfRequireCTS = 8;
constexpr uint16_t sfTransmit = 1, sfReceive = 2;

// A window: its messages are delivered on the GUI thread.
class ISxWindow {
public:
    virtual ~ISxWindow() = default;
    virtual void HandleMessage(uint16_t msg, uint32_t first, uint32_t second) = 0;
};

using TSxProcedureHandler = std::function<void(uint16_t msg, uint32_t first, uint32_t second)>;
using TSxEventHandler = std::function<void(void* userData, uint16_t msg, uint32_t first, uint32_t second)>;

// The triggers of a dispatcher, kept by the caller across a port reopen.
struct TSxSavedTriggers {
    bool Valid = false;
    uint32_t HandleCounter = 1;
    uint16_t AvailLevel = 0;
    std::vector<TSxTimerTrigger> Timers;
    std::vector<TSxDataTrigger> Data;
    std::vector<TSxStatusTrigger> Status;
};

class TSxBaseDispatcher {
public:
    // owner is what the dispatcher belongs to (the port); gui delivers window handlers and
    // synchronised event handlers (null: they run on the dispatch thread); clock times the triggers
    // (null: the system's monotonic clock).
    explicit TSxBaseDispatcher(void* owner, plat::IGuiHandoff* gui = nullptr, plat::IClock* clock = nullptr);
    virtual ~TSxBaseDispatcher();
    TSxBaseDispatcher(const TSxBaseDispatcher&) = delete;
    TSxBaseDispatcher& operator=(const TSxBaseDispatcher&) = delete;

    // The slot in the process-wide dispatcher table; travels in every trigger message.
    uint16_t Handle() const { return handle_; }
    void* Owner() const { return owner_; }
    // The dispatcher in that table slot, or null.
    static TSxBaseDispatcher* FindByHandle(uint16_t handle);

    // ---- Lifecycle ---------------------------------------------------------------------------
    // Opens the named device ("/dev/ttyS0", "sim", "sim:NAME") and starts the threads.
    // parity 0..4 (none, odd, even, mark, space), stopBits 1 or 2.
    int Open(const std::string& deviceName, int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits,
             uint16_t inSize, uint16_t outSize, bool dtr, bool rts);
    // The same over a device made by the caller. Without threads nothing runs by itself: the caller
    // drives the dispatch thread's work with RunRound (tests do, in virtual time).
    int OpenDevice(std::unique_ptr<ISxDevice> device, const std::string& deviceName, int32_t baud, uint8_t parity,
                   uint8_t dataBits, uint8_t stopBits, uint16_t inSize, uint16_t outSize, bool dtr, bool rts,
                   bool startThreads = true);
    // Flushes both rings and closes the device. During a delivery only the closing flag is set; the
    // dispatch thread finishes the close when the delivery returns (ThreadsRunning turns false).
    int Close();
    bool IsOpen() const;
    // Whether Open starts the threads (default true). Without them nothing runs by itself:
    // the caller drives the dispatch work with RunRound and the output with WriteOutput (tests of
    // the components above the dispatcher do, in virtual time).
    void SetThreadsOnOpen(bool start) { threadsOnOpen_ = start; }
    bool ThreadsRunning() const { return liveThreads_.load() > 0; }
    bool Delivering() const;
    // Starts the threads of an open dispatcher; throws std::logic_error("Dispatcher already
    // started") when they run.
    void StartThreads();
    // Called on the GUI thread when the device went away (unplugged, peer hung up). Unset, the
    // dispatcher closes itself there.
    void SetOnDeviceLost(std::function<void()> handler);
    bool DeviceLost() const { return deviceLost_.load(); }
    // Called on the GUI thread with an exception that escaped a trigger handler. The handler's
    // call ends; delivery goes on with the next handler.
    void SetOnException(std::function<void(std::exception_ptr)> handler);

    // ---- Line --------------------------------------------------------------------------------
    // baud 0, parity 5, dataBits 9, stopBits 3 each mean "unchanged".
    int SetLine(int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    int GetLine(int32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    TSxLineSettings LineSettings() const;
    // 1 without effect while the line is under automatic flow control; -1002 when the device fails.
    int SetDTR(bool on);
    int SetRTS(bool on);
    // Holds the line in the break state or releases it; the output queued before goes out first.
    // ecOutputStalled when it does not leave in time, ecBreakNotSupported when the device has no break.
    int SetBreak(bool on);
    int SetHardFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t options);
    int SetSoftFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t directions);
    int SoftFlowOff();
    int SetFlowChars(uint8_t xonChar, uint8_t xoffChar);
    int SetRS485Mode(bool on);
    bool RS485Mode() const;
    // The device's remark on its open, for the port's log (empty when it has none).
    std::string DeviceNote() const;
    // Why the last open failed, as the device tells it (a network port: the server refused, the
    // host is unknown, nobody answered); empty when it did not say or the open succeeded.
    std::string FailedOpenNote() const;
    // Kept for the threads; they run at the system's normal priority on this platform.
    int RaiseThreadPriority(int n);

    // ---- Input -------------------------------------------------------------------------------
    // -3007 when empty. During an avail notification the bytes are read without being consumed:
    // the k-th call of a handler returns the k-th buffered byte.
    int GetChar(uint8_t& c);
    // Up to n bytes into data, exactly as that many GetChar calls would take them (stopping where
    // the buffer runs out); returns how many, or -3007 when there is none (0 when n is 0).
    int GetBlock(uint8_t* data, int n);
    // The n-th (1-based) byte that GetChar would return next, without taking it. -3007 if absent.
    int PeekChar(int n, uint8_t& c);
    int InputUsed();
    int ClearInput();

    // ---- Output ------------------------------------------------------------------------------
    int PutChar(uint8_t c);
    // Queues all or nothing: -3006 when the block does not fit, -3004 when the device is gone.
    int PutBlock(const void* data, int length);
    int OutputUsed();
    int OutputFree();
    int ClearOutput();
    // Writes what the output ring holds to the device now, as the output thread would, and returns
    // the number of bytes written; for a dispatcher without threads (0 while they run).
    int WriteOutput();

    // ---- Status ------------------------------------------------------------------------------
    // The modem status byte; clearMask names the change bits this read consumes (full read: 0x0F).
    uint8_t ModemStatus(uint8_t clearMask = 0x0F);
    bool CTS();  // each single-line read clears only its own change bit
    bool DSR();
    bool DCD();
    bool Ring(); // the ring-change bit
    // The first pending error: 1 overflow, 2 overrun, 3 parity, 4 framing, 9 break, else 0. Reporting
    // one clears the four error bits (not the break bit).
    int LineError();
    // Whether a break was seen; clears the break bit.
    bool LineBreak();
    uint8_t LineErrorBits() const;

    // ---- Triggers ----------------------------------------------------------------------------
    // Handles: see TSxHandleAllocator. Handle 1 is the avail trigger.
    int32_t NewDataTrigger(const std::string& text, bool ignoreCase);
    int32_t NewTimerTrigger();
    int32_t NewStatusTrigger(uint16_t kind);
    int ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    int ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
    int DropTrigger(int32_t handle);
    int DropAllTriggers();
    int SetAvailLevel(uint16_t level);
    uint16_t AvailLevel() const;
    void SaveTriggers(TSxSavedTriggers& saved) const;
    void RestoreTriggers(const TSxSavedTriggers& saved);

    // ---- Handlers ----------------------------------------------------------------------------
    int AddWindowHandler(ISxWindow* window);
    int RemoveWindowHandler(ISxWindow* window);
    // These return an id (> 0) that names the handler for its removal.
    int AddProcedureHandler(TSxProcedureHandler handler);
    int RemoveProcedureHandler(int id);
    int AddEventHandler(TSxEventHandler handler, void* userData, bool synchronize);
    int RemoveEventHandler(int id);
    // Whether the owning port has trigger event handlers: 0 recompute, 1 installed, 2 removed.
    void NotePortHandlers(int mode);

    // Attachment slots 1..3 (the modem engine uses 3); another slot gives -1002.
    int Attach(int slot, void* object);
    void* Attachment(int slot) const;

    // ---- The dispatch thread's work ----------------------------------------------------------
    // One round of the dispatch thread for the given device event bits (0: a poll round): reads
    // input, evaluates status, data, avail and timer triggers and delivers what fires. The dispatch
    // thread calls this; tests call it on a dispatcher opened without threads.
    void RunRound(uint32_t events);
    // The current tick of the dispatcher's clock.
    uint32_t CurrentTick() const;

private:
    struct WindowEntry {
        ISxWindow* Window;
        bool Deleted = false;
    };
    struct ProcEntry {
        int Id;
        TSxProcedureHandler Fn;
        bool Deleted = false;
    };
    struct EventEntry {
        int Id;
        TSxEventHandler Fn;
        void* UserData;
        bool Synchronize;
        bool Deleted = false;
    };

    // Threads.
    void DispThreadBody();
    void OutThreadBody();
    void ThreadLeaves();
    void JoinThreads();
    void FinishClose();
    bool OnOwnThread() const;
    bool OnOwnThreadIs(const std::thread::id& id) const;

    // Dispatch work (dispatch thread).
    int ReadInput();
    void RefreshModemStatus();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    bool CheckDataAndAvail();
    void RunInputChecks();
    bool InputChecksOnGui();
    struct GuiBatch;
    void PostGuiBatch();
    void RunGuiBatch(GuiBatch& batch);
    void SignalBatch(GuiBatch& batch, const std::function<void()>& change, bool wake);
    bool FollowGuiBatch(bool& deviceGone);
    void LeaveGuiBatch();
    void EndReadAhead();
    void RunHandedBack(GuiBatch& batch, std::unique_lock<std::mutex>& lk);
    bool InGuiBatch() const { return guiBatch_.load(std::memory_order_acquire) != nullptr; }
    // Runs job on the dispatch thread: here, or handed back there from a run on the GUI thread.
    void OnDispatchThread(const std::function<void()>& job);
    // The device's next event (dispatch thread), at most timeoutMs (-1: no limit).
    uint32_t WaitDevice(int timeoutMs);
    void WaitForPoke(int timeoutMs);
    void ReadBacklog();
    void AnnounceHeldInput();
    // Delivers one trigger message to every handler; false when an avail notification's bytes
    // were not all taken.
    bool DispatchTrigger(uint16_t msg, uint32_t first, uint16_t datum);
    void HandleDeviceLost();
    void Guarded(const std::function<void()>& call);
    // How long the dispatch thread may wait for an event before it must look again (ms), or -1
    // when nothing needs looking at without an event.
    int PollingNeeded();
    void NoteOutputWatchLocked();
    void PokeForOutput();
    // The DTR handshake after the input ring's fill changed (DtrFlowCheckLocked: under the general lock); the
    // check inline, since it runs every round and the handshake is rarely on.
    void DtrFlowCheck() {
        if (dtrFlow_.load(std::memory_order_acquire)) DtrFlowCheckSlow();
    }
    void DtrFlowCheckSlow();
    void DtrFlowCheckLocked();
    bool deviceOpenForIo() const;

    // Helpers under the locks.
    void RefreshModemLocked();
    int OutUsedLocked() const;
    int32_t NextHandleLocked();
    void RecomputeServiceLocked();
    void PurgeMarkedHandlersLocked();
    int ApplyLineLocked(const TSxLineSettings& s);
    int FlowLineLocked(uint16_t fullLevel, uint16_t resumeLevel, TSxLineSettings& s) const;
    void DrainOutput();
    void Poke();

    void* owner_;
    plat::IGuiHandoff* gui_;
    plat::IClock* clock_;
    std::unique_ptr<plat::IClock> ownClock_;
    uint16_t handle_ = 0;
    uint64_t serial_ = 0; // tells a reused table slot from the dispatcher that held it before

    std::unique_ptr<ISxDevice> device_;
    std::string deviceName_;
    std::string failedOpenNote_;
    bool threadsOnOpen_ = true;
    uint16_t inSize_ = 0, outSize_ = 0;

    // General lock: state, line settings, triggers, handlers.
    mutable std::mutex lock_;
    std::atomic<bool> open_{false};
    bool deviceOpen_ = false;
    TSxLineSettings line_;
    bool dtr_ = true, rts_ = true, dtrAuto_ = false, rtsAuto_ = false, rs485_ = false;
    // The DTR handshake (run here, not by the device): whether it is on, whether it holds DTR down
    // (changed under inLock_ as well, so a reader can look without the general lock), and its levels.
    std::atomic<bool> dtrFlow_{false};
    std::atomic<bool> dtrHeld_{false};
    uint64_t flowFull_ = 0, flowResume_ = 0;
    // Output waits for DSR: whether it is asked for (changed under outLock_), and DSR as last seen.
    std::atomic<bool> dsrGate_{false};
    std::atomic<bool> dsrOn_{true};
    int priorityBoost_ = 0;
    uint8_t modemStatus_ = 0;
    uint8_t errorBits_ = 0;
    std::atomic<bool> ringSeen_{false};
    uint16_t availLevel_ = 0;
    TSxHandleAllocator handles_;
    std::vector<TSxTimerTrigger> timers_;
    std::vector<TSxDataTrigger> data_;
    std::vector<TSxStatusTrigger> status_;
    std::vector<WindowEntry> windows_;
    std::vector<ProcEntry> procs_;
    std::vector<EventEntry> events_;
    int nextHandlerId_ = 1;
    bool portHandlers_ = false;
    bool serviceNeeded_ = false;
    bool delivering_ = false;
    bool handlersChanged_ = false;
    bool closing_ = false;
    void* attachments_[3] = {nullptr, nullptr, nullptr};
    std::function<void()> onDeviceLost_;
    std::function<void(std::exception_ptr)> onException_;

    // Input lock: the dispatch ring. Positions count bytes since open (ring index = position % size).
    mutable std::mutex inLock_;
    std::vector<uint8_t> in_;
    uint64_t inHead_ = 0, inTail_ = 0;
    // What the scan and the readers see: the head as of the last round. While a run of messages is
    // delivered on the GUI thread the dispatch thread reads ahead beyond it, up to the tail as it
    // was when the run began.
    uint64_t visibleHead_ = 0;
    bool readAhead_ = false;
    bool readAheadRoom_ = false;
    uint64_t frozenTail_ = 0;
    uint64_t scanFloor_ = 0; // bytes before it were flushed and are not scanned
    bool morePending_ = false;
    bool inAvailDispatch_ = false;
    bool flushedInDispatch_ = false;
    int takenCount_ = 0, maxTakenCount_ = 0;
    uint64_t scanPos_ = 0;           // dispatch thread only
    uint64_t lastAvailPos_ = UINT64_MAX; // dispatch thread only

    // Output lock: the output ring and the output thread's hand-off.
    mutable std::mutex outLock_;
    std::condition_variable outCv_;
    std::vector<uint8_t> out_;
    size_t outHead_ = 0, outTail_ = 0;
    bool outFull_ = false;
    bool outputReady_ = false;
    bool outputQueued_ = false;
    uint64_t flushRequests_ = 0, flushAcks_ = 0;
    bool outWriting_ = false;
    bool everWritten_ = false;

    // A run of input messages delivered on the GUI thread, and the dispatch thread's wait for it.
    struct GuiBatch {
        std::mutex M;
        std::condition_variable Cv;
        bool Started = false, Done = false, Dropped = false;
        std::function<void()> Back; // a job handed back to the dispatch thread
        bool BackDone = false;
        bool OnDevice = false; // the dispatch thread waits for the device meanwhile
    };
    std::atomic<GuiBatch*> guiBatch_{nullptr}; // the run under way on the GUI thread
    std::atomic<bool> batchYield_{false};      // the dispatch thread wants the run to end
    // Dispatch thread only: the run out on the GUI thread and when it must have begun; whether the
    // current round is the thread's; events for the next round; whether the next input checks are
    // delivered from here (after a run that was dropped).
    std::shared_ptr<GuiBatch> batch_;
    std::chrono::steady_clock::time_point batchDeadline_;
    bool inThreadRound_ = false;
    uint32_t pendingEvents_ = 0;
    bool localChecks_ = false;

    // Wake-ups of the dispatch thread once its device is gone.
    std::mutex evLock_;
    std::condition_variable evCv_;
    bool poked_ = false;

    std::atomic<bool> kill_{false};
    std::atomic<bool> deviceLost_{false};
    // An output status trigger is armed: queued output and the output thread's progress wake the
    // dispatch thread, which then looks at the output levels (no polling for them).
    std::atomic<bool> watchOutput_{false};
    std::atomic<int> liveThreads_{0};
    std::mutex startLock_;
    std::condition_variable startCv_;
    int threadAcks_ = 0;
    std::mutex threadsLock_;
    std::thread dispThread_, outThread_;
    mutable std::mutex threadIdsLock_;
    std::thread::id dispId_, outId_;
};

// Waits until a timer of n ticks on clock expires. With yield, pump runs once per round (it
// processes one pending GUI message and returns false for the quit message, which ends the wait).
// sleepMs waits between rounds. n below 1 returns at once.
void WaitTicks(plat::IClock& clock, int32_t n, bool yield, const std::function<bool()>& pump,
               const std::function<void(int)>& sleepMs);

} // namespace sx
