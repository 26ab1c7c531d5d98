// The serial device of Windows through the communications functions, with overlapped I/O.
//
// The device is opened exclusively ("\\.\COMn"). Reads take only what the driver reports as queued, so a
// read never waits for bytes. Waiting arms one overlapped WaitCommEvent and waits on it together with a
// wake-up event, so it blocks without spinning and CancelWait ends it early. After every wait the driver's
// queue count and error bits are looked at as well: a wait that ends without naming its reason (some
// drivers report received bytes only that way) still reports the bytes that came. A driver without modem
// lines (it refuses the line events and line calls as "not supported") counts as a line that is always
// ready: CTS, DSR and DCD on.

#include "platform/SerialDevices.h"
#include "platform/SystemError.h"
#include "serial/device/SxDevices.h"
#include "serial/errors/SxErrors.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

namespace sx {

namespace {

// The one place where a system error becomes a result code. Other numbers are passed on negated (the
// message is then the system's own text for the number), except where the negated number would read as a
// different error of the layer's own I/O range.
int ResultFromSystem(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return ecBadId;
    case ERROR_ACCESS_DENIED: // another program holds the port
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return ecAlreadyOpen;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ecOutOfMemory;
    case ERROR_INVALID_PARAMETER:
        return ecBadArgument;
    default:
        return e >= 2 && e <= 162 ? -static_cast<int>(e) : ecGeneralFailure;
    }
}

// The system's own text for an error (in the user's language), without the line end.
std::string SystemText(DWORD e) {
    const std::string text = plat::SystemErrorText(e);
    return text.empty() ? "error " + std::to_string(e) : text;
}

// The driver has no modem lines (a pseudo-terminal behind an emulation, a virtual port).
bool NoModemLines(DWORD e) {
    return e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION;
}

// "COM7" and "com7" name the port "\\.\COM7"; anything else is a device path of its own.
std::string DevicePath(const std::string& name) {
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm') && name.find_first_not_of("0123456789", 3) == std::string::npos)
        return "\\\\.\\COM" + name.substr(3);
    return name;
}

// An event handle that closes itself.
class TEvent {
public:
    explicit TEvent(bool manualReset) : h_(CreateEventA(nullptr, manualReset, FALSE, nullptr)) {}
    ~TEvent() {
        if (h_) CloseHandle(h_);
    }
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
    HANDLE Get() const { return h_; }

private:
    HANDLE h_;
};

constexpr const char* UsbSerialPrefix = "usb-serial:";
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kRingTrailingEdge = 0x2000;

} // namespace

class TSxWin32Device : public ISxDevice {
public:
    ~TSxWin32Device() override { Close(); }

    int Open(const std::string& name, uint16_t inSize, uint16_t outSize) override {
        if (!waitDone_.Get() || !wake_.Get() || !readDone_.Get() || !writeDone_.Get() || !writeCancel_.Get())
            return ecNoHandles;
        hasModemLines_ = true;
        reasonless_ = 0;
        note_.clear();
        // A USB adapter named by its serial number: whichever COM name Windows gave it in this socket.
        std::string path = DevicePath(name);
        if (name.rfind(UsbSerialPrefix, 0) == 0) {
            const std::string com = plat::FindByStableName(name);
            if (com.empty()) {
                note_ = "kein angeschlossener USB-Adapter mit der Seriennummer " +
                        name.substr(std::strlen(UsbSerialPrefix));
                return ecBadId;
            }
            path = DevicePath(com);
        }
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return Refused(path, GetLastError(), 0);
        const int rc = Prepare(h, inSize, outSize);
        if (rc != 0) {
            const DWORD e = GetLastError();
            CloseHandle(h);
            return Refused(path, e, rc);
        }
        h_ = h;
        hungUp_ = false;
        waitPending_ = false;
        unfinished_ = false;
        held_ = false;
        cancelWait_ = false;
        ResetEvent(wake_.Get());
        ResetEvent(writeCancel_.Get());
        uint8_t lines = 0;
        ModemLines(lines); // finds out whether the driver has modem lines
        std::lock_guard<std::mutex> g(errLock_);
        pendingErrors_ = 0;
        return 0;
    }

    // After a failed open: the port and the system's reason.
    std::string OpenNote() const override { return note_; }

    void Close() override {
        if (h_ == INVALID_HANDLE_VALUE) return;
        if (waitPending_) {
            DWORD n = 0;
            CancelIoEx(h_, &waitOv_);
            GetOverlappedResult(h_, &waitOv_, &n, TRUE);
            waitPending_ = false;
        }
        SetCommMask(h_, 0);
        if (breakOn_) ClearCommBreak(h_);
        breakOn_ = false;
        SetCommState(h_, &savedState_);
        SetCommTimeouts(h_, &savedTimeouts_);
        CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

    int GetLine(TSxLineSettings& s) override {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(h_, &d)) return ResultFromSystem(GetLastError());
        s = current_;
        s.Baud = static_cast<int32_t>(d.BaudRate);
        s.Parity = d.Parity;
        s.DataBits = d.ByteSize;
        s.StopBits = d.StopBits;
        if (d.fDtrControl == DTR_CONTROL_DISABLE) s.DtrControl = 0;
        switch (d.fRtsControl) {
        case RTS_CONTROL_DISABLE:
            s.RtsControl = 0;
            break;
        case RTS_CONTROL_HANDSHAKE:
            s.RtsControl = 2;
            break;
        case RTS_CONTROL_TOGGLE:
            s.RtsControl = 3;
            break;
        default:
            s.RtsControl = 1;
            break;
        }
        s.OutxCtsFlow = d.fOutxCtsFlow != 0;
        s.OutxDsrFlow = d.fOutxDsrFlow != 0;
        s.OutX = d.fOutX != 0;
        s.InX = d.fInX != 0;
        s.XonLim = d.XonLim;
        s.XoffLim = d.XoffLim;
        s.XonChar = static_cast<uint8_t>(d.XonChar);
        s.XoffChar = static_cast<uint8_t>(d.XoffChar);
        return 0;
    }

    int SetLine(const TSxLineSettings& s) override {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(h_, &d)) return ResultFromSystem(GetLastError());
        if (s.Baud <= 0) return ecBaudRate;
        if (s.DataBits < 5 || s.DataBits > 8) return ecByteSize;
        if (s.Parity > 4 || s.StopBits > 2 || s.RtsControl > 3 || s.DtrControl > 2) return ecBadArgument;
        d.BaudRate = static_cast<DWORD>(s.Baud);
        d.ByteSize = s.DataBits;
        d.Parity = s.Parity; // none, odd, even, mark, space: the same numbers
        // One stop bit, or the longer setting: one and a half with 5 data bits, two otherwise.
        d.StopBits = s.StopBits == 0 ? ONESTOPBIT : s.DataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
        // The dispatcher runs the DTR handshake itself through SetDTR; DTR starts raised for it.
        d.fDtrControl = s.DtrControl == 0 ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
        static constexpr DWORD kRts[] = {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
                                         RTS_CONTROL_TOGGLE};
        d.fRtsControl = kRts[s.RtsControl];
        d.fOutxCtsFlow = s.OutxCtsFlow;
        d.fOutxDsrFlow = s.OutxDsrFlow;
        d.fOutX = s.OutX;
        d.fInX = s.InX;
        d.XonLim = s.XonLim;
        d.XoffLim = s.XoffLim;
        d.XonChar = static_cast<char>(s.XonChar);
        d.XoffChar = static_cast<char>(s.XoffChar);
        if (!SetCommState(h_, &d)) {
            // The driver names no field that it refused: "error in the parameters".
            const DWORD e = GetLastError();
            return e == ERROR_INVALID_PARAMETER ? ecDefault : ResultFromSystem(e);
        }
        current_ = s;
        return 0;
    }

    int SetDTR(bool on) override { return Escape(on ? SETDTR : CLRDTR); }
    int SetRTS(bool on) override { return Escape(on ? SETRTS : CLRRTS); }

    int ModemLines(uint8_t& lines) override {
        DWORD status = 0;
        if (hasModemLines_ && !GetCommModemStatus(h_, &status)) {
            const DWORD e = GetLastError();
            if (!NoModemLines(e)) return ResultFromSystem(e);
            hasModemLines_ = false;
        }
        // MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON are the status byte's bits.
        lines = hasModemLines_ ? static_cast<uint8_t>(status & 0xF0) : AlwaysReady;
        return 0;
    }

    uint8_t TakeErrors() override {
        std::lock_guard<std::mutex> g(errLock_);
        SampleLocked();
        const uint8_t e = pendingErrors_;
        pendingErrors_ = 0;
        return e;
    }

    int BytesWaiting() override {
        std::lock_guard<std::mutex> g(errLock_);
        return SampleLocked();
    }

    int Read(uint8_t* buf, int n) override {
        const int queued = BytesWaiting();
        if (queued <= 0 || n <= 0) return std::min(queued, 0);
        const DWORD want = static_cast<DWORD>(std::min(n, queued));
        DWORD got = 0;
        ResetEvent(readDone_.Get());
        OVERLAPPED ov{};
        ov.hEvent = readDone_.Get();
        if (ReadFile(h_, buf, want, &got, &ov)) return static_cast<int>(got);
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) return ResultFromSystem(e);
        // The bytes are queued, so the read ends at once; should a driver hold it, it is cut short.
        if (WaitForSingleObject(ov.hEvent, ReadSettleMs) != WAIT_OBJECT_0) CancelIoEx(h_, &ov);
        if (GetOverlappedResult(h_, &ov, &got, TRUE)) return static_cast<int>(got);
        e = GetLastError();
        // A read cut short, or ended by a total time-out, returns what it got.
        if (e == ERROR_OPERATION_ABORTED || e == ERROR_TIMEOUT) return static_cast<int>(got);
        return ResultFromSystem(e);
    }

    void HoldInput(bool held) override {
        held_ = held;
        if (!held) SetEvent(wake_.Get()); // the waiting thread looks at the queue again
    }

    int Write(const uint8_t* buf, int n) override {
        int done = 0;
        while (done < n) {
            const int w = WriteChunk(buf + done, n - done);
            if (w < 0) return done > 0 ? done : w;
            done += w;
            if (w == 0) break; // cancelled
        }
        return done;
    }

    void CancelWrite() override { SetEvent(writeCancel_.Get()); }

    uint32_t WaitEvent(int timeoutMs = -1) override {
        if (hungUp_) return evHangup;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            uint32_t ev = 0;
            bool woken = false; // by HoldInput(false): straight to the driver's queue
            // A driver that ends every wait at once without a reason is looked at every IdleLookMs.
            if (!waitPending_ && reasonless_ > 1) {
                const DWORD ms = std::min(IdleLookMs, WaitMs(timeoutMs, deadline));
                woken = WaitForSingleObject(wake_.Get(), ms) == WAIT_OBJECT_0;
                if (woken && cancelWait_.exchange(false)) return 0;
            }
            if (!woken && !waitPending_ && !Arm(ev)) return Lost();
            // A wait that fired unfinished keeps its event set: look again after IdleLookMs, not at once.
            if (!woken && waitPending_ && unfinished_) {
                woken = WaitForSingleObject(wake_.Get(), std::min(IdleLookMs, WaitMs(timeoutMs, deadline))) ==
                        WAIT_OBJECT_0;
                if (woken && cancelWait_.exchange(false)) return 0;
            }
            if (!woken && ev == 0 && waitPending_) {
                const HANDLE handles[2] = {wake_.Get(), waitDone_.Get()};
                const DWORD r = WaitForMultipleObjects(2, handles, FALSE, WaitMs(timeoutMs, deadline));
                if (r == WAIT_OBJECT_0 && cancelWait_.exchange(false)) return 0;
                if (r == WAIT_OBJECT_0 + 1 && !Finish(ev)) return Lost();
                if (r == WAIT_FAILED) return Lost();
            }
            const int extra = LookAtDriver();
            if (extra < 0) return Lost();
            ev |= static_cast<uint32_t>(extra);
            if (held_) ev &= ~static_cast<uint32_t>(evRxChar);
            if (ev) return ev;
            if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
        }
    }

    void CancelWait() override {
        cancelWait_ = true;
        SetEvent(wake_.Get());
    }

    void PurgeInput() override {
        if (h_ != INVALID_HANDLE_VALUE) PurgeComm(h_, PURGE_RXABORT | PURGE_RXCLEAR);
    }
    void PurgeOutput() override {
        if (h_ != INVALID_HANDLE_VALUE) PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    // SetCommBreak holds back what the driver still queues: that goes out first.
    int SetBreak(bool on) override {
        if (on && !OutputSent()) return ecOutputStalled;
        if (!(on ? SetCommBreak(h_) : ClearCommBreak(h_))) {
            const DWORD e = GetLastError();
            return on && NoModemLines(e) ? ecBreakNotSupported : ResultFromSystem(e);
        }
        breakOn_ = on;
        return 0;
    }

private:
    static constexpr uint8_t AlwaysReady = 0x10 | 0x20 | 0x80; // CTS, DSR, DCD
    static constexpr DWORD ReadSettleMs = 200;
    static constexpr DWORD IdleLookMs = 50;
    static constexpr int BreakDrainMs = 2000;

    // A failed open keeps the system's text for the port's message; code 0: the code of the error.
    int Refused(const std::string& path, DWORD e, int code) {
        note_ = path + (code == ecBadId ? " gibt es nicht oder ist keine serielle Schnittstelle: " : ": ") +
                SystemText(e);
        return code != 0 ? code : ResultFromSystem(e);
    }

    // Queue sizes, the line flags the port relies on, reads that return at once, the events of a wait.
    // A device that knows none of the communications calls is no serial port.
    int Prepare(HANDLE h, uint16_t inSize, uint16_t outSize) {
        savedState_ = DCB{};
        savedState_.DCBlength = sizeof savedState_;
        if (!GetCommState(h, &savedState_)) {
            const DWORD e = GetLastError();
            return NoModemLines(e) || e == ERROR_INVALID_HANDLE ? ecBadId : ResultFromSystem(e);
        }
        if (!SetupComm(h, std::max<DWORD>(inSize, 64), std::max<DWORD>(outSize, 64)) ||
            !GetCommTimeouts(h, &savedTimeouts_))
            return ResultFromSystem(GetLastError());
        DCB d = savedState_;
        d.fBinary = TRUE;
        d.fParity = FALSE;
        d.fDsrSensitivity = FALSE;
        d.fTXContinueOnXoff = TRUE;
        d.fNull = FALSE;
        d.fErrorChar = FALSE;
        d.fAbortOnError = FALSE;
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        if (!SetCommState(h, &d) || !SetCommTimeouts(h, &t)) return ResultFromSystem(GetLastError());
        mask_ = EV_RXCHAR | EV_BREAK | EV_ERR | kLineEvents | kRingTrailingEdge;
        if (!SetMask(h)) return ResultFromSystem(GetLastError());
        return 0;
    }

    // Sets the wait's events, dropping those the driver refuses: the ring's trailing edge (only some
    // systems know it), then the modem lines (a driver without them).
    bool SetMask(HANDLE h) {
        for (;;) {
            if (SetCommMask(h, mask_)) return true;
            const DWORD e = GetLastError();
            if (e == ERROR_INVALID_PARAMETER && (mask_ & kRingTrailingEdge)) {
                mask_ &= ~kRingTrailingEdge;
            } else if (NoModemLines(e) && (mask_ & kLineEvents)) {
                mask_ &= ~(kLineEvents | kRingTrailingEdge);
                hasModemLines_ = false;
            } else {
                return false;
            }
        }
    }

    // Starts the overlapped wait. An event that is there already goes to ev. False: the device is gone.
    bool Arm(uint32_t& ev) {
        for (;;) {
            ResetEvent(waitDone_.Get());
            waitMask_ = 0;
            waitOv_ = OVERLAPPED{};
            waitOv_.hEvent = waitDone_.Get();
            if (WaitCommEvent(h_, &waitMask_, &waitOv_)) {
                ev = FromMask(waitMask_);
                return true;
            }
            const DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING) {
                waitPending_ = true;
                return true;
            }
            const DWORD before = mask_;
            if ((e == ERROR_INVALID_PARAMETER || NoModemLines(e)) && Refuse(e) && mask_ != before) continue;
            return false;
        }
    }

    // The driver refused the mask when the wait started: drop what it cannot do and set it again.
    bool Refuse(DWORD e) {
        if (e == ERROR_INVALID_PARAMETER && (mask_ & kRingTrailingEdge))
            mask_ &= ~kRingTrailingEdge;
        else if (NoModemLines(e) && (mask_ & kLineEvents))
            mask_ &= ~(kLineEvents | kRingTrailingEdge);
        else
            return false;
        return SetMask(h_);
    }

    // Collects the wait whose event fired. A wait ended without a reason gives no bits (LookAtDriver finds
    // the bytes); when that happens at once again and again, the next round waits a little first. The event
    // has fired, so asking with wait = TRUE does not block; wine may still answer "incomplete" (996) for a
    // moment, and a wait that has not finished is no loss of the device: it stays armed (unfinished_).
    bool Finish(uint32_t& ev) {
        DWORD n = 0;
        if (GetOverlappedResult(h_, &waitOv_, &n, TRUE)) {
            waitPending_ = false;
            unfinished_ = false;
            ev = FromMask(waitMask_);
            reasonless_ = waitMask_ == 0 ? reasonless_ + 1 : 0;
            return true;
        }
        const DWORD e = GetLastError();
        unfinished_ = e == ERROR_IO_INCOMPLETE;
        if (unfinished_) return true;
        waitPending_ = false;
        if (e != ERROR_OPERATION_ABORTED) return false;
        ++reasonless_;
        return true;
    }

    // The bits a wait's mask stands for.
    static uint32_t FromMask(DWORD m) {
        uint32_t ev = 0;
        if (m & EV_RXCHAR) ev |= evRxChar;
        if (m & EV_CTS) ev |= evCTS;
        if (m & EV_DSR) ev |= evDSR;
        if (m & EV_RLSD) ev |= evRLSD;
        if (m & EV_BREAK) ev |= evBreak;
        if (m & EV_ERR) ev |= evErr;
        if (m & EV_RING) ev |= evRing;
        if (m & kRingTrailingEdge) ev |= evRingTE;
        return ev;
    }

    // Bytes queued and fresh line errors as event bits; negative when the device is gone.
    int LookAtDriver() {
        std::lock_guard<std::mutex> g(errLock_);
        const uint8_t before = pendingErrors_;
        const int queued = SampleLocked();
        if (queued < 0) return queued;
        const uint8_t fresh = pendingErrors_ & static_cast<uint8_t>(~before);
        int ev = queued > 0 ? static_cast<int>(evRxChar) : 0;
        if (fresh & 0x0F) ev |= evErr;
        if (fresh & 0x10) ev |= evBreak;
        return ev;
    }

    // ClearCommError: the error bits go to pendingErrors_; returns the count queued or a result code
    // (outQueue: the count still to send).
    int SampleLocked(DWORD* outQueue = nullptr) {
        DWORD errors = 0;
        COMSTAT st{};
        if (!ClearCommError(h_, &errors, &st)) return ResultFromSystem(GetLastError());
        // CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME and CE_BREAK are the layer's error bits.
        pendingErrors_ |= static_cast<uint8_t>(errors & 0x1F);
        if (outQueue) *outQueue = st.cbOutQue;
        return static_cast<int>(std::min<DWORD>(st.cbInQue, INT_MAX));
    }

    DWORD WaitMs(int timeoutMs, std::chrono::steady_clock::time_point deadline) const {
        DWORD ms = INFINITE;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            ms = static_cast<DWORD>(std::max<int64_t>(left.count(), 0));
        }
        return ms;
    }

    uint32_t Lost() {
        hungUp_ = true;
        // Bytes that arrived before the loss are still there to be read.
        DWORD errors = 0;
        COMSTAT st{};
        const bool bytes = ClearCommError(h_, &errors, &st) && st.cbInQue > 0;
        return evHangup | (bytes ? evRxChar : 0u);
    }

    // One overlapped write; the count written (0 after a cancel) or a result code.
    int WriteChunk(const uint8_t* buf, int n) {
        OVERLAPPED ov{};
        ov.hEvent = writeDone_.Get();
        ResetEvent(ov.hEvent);
        DWORD put = 0;
        if (WriteFile(h_, buf, static_cast<DWORD>(n), &put, &ov)) return static_cast<int>(put);
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) return ResultFromSystem(e);
        const HANDLE handles[2] = {writeCancel_.Get(), writeDone_.Get()};
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) CancelIoEx(h_, &ov);
        if (GetOverlappedResult(h_, &ov, &put, TRUE))
            return r == WAIT_OBJECT_0 + 1 ? static_cast<int>(put) : 0;
        e = GetLastError();
        if (e == ERROR_OPERATION_ABORTED) return 0;
        return ResultFromSystem(e);
    }

    // Waits until the driver's transmit queue is empty, at most BreakDrainMs; false when it is not.
    bool OutputSent() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BreakDrainMs);
        for (;;) {
            DWORD queued = 0;
            {
                std::lock_guard<std::mutex> g(errLock_);
                if (SampleLocked(&queued) < 0) return true; // the break call will say what is wrong
            }
            if (queued == 0) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            Sleep(5);
        }
    }

    int Escape(DWORD func) {
        if (EscapeCommFunction(h_, func)) return 0;
        const DWORD e = GetLastError();
        return NoModemLines(e) ? 0 : ResultFromSystem(e); // nothing to switch on this device
    }

    HANDLE h_ = INVALID_HANDLE_VALUE;
    std::string note_;
    DCB savedState_{};
    COMMTIMEOUTS savedTimeouts_{};
    TSxLineSettings current_;
    DWORD mask_ = 0;
    TEvent waitDone_{true};
    TEvent wake_{false}; // CancelWait and HoldInput(false); auto-reset, so an early cancel ends the next wait
    TEvent readDone_{true};
    TEvent writeDone_{true};
    TEvent writeCancel_{false};
    OVERLAPPED waitOv_{}; // with waitMask_: in the driver's hands while waitPending_
    DWORD waitMask_ = 0;
    bool waitPending_ = false; // dispatch thread only (and Close)
    int reasonless_ = 0;       // waits in a row that ended without a reason
    bool unfinished_ = false;  // the pending wait's event fired, but the system called it incomplete
    std::atomic<bool> held_{false};
    std::atomic<bool> cancelWait_{false};
    bool hungUp_ = false;
    bool hasModemLines_ = true;
    bool breakOn_ = false; // the line is held in the break state
    std::mutex errLock_;
    uint8_t pendingErrors_ = 0;
};

std::unique_ptr<ISxDevice> SxCreateOsDevice() {
    return std::make_unique<TSxWin32Device>();
}

// Windows keeps no lock file and names no holder of a COM port to an ordinary program: the open's "access
// denied" is all there is, and the message says the port is in use without a name.
std::string SxPortHolder(const std::string& /*devicePath*/) {
    return {};
}

} // namespace sx
