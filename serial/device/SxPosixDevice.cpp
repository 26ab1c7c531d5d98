// The serial device of a POSIX system through termios.
//
// A device without modem lines (a pseudo-terminal answers TIOCMGET with ENOTTY) counts as a line
// that is always ready: CTS, DSR and DCD on. Modem lines and error counters are sampled every 50 ms
// while waiting, but only on devices that have them; otherwise the wait sleeps until data arrives.
// Line errors come from the driver's counters (TIOCGICOUNT) where it keeps them. The device is held
// exclusively: a UUCP lock file, a descriptor lock and exclusive mode.
//
// A break is the driver's (TIOCSBRK/TIOCCBRK), timed by the caller. Linux pseudo-terminals take the
// calls and send nothing, not even a byte, so a break on one is refused rather than reported as sent.

#include "serial/device/SxDevices.h"
#include "serial/device/SxPortLock.h"
#include "serial/device/SxSocket.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace sx {

namespace {

// The one place where errno becomes a result code. Other numbers are passed on negated, so that the
// message names the system's reason, except where the negated number would read as a different error
// of the layer's own I/O range.
int ResultFromErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return ecBadId;
    case EBUSY: return ecAlreadyOpen;
    case EACCES: // the user may not open the device (not in its group, usually "dialout")
    case EPERM: return ecNoPermission;
    case EIO: return ecGeneralFailure;  // -5 would say "access denied" and read as "in use"
    case ENOMEM: return ecOutOfMemory;  // -12 would say "invalid file access code"
    default: return e > 0 && e < 32768 ? -e : ecGeneralFailure;
    }
}

// A path that exists but is no character device: the code that says what it is instead.
int NotSerialCode(mode_t mode) {
    if (S_ISREG(mode)) return ecIsRegularFile;
    if (S_ISDIR(mode)) return ecIsDirectory;
    if (S_ISFIFO(mode)) return ecIsFifo;
    return ecNotSerialDevice;
}

bool NoModemLines(int e) { return e == ENOTTY || e == EINVAL; }

struct BaudEntry {
    int32_t baud;
    speed_t speed;
};
const BaudEntry kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {921600, B921600},
#endif
};

} // namespace

class TSxPosixDevice : public ISxDevice {
public:
    TSxPosixDevice() {
        SxMakeWakePair(waitWake_);
        SxMakeWakePair(writeWake_);
    }
    ~TSxPosixDevice() override {
        Close();
        SxCloseWakePair(waitWake_);
        SxCloseWakePair(writeWake_);
    }

    int Open(const std::string& name, uint16_t, uint16_t) override {
        if (waitWake_[0] < 0 || writeWake_[0] < 0) return ecNoHandles;
        // A file, a pipe or a directory mapped as a port is said to be one, not opened and not locked.
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) return NotSerialCode(st.st_mode);
        // Exclusive, in the three ways serial programs on Linux agree on. The lock file comes first,
        // so that a device another program holds is not even opened (an open can move its lines).
        // Without a lock directory, or without the right to write there, the port goes on with the
        // other two and says so in its log.
        const TSxLockResult lock = SxTakeLockFile(name);
        if (lock.Code != 0) return lock.Code;
        auto fail = [&](int fd, int code) {
            if (fd >= 0) ::close(fd);
            SxReleaseLockFile(lock.Path);
            return code;
        };
        const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // EBUSY: another program set exclusive mode (TIOCEXCL).
        if (fd < 0) return fail(-1, ResultFromErrno(errno));
        if (!::isatty(fd)) return fail(fd, ecNotSerialDevice);
        // The descriptor lock keeps out every program that locks as we do, privileged or not;
        // exclusive mode keeps out every other open except a privileged one.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, ResultFromErrno(errno == EWOULDBLOCK ? EBUSY : errno));
        ::ioctl(fd, TIOCEXCL);
        if (::tcgetattr(fd, &saved_) != 0) return fail(fd, ResultFromErrno(errno));
        termios t = saved_;
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                            IXOFF | IXANY | INPCK);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag |= CREAD | CLOCAL;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(fd, ResultFromErrno(errno));
        fd_ = fd;
        lockPath_ = lock.Path;
        note_ = lock.Note;
        rs485On_ = false;
        breakOn_ = false;
        pty_ = IsPseudoTerminal(fd);
        hungUp_ = false;
        cancelWait_ = false;
        held_ = false;
        SxDrain(waitWake_[0]);
        SxDrain(writeWake_[0]);
        int bits = 0;
        hasModemLines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0;
        lastLines_ = hasModemLines_ ? LinesFromBits(bits) : AlwaysReady;
        std::lock_guard<std::mutex> g(errLock_);
        pendingErrors_ = 0;
        hasCounters_ = ReadCounters(lastCount_);
        return 0;
    }

    void Close() override {
        if (fd_ < 0) return;
        if (breakOn_) SetBreak(false);
        if (rs485On_) SetRs485(false);
        ::tcsetattr(fd_, TCSANOW, &saved_);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_); // releases the descriptor lock too
        fd_ = -1;
        SxReleaseLockFile(lockPath_);
        lockPath_.clear();
    }

    std::string OpenNote() const override { return note_; }

    int GetLine(TSxLineSettings& s) override {
        termios t;
        if (::tcgetattr(fd_, &t) != 0) return ResultFromErrno(errno);
        s = current_;
        s.Baud = 0;
        const speed_t sp = ::cfgetospeed(&t);
        for (const auto& b : kBauds)
            if (b.speed == sp) s.Baud = b.baud;
        if (!(t.c_cflag & PARENB))
            s.Parity = 0;
#ifdef CMSPAR
        else if (t.c_cflag & CMSPAR)
            s.Parity = (t.c_cflag & PARODD) ? 3 : 4;
#endif
        else
            s.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        switch (t.c_cflag & CSIZE) {
        case CS5: s.DataBits = 5; break;
        case CS6: s.DataBits = 6; break;
        case CS7: s.DataBits = 7; break;
        default: s.DataBits = 8; break;
        }
        s.StopBits = (t.c_cflag & CSTOPB) ? (s.DataBits == 5 ? 1 : 2) : 0;
        s.OutX = (t.c_iflag & IXON) != 0;
        s.InX = (t.c_iflag & IXOFF) != 0;
        s.XonChar = t.c_cc[VSTART];
        s.XoffChar = t.c_cc[VSTOP];
        return 0;
    }

    int SetLine(const TSxLineSettings& s) override {
        termios t;
        if (::tcgetattr(fd_, &t) != 0) return ResultFromErrno(errno);
        speed_t speed = 0;
        bool found = false;
        for (const auto& b : kBauds)
            if (b.baud == s.Baud) {
                speed = b.speed;
                found = true;
            }
        if (!found) return ecBaudRate;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSIZE | CSTOPB);
#ifdef CMSPAR
        t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
        switch (s.Parity) {
        case 0: break;
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
#ifdef CMSPAR
        case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: return ecBadArgument;
        }
        switch (s.DataBits) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        case 8: t.c_cflag |= CS8; break;
        default: return ecByteSize;
        }
        if (s.StopBits != 0) t.c_cflag |= CSTOPB;
        if (s.RtsControl == 2 || s.OutxCtsFlow)
            t.c_cflag |= CRTSCTS;
        else
            t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        if (s.OutX) t.c_iflag |= IXON;
        if (s.InX) t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = s.XonChar;
        t.c_cc[VSTOP] = s.XoffChar;
        // RS-485 turnaround is the driver's (TIOCSRS485); a driver without it refuses the setting
        // before anything else changes.
        const bool rs485 = s.RtsControl == 3;
        if (rs485 != rs485On_) {
            const int r = SetRs485(rs485);
            if (r < 0 && rs485) return r;
        }
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return ResultFromErrno(errno);
        current_ = s;
        // The DTR handshake (2) is run by the dispatcher through SetDTR, and DSR-gated output by
        // the dispatcher's output path: termios has neither. DTR starts raised under handshake.
        int r = SetModemLine(TIOCM_DTR, s.DtrControl != 0);
        if (r < 0) return r;
        if (rs485) return 0; // the driver switches RTS around each transmission
        return SetModemLine(TIOCM_RTS, s.RtsControl == 1 || s.RtsControl == 2);
    }

    int SetDTR(bool on) override { return SetModemLine(TIOCM_DTR, on); }
    int SetRTS(bool on) override { return SetModemLine(TIOCM_RTS, on); }

    int ModemLines(uint8_t& lines) override {
        if (!hasModemLines_) {
            lines = AlwaysReady;
            return 0;
        }
        int bits = 0;
        if (::ioctl(fd_, TIOCMGET, &bits) != 0) return ResultFromErrno(errno);
        lines = LinesFromBits(bits);
        return 0;
    }

    uint8_t TakeErrors() override {
        std::lock_guard<std::mutex> g(errLock_);
        SampleErrorsLocked();
        const uint8_t e = pendingErrors_;
        pendingErrors_ = 0;
        return e;
    }

    int BytesWaiting() override {
        int n = 0;
        if (::ioctl(fd_, FIONREAD, &n) != 0) return ResultFromErrno(errno);
        return n;
    }

    int Read(uint8_t* buf, int n) override {
        for (;;) {
            const ssize_t r = ::read(fd_, buf, static_cast<size_t>(n));
            if (r >= 0) return static_cast<int>(r);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return ResultFromErrno(errno);
        }
    }

    void HoldInput(bool held) override {
        held_ = held;
        if (!held) SxPoke(waitWake_[1]); // the waiting poll takes up input again
    }

    int Write(const uint8_t* buf, int n) override {
        int done = 0;
        while (done < n) {
            const ssize_t w = ::write(fd_, buf + done, static_cast<size_t>(n - done));
            if (w > 0) {
                done += static_cast<int>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return done > 0 ? done : ResultFromErrno(errno);
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {writeWake_[0], POLLIN, 0}};
            const int p = ::poll(fds, 2, -1);
            if (p < 0 && errno != EINTR) return done > 0 ? done : ResultFromErrno(errno);
            if (fds[1].revents & POLLIN) {
                SxDrain(writeWake_[0]);
                return done; // cancelled
            }
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLOUT))
                return done > 0 ? done : ResultFromErrno(EIO);
        }
        return done;
    }

    void CancelWrite() override { SxPoke(writeWake_[1]); }

    uint32_t WaitEvent(int timeoutMs = -1) override {
        if (hungUp_) return evHangup;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            pollfd fds[2] = {{fd_, static_cast<short>(held_ ? 0 : POLLIN), 0}, {waitWake_[0], POLLIN, 0}};
            const bool sample = hasModemLines_ || hasCounters_;
            int waitMs = sample ? SampleMs : -1;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                const int leftMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
                waitMs = waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
            }
            const int p = ::poll(fds, 2, waitMs);
            if (p < 0) {
                if (errno == EINTR) continue;
                hungUp_ = true;
                return evHangup;
            }
            if (fds[1].revents & POLLIN) {
                SxDrain(waitWake_[0]);
                if (cancelWait_.exchange(false)) return 0;
            }
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                hungUp_ = true;
                // Bytes that arrived before the hang-up are still there to be read.
                return evHangup | ((fds[0].revents & POLLIN) ? evRxChar : 0u);
            }
            uint32_t ev = 0;
            if (fds[0].revents & POLLIN) ev |= evRxChar;
            if (hasModemLines_) {
                int bits = 0;
                if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
                    hungUp_ = true;
                    return evHangup;
                }
                const uint8_t lines = LinesFromBits(bits);
                const uint8_t d = lines ^ lastLines_;
                if (d & 0x10) ev |= evCTS;
                if (d & 0x20) ev |= evDSR;
                if (d & 0x80) ev |= evRLSD;
                if (d & 0x40) ev |= (lines & 0x40) ? evRing : evRingTE;
                lastLines_ = lines;
            }
            if (hasCounters_) {
                std::lock_guard<std::mutex> g(errLock_);
                const uint8_t before = pendingErrors_;
                SampleErrorsLocked();
                const uint8_t fresh = pendingErrors_ & static_cast<uint8_t>(~before);
                if (fresh & 0x0F) ev |= evErr;
                if (fresh & 0x10) ev |= evBreak;
            }
            if (ev) return ev;
            if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
        }
    }

    void CancelWait() override {
        cancelWait_ = true;
        SxPoke(waitWake_[1]);
    }

    void PurgeInput() override {
        if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
    }
    void PurgeOutput() override {
        if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
    }

    int SetBreak(bool on) override {
        if (on && pty_) return ecBreakNotSupported;
        // The kernel lets the driver's output drain before a break, without limit: it must be gone first.
        if (on && !OutputSent()) return ecOutputStalled;
        if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0)
            return on && NoModemLines(errno) ? ecBreakNotSupported : ResultFromErrno(errno);
        breakOn_ = on;
        return 0;
    }

private:
    static constexpr uint8_t AlwaysReady = 0x10 | 0x20 | 0x80; // CTS, DSR, DCD
    static constexpr int SampleMs = 50;
    static constexpr int BreakDrainMs = 2000;

    static uint8_t LinesFromBits(int bits) {
        uint8_t l = 0;
        if (bits & TIOCM_CTS) l |= 0x10;
        if (bits & TIOCM_DSR) l |= 0x20;
        if (bits & TIOCM_RNG) l |= 0x40;
        if (bits & TIOCM_CAR) l |= 0x80;
        return l;
    }

    // Switches the driver's RS-485 mode: RTS raised while sending, dropped after.
    int SetRs485(bool on) {
#if defined(__linux__) && defined(TIOCSRS485)
        serial_rs485 conf{};
        if (::ioctl(fd_, TIOCGRS485, &conf) != 0) {
            if (!on) return 0;
            return errno == EACCES || errno == EPERM ? ecNoPermission : ecSettingNotSupported;
        }
        if (on)
            conf.flags = (conf.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) & ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
        else
            conf.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
        if (::ioctl(fd_, TIOCSRS485, &conf) != 0) return on ? ecSettingNotSupported : 0;
        // Some drivers accept the call but keep the mode off: check what they made of it.
        if (on && (::ioctl(fd_, TIOCGRS485, &conf) != 0 || !(conf.flags & SER_RS485_ENABLED))) return ecSettingNotSupported;
        rs485On_ = on;
        return 0;
#else
        return on ? ecSettingNotSupported : 0;
#endif
    }

    // Waits until the driver has sent what it holds, at most BreakDrainMs; false when it still holds some.
    bool OutputSent() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BreakDrainMs);
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return true; // a driver that cannot tell
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // A pseudo-terminal's slave side (Linux: the Unix98 and the old BSD-style ones).
    static bool IsPseudoTerminal(int fd) {
#if defined(__linux__)
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        const unsigned maj = major(st.st_rdev);
        return (maj >= 136 && maj <= 143) || maj == 3;
#else
        (void)fd;
        return false;
#endif
    }

    int SetModemLine(int line, bool on) {
        if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
        if (NoModemLines(errno)) return 0; // nothing to switch on this device
        return ResultFromErrno(errno);
    }

#if defined(__linux__) && defined(TIOCGICOUNT)
    using Counters = serial_icounter_struct;
    bool ReadCounters(Counters& c) const { return fd_ >= 0 && ::ioctl(fd_, TIOCGICOUNT, &c) == 0; }
    void SampleErrorsLocked() {
        if (!hasCounters_) return;
        Counters c;
        if (!ReadCounters(c)) return;
        if (c.buf_overrun != lastCount_.buf_overrun) pendingErrors_ |= 1;
        if (c.overrun != lastCount_.overrun) pendingErrors_ |= 2;
        if (c.parity != lastCount_.parity) pendingErrors_ |= 4;
        if (c.frame != lastCount_.frame) pendingErrors_ |= 8;
        if (c.brk != lastCount_.brk) pendingErrors_ |= 16;
        lastCount_ = c;
    }
#else
    struct Counters {};
    bool ReadCounters(Counters&) const { return false; }
    void SampleErrorsLocked() {}
#endif

    int fd_ = -1;
    std::string lockPath_; // the lock file made at open, removed at close
    std::string note_;     // what the port's log should know about the open
    bool rs485On_ = false;
    bool breakOn_ = false; // the line is held in the break state
    bool pty_ = false;     // a pseudo-terminal: no break goes out
    termios saved_{};
    TSxLineSettings current_;
    int waitWake_[2] = {-1, -1};
    int writeWake_[2] = {-1, -1};
    std::atomic<bool> held_{false};
    std::atomic<bool> cancelWait_{false};
    bool hungUp_ = false;  // dispatch thread only
    bool hasModemLines_ = false;
    uint8_t lastLines_ = 0; // dispatch thread only (after open)
    std::mutex errLock_;
    bool hasCounters_ = false;
    Counters lastCount_{};
    uint8_t pendingErrors_ = 0;
};

std::unique_ptr<ISxDevice> SxCreateOsDevice() { return std::make_unique<TSxPosixDevice>(); }

} // namespace sx
