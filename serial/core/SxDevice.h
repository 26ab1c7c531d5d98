#pragma once
// The device a dispatcher drives: one small interface, one implementation per kind of device
// (serial/device/: the POSIX termios line, the simulated line). Every call returns 0 or a positive
// value for success and a negative result code of the serial layer for failure.
//
// Threads: WaitEvent, Read and BytesWaiting are called only by the dispatch thread, Write only by
// the output thread; CancelWait and CancelWrite may be called from any thread
// and make a pending WaitEvent/Write return early. The remaining calls are made under the
// dispatcher's general lock. Close is called once no thread uses the device any more.

#include <cstdint>
#include <memory>
#include <string>

namespace sx {

// Line settings as the device holds them.
struct TSxLineSettings {
    int32_t Baud = 19200;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t DataBits = 8;  // 5..8
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    // DTR: 0 off, 1 on, 2 under handshake. The dispatcher runs the DTR handshake itself (it drops
    // and raises DTR by the fill of its input ring through SetDTR); the device raises DTR for 2.
    uint8_t DtrControl = 1;
    // RTS: 0 off, 1 on, 2 under handshake (the device's or driver's), 3 toggled while sending (RS-485
    // turnaround; a device that cannot do it refuses the setting with ecSettingNotSupported).
    uint8_t RtsControl = 1;
    bool OutxCtsFlow = false; // output waits for CTS (the device's or driver's)
    bool OutxDsrFlow = false; // output waits for DSR (the dispatcher holds its output; devices may ignore it)
    bool OutX = false;        // output obeys XON/XOFF
    bool InX = false;         // input sends XON/XOFF
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t XonChar = 17;
    uint8_t XoffChar = 19;

    bool operator==(const TSxLineSettings&) const = default;
};

// Event bits returned by WaitEvent.
enum : uint32_t {
    evRxChar = 0x0001,    // bytes arrived
    evCTS = 0x0008,       // a modem line changed
    evDSR = 0x0010,
    evRLSD = 0x0020,      // DCD
    evBreak = 0x0040,
    evErr = 0x0080,       // framing, overrun or parity error
    evRing = 0x0100,      // ring indicator came on
    evRingTE = 0x2000,    // ring indicator went off (trailing edge)
    evHangup = 0x10000,   // the device is gone (unplugged, peer closed): nothing more will come
};
constexpr uint32_t evModemLines = evCTS | evDSR | evRLSD | evRing | evRingTE;

class ISxDevice {
public:
    virtual ~ISxDevice() = default;

    // Opens the named device exclusively with queue sizes as hints. 0 or a negative result code.
    virtual int Open(const std::string& name, uint16_t inSize, uint16_t outSize) = 0;
    // Restores what Open changed and releases the device. Safe to call twice.
    virtual void Close() = 0;
    // A remark on the last successful Open for the port's log (for instance that the device could
    // not be locked against other programs by a lock file); empty when there is none.
    virtual std::string OpenNote() const { return std::string(); }

    virtual int GetLine(TSxLineSettings& settings) = 0;
    virtual int SetLine(const TSxLineSettings& settings) = 0;
    virtual int SetDTR(bool on) = 0;
    virtual int SetRTS(bool on) = 0;
    // Current modem input lines in status-byte form: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD.
    virtual int ModemLines(uint8_t& lines) = 0;
    // Fetches and clears the error bits seen since the last call (1 receive overflow, 2 overrun,
    // 4 parity, 8 framing, 16 break).
    virtual uint8_t TakeErrors() = 0;

    // Bytes waiting in the driver, or a negative code when the device is gone.
    virtual int BytesWaiting() = 0;
    // Reads up to n bytes without waiting; the count read, or a negative code.
    virtual int Read(uint8_t* buf, int n) = 0;
    // Tells the device that the reader takes no input for now (its ring is full), so that WaitEvent
    // does not keep reporting evRxChar for bytes nobody reads. Clearing it re-arms evRxChar.
    virtual void HoldInput(bool held) = 0;

    // Writes n bytes, waiting until they are handed to the driver or CancelWrite is called. Returns
    // the count written (less than n after a cancel), or a negative code on failure.
    virtual int Write(const uint8_t* buf, int n) = 0;
    virtual void CancelWrite() = 0;

    // Waits for the next device event and returns its bits; returns 0 after CancelWait or when
    // timeoutMs (-1: no limit) passed first, and evHangup once the device is gone (a later call
    // returns evHangup again at once). A CancelWait made while nobody waits ends the next wait.
    virtual uint32_t WaitEvent(int timeoutMs = -1) = 0;
    virtual void CancelWait() = 0;

    // Discard what the driver holds on one side.
    virtual void PurgeInput() = 0;
    virtual void PurgeOutput() = 0;

    // Holds the transmit line in the break state (on) or releases it. Before the break starts, what
    // the driver still holds goes out; output that cannot leave in time (stopped by flow control)
    // refuses the break with ecOutputStalled. A device that carries no break (raw TCP, a
    // pseudo-terminal) answers ecBreakNotSupported. Close releases a break that is still on.
    virtual int SetBreak(bool on) = 0;
};

// Makes the device for a name: "sim" or "sim:NAME" is the simulated line, "simmodem" or
// "simmodem:NAME" a simulated line with the simulated Hayes modem at its far end, "simctl" or
// "simctl:FAULT" one with the simulated lift controller straight at its far end,
// "rfc2217://host:port" and "tcp://host:port" a port on a terminal server, anything else a device
// path of the operating system.
std::unique_ptr<ISxDevice> SxCreateDevice(const std::string& name);

} // namespace sx
