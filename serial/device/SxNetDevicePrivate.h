#pragma once
// The network device's class and the helpers its four files share (SxNetDevice.cpp: connection and host
// lookup; SxNetDeviceTelnet.cpp: control commands, confirmations, the socket pump; SxNetDeviceComPort.cpp:
// the COM-port option; SxNetDeviceData.cpp: the data path). Included by those files only.
//
// A COM port mapped to a terminal server on the network: "rfc2217://host:port" speaks Telnet with
// the COM-PORT-OPTION, so that line settings, DTR/RTS, flow control and the modem lines travel to
// and from the server's serial port; "tcp://host:port" carries the bytes alone, without line control
// (a line that is always ready, like a pseudo-terminal).
//
// Whoever needs the server's answers reads the socket: the dispatch thread while it waits for
// events, a setter while it waits for a confirmation (the dispatch thread is not running yet while
// the port opens). Both read under one lock into the input buffer; a setter that took line data
// wakes the waiting dispatch thread so that the data is announced. Writes go out under a second
// lock, so that a control command never lands between the two bytes of an escaped 0xFF.

#include "serial/core/SxDevice.h"
#include "serial/device/SxSocket.h"
#include "serial/device/SxTelnetParser.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sx::net {

using Clock = std::chrono::steady_clock;

constexpr int ConnectTimeoutMs = 3000;    // a dead server costs the GUI at most this at open
constexpr int NegotiateTimeoutMs = 1500;  // for the server's answer to WILL COM-PORT-OPTION
constexpr int ConfirmTimeoutMs = 1000;    // for a server to confirm line settings
constexpr int ControlSendTimeoutMs = 1000; // for a control command to get onto the wire
constexpr size_t HeldInputLimit = 65536;  // read no further from the socket while input is held

inline int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The right to put bytes on the socket. A plain flag under a mutex rather than a timed mutex, so
// that a control command can give up after a bounded wait (and ThreadSanitizer follows it).
class TxGate {
public:
    bool Enter(int timeoutMs) { // timeoutMs < 0: without limit
        std::unique_lock<std::mutex> lk(m_);
        auto free = [&] { return !busy_; };
        if (timeoutMs < 0)
            cv_.wait(lk, free);
        else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), free))
            return false;
        busy_ = true;
        return true;
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> g(m_);
            busy_ = false;
        }
        cv_.notify_one();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool busy_ = false;
};

struct TxHold {
    TxHold(TxGate& gate, int timeoutMs) : Gate(gate), Held(gate.Enter(timeoutMs)) {}
    ~TxHold() {
        if (Held) Gate.Leave();
    }
    TxHold(const TxHold&) = delete;
    TxHold& operator=(const TxHold&) = delete;
    TxGate& Gate;
    const bool Held;
};

class TSxNetDevice : public ISxDevice {
public:
    TSxNetDevice();
    ~TSxNetDevice() override;
    int Open(const std::string& name, uint16_t, uint16_t) override;
    void Close() override;
    std::string OpenNote() const override;
    int GetLine(TSxLineSettings& s) override;
    int SetLine(const TSxLineSettings& s) override;
    int SetDTR(bool on) override { return SetControlLine(on ? tn::ctlDtrOn : tn::ctlDtrOff); }
    int SetRTS(bool on) override { return SetControlLine(on ? tn::ctlRtsOn : tn::ctlRtsOff); }
    int ModemLines(uint8_t& lines) override;
    uint8_t TakeErrors() override;
    int BytesWaiting() override;
    int Read(uint8_t* buf, int n) override;
    void HoldInput(bool held) override;
    int Write(const uint8_t* buf, int n) override;
    void CancelWrite() override;
    uint32_t WaitEvent(int timeoutMs = -1) override;
    void CancelWait() override;
    void PurgeInput() override;
    void PurgeOutput() override;
    int SetBreak(bool on) override;

private:
    static constexpr uint8_t AlwaysReady = 0x10 | 0x20 | 0x80; // CTS, DSR, DCD

    static std::vector<uint8_t> Cmd(uint8_t c, std::vector<uint8_t> v) { return SxComPortCommand(c, v); }
    static uint8_t FlowValue(const TSxLineSettings& s);

    // The data path.
    size_t SourceCountImpl(const std::vector<uint8_t>& wire, size_t sent) const;
    int SourceCount(const std::vector<uint8_t>& wire, size_t sent) const;
    static bool OddIacTail(const std::vector<uint8_t>& wire, size_t sent);
    int SendLocked(const uint8_t* p, size_t n, size_t& sent, int timeoutMs, bool cancellable);

    // The connection.
    void ResetLocked();
    void AddNoteLocked(const std::string& line);
    int Connect(const std::string& host, const std::string& port);
    void MarkHungUp();

    // Control commands and the server's answers.
    bool SendControl(const std::vector<uint8_t>& bytes);
    int SendAndConfirm(const std::vector<std::vector<uint8_t>>& cmds, const std::vector<uint8_t>& expect,
                       const char* what);
    int SetControlLine(uint8_t value);
    void PumpLocked(std::vector<uint8_t>& replies);
    void ApplyLocked(const TSxComPortReply& c);

    // Waits until done() holds (checked under mu_) or the deadline passes, reading the socket itself
    // in short slices so that answers arrive before the dispatch thread runs. True when done.
    template <class Pred> bool WaitFor(Clock::time_point deadline, Pred done) {
        for (;;) {
            std::vector<uint8_t> replies;
            bool fin;
            {
                std::unique_lock<std::mutex> lk(mu_);
                const size_t before = rx_.size() - rxPos_;
                const uint32_t evBefore = pendingEv_;
                PumpLocked(replies);
                // Data or line events taken here belong to the dispatch thread's wait: wake it.
                if (rx_.size() - rxPos_ != before || pendingEv_ != evBefore || hungUp_) SxPoke(waitWake_[1]);
                fin = done();
                if (!fin && replies.empty()) {
                    const int left = MsLeft(deadline);
                    if (left == 0) return false;
                    cv_.wait_for(lk, std::chrono::milliseconds(std::min(left, 20)));
                    fin = done();
                }
            }
            if (!replies.empty()) SendControl(replies);
            if (fin) return true;
            if (MsLeft(deadline) == 0) return false;
        }
    }

    int fd_ = -1;
    int waitWake_[2] = {-1, -1};
    int writeWake_[2] = {-1, -1};
    std::atomic<bool> telnet_{false};  // the stream is Telnet (escaped, with commands)
    std::atomic<bool> comPort_{false}; // the server agreed to the COM port option
    std::atomic<bool> held_{false};
    std::atomic<bool> cancelWait_{false};
    std::atomic<bool> cancelWrite_{false};
    std::atomic<bool> suspended_{false}; // the server asked us to stop sending
    std::atomic<bool> breakOn_{false};   // the server's line is held in the break state
    bool hangupReported_ = false;        // dispatch thread only

    TxGate txGate_;
    mutable std::mutex mu_; // everything below
    std::condition_variable cv_;
    std::atomic<bool> hungUp_{false};
    TSxTelnetParser parser_;
    TSxTelnetOutput out_;
    std::vector<uint8_t> rx_;
    size_t rxPos_ = 0;
    uint32_t pendingEv_ = 0;
    uint8_t errors_ = 0;
    uint8_t lines_ = AlwaysReady;
    bool silent_[16] = {};  // commands the server left unanswered once: not waited for again
    bool lineSent_ = false; // the first SetLine sends everything
    uint32_t answers_[16] = {};
    TSxLineSettings requested_;
    TSxLineSettings confirmed_;
    std::string name_;
    std::string note_;
};

} // namespace sx::net
