#pragma once
// The simulated line: an in-process null-modem cable. Its near end is a device that a dispatcher
// opens by name ("sim" is the line named "", "sim:NAME" the line NAME); its far end is this object,
// driven by tests and by the simulated modem and controller. Each end has its own lines: the far end
// sets CTS, DSR, DCD and RI and sees the near end's DTR and RTS. Lines start with CTS and DSR on.
// Optionally the near end's output is paced at its baud rate (10 bits per byte and more with parity
// or two stop bits); flow control is not simulated. A break from the near end reaches the far end with
// its length once it ends; one from the far end is the near end's line error 16.

#include "serial/core/SxDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sx {

class TSxSimLine {
public:
    // The line with that name, made on first use; it lives as long as the process.
    static std::shared_ptr<TSxSimLine> Get(const std::string& name);
    // The line name in a device name: "sim" -> "", "sim:NAME" -> "NAME".
    static std::string LineName(const std::string& deviceName);

    // ---- The far end -------------------------------------------------------------------------
    // Sends bytes to the near end.
    void Write(const void* data, size_t n);
    void Write(const std::string& s) { Write(s.data(), s.size()); }
    // Takes up to max bytes the near end sent, waiting at most timeoutMs for the first.
    std::string Read(size_t max, int timeoutMs);
    // Takes exactly n bytes, waiting at most timeoutMs in all; fewer when the time ran out.
    std::string ReadExactly(size_t n, int timeoutMs);
    // Bytes written by the far end that the near end has not read yet.
    size_t PendingToNear() const;
    // Bytes the near end sent go to this callback instead (on the near end's output thread).
    void SetOnData(std::function<void(const uint8_t* data, size_t n)> onData);
    // Called, without the line's lock, whenever the near end opens or closes, changes DTR or RTS or
    // its line settings: for a far end that sleeps until something happens (the simulated modem).
    void SetOnNearChange(std::function<void()> onChange);
    // The far end's lines in status-byte form: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD.
    void SetLines(uint8_t lines);
    void SetLine(uint8_t line, bool on);
    uint8_t Lines() const;
    // The near end's output lines.
    bool DTR() const;
    bool RTS() const;
    // Waits until pred holds (checked whenever the near end changes something), at most timeoutMs.
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);
    // Makes the near end see line errors (1 overflow, 2 overrun, 4 parity, 8 framing, 16 break).
    void InjectErrors(uint8_t bits);
    // A break from the far end: the near end sees line error 16.
    void SendBreak() { InjectErrors(0x10); }
    // The near end's breaks go to this callback as each ends, with its length in ms (on the thread that
    // ended it, without the line's lock); unset, they are kept for TakeBreaks.
    void SetOnBreak(std::function<void(int ms)> onBreak);
    std::vector<int> TakeBreaks();
    // The near end holds its line in the break state just now.
    bool NearBreak() const;
    // Pulls the cable: the near end sees a hang-up, its I/O fails and it cannot be opened until Plug.
    void Unplug();
    void Plug();
    bool NearOpen() const;
    void SetPaced(bool paced);
    TSxLineSettings NearSettings() const;

private:
    friend class TSxSimDevice;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint8_t> toNear_, toFar_;
    std::function<void(const uint8_t*, size_t)> onData_;
    std::function<void()> onNearChange_;
    std::function<void(int)> onBreak_;
    std::vector<int> breaks_;
    bool nearBreak_ = false;
    std::chrono::steady_clock::time_point breakStart_;
    void NearChanged();
    // Ends a break of the near end that is on (taking the line's lock) and hands it to the far end.
    void EndNearBreak();
    uint8_t farLines_ = 0x30;
    bool dtr_ = false, rts_ = false;
    bool nearOpen_ = false;
    bool plugged_ = true;
    bool paced_ = false;
    bool held_ = false;
    bool cancelWait_ = false, cancelWrite_ = false;
    uint32_t events_ = 0;
    uint8_t errors_ = 0;
    TSxLineSettings settings_;
};

} // namespace sx
