// ini4zav-modemsim: the simulated Hayes modem on a pseudo-terminal. It prints the terminal's device
// path as its first line and then serves the modem there in real time until it is told to stop
// (SIGINT, SIGTERM) or the program on the other side has closed the device and not opened it again
// within the grace time.
//
// A pseudo-terminal carries no modem lines: the program on the other side cannot see DCD, DSR or
// CTS from here (its serial layer treats such a device as always ready), and its DTR cannot be seen
// either. What can be seen stands in for DTR: the device being closed (a closed port drops DTR) and
// the line speed set to 0 (the POSIX way to drop DTR). So "+++" with ATH, or closing the device,
// hang up a call here.

#include "sim/FarEnds.h"
#include "sim/HayesModem.h"
#include "sim/LoopbackPeer.h"
#include "sim/SimController.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// SIGINT and SIGTERM arrive as readable data here, waited for with the device: no handler runs.
int gSignalFd = -1;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct TOptions {
    sim::TModemOptions Modem;
    bool Echo = false;
    int GraceSeconds = 60;
    int CallAfterSeconds = -1; // an incoming call this long after the start, or none
};

void Help() {
    std::printf(
        "Aufruf: ini4zav-modemsim [Optionen]\n"
        "\n"
        "Simuliertes Hayes-Modem auf einem Pseudo-Terminal. Die erste Ausgabezeile ist der Gerätepfad\n"
        "(z. B. /dev/pts/5); ihn trägt man im Programm-INI unter [devices] ein, etwa COM1=/dev/pts/5.\n"
        "Danach bedient das Programm das Modem in Echtzeit, bis es SIGINT oder SIGTERM erhält oder die\n"
        "Gegenseite das Gerät geschlossen und in der Nachlaufzeit nicht wieder geöffnet hat.\n"
        "\n"
        "Optionen:\n"
        "  --fehler NAME     jede Verbindung zeigt diesen Fehler der Gegenstelle, statt ihn aus der\n"
        "                    Nummer zu nehmen: keiner, stumm, nak, prüfsumme, spät, auflegen\n"
        "  --echo            die Gegenstelle sendet zurück, was sie empfängt (sonst antwortet die\n"
        "                    simulierte Aufzugssteuerung: nach \"AT01\" beantwortet sie 01 mit 06 15 15,\n"
        "                    danach das Leitungsprotokoll; ihr Name ist \"SIM-ZAV 1\")\n"
        "  --tempo PROZENT   Dauer von Wählton, Wählen, Klingeln und Verbindungsaufbau in Prozent\n"
        "                    der wirklichen (Vorgabe 100, 1 bis 1000)\n"
        "  --nachlauf SEK    so lange auf erneutes Öffnen warten, nachdem die Gegenseite das Gerät\n"
        "                    geschlossen hat (Vorgabe 60; 0 beendet sofort)\n"
        "  --anruf SEK       SEK Sekunden nach dem Start ruft jemand an: RING, bis ATA oder S0 abnimmt\n"
        "  --help            diese Hilfe\n"
        "\n"
        "Wählnummern (ATD; nur die Ziffern zählen, die letzten zwei wählen die Zeile; Texte wie bei "
        "ATI7):\n");
    for (const auto& l : sim::NumberTableText())
        std::printf("%s\n", l.c_str());
    std::printf("\n"
                "Ein Pseudo-Terminal führt keine Modemleitungen: DCD ist auf der Gegenseite nicht zu sehen,\n"
                "und ein Abfallen von DTR kann das Modem nicht erkennen. Auflegen geht hier mit \"+++\" und\n"
                "ATH oder durch Schließen des Geräts; auch die Leitungsgeschwindigkeit 0 gilt als DTR aus.\n"
                "ATI7 zeigt die Nummerntabelle auch im Modem selbst.\n");
}

bool ParseInt(const char* s, int lo, int hi, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

// 0: run, 1: help shown, 2: bad arguments.
int ParseArgs(int argc, char** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            Help();
            return 1;
        } else if (a == "--echo") {
            o.Echo = true;
        } else if (a == "--fehler") {
            const char* v = value();
            const auto f = v ? sim::FaultFromName(v) : std::nullopt;
            if (!f) {
                std::fprintf(stderr, "ini4zav-modemsim: unbekannter Fehler \"%s\" (siehe --help)\n",
                             v ? v : "");
                return 2;
            }
            o.Modem.Fault = *f;
        } else if (a == "--tempo") {
            const char* v = value();
            if (!v || !ParseInt(v, 1, 1000, o.Modem.TimeScalePercent)) {
                std::fprintf(stderr, "ini4zav-modemsim: --tempo braucht eine Zahl von 1 bis 1000\n");
                return 2;
            }
        } else if (a == "--nachlauf") {
            const char* v = value();
            if (!v || !ParseInt(v, 0, 86400, o.GraceSeconds)) {
                std::fprintf(stderr, "ini4zav-modemsim: --nachlauf braucht Sekunden von 0 bis 86400\n");
                return 2;
            }
        } else if (a == "--anruf") {
            const char* v = value();
            if (!v || !ParseInt(v, 0, 86400, o.CallAfterSeconds)) {
                std::fprintf(stderr, "ini4zav-modemsim: --anruf braucht Sekunden von 0 bis 86400\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "ini4zav-modemsim: unbekannte Option \"%s\" (siehe --help)\n", a.c_str());
            return 2;
        }
    }
    return 0;
}

int32_t BaudOf(speed_t s) {
    switch (s) {
    case B0:
        return 0;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 19200;
    }
}

// The pseudo-terminal and the modem on it.
class TServer {
public:
    static constexpr size_t MaxQueued = 64 * 1024;
    static constexpr int64_t ChunkUs = 10000;
    static constexpr int HangupRecheckMs = 200; // how often a closed device is looked at again

    TServer(int master, const TOptions& o)
        : master_(master), grace_(int64_t(o.GraceSeconds) * 1000000),
          callAtUs_(o.CallAfterSeconds < 0 ? -1 : NowUs() + int64_t(o.CallAfterSeconds) * 1000000),
          modem_(o.Echo ? sim::TFarEndFactory([](sim::TFault f) -> std::unique_ptr<sim::IFarEnd> {
                     return std::make_unique<sim::TLoopbackPeer>(f);
                 })
                        : sim::CurrentDefaultFarEnds(),
                 o.Modem, NowUs() / 1000) {
        modem_.SetOutput([this](const std::string& b) {
            if (closed_) return; // nobody reads: the bytes are lost, as on a cable
            const size_t room = MaxQueued - std::min(MaxQueued, out_.size());
            out_.append(b, 0, std::min(room, b.size()));
        });
    }

    // Serves until a signal or the other side is gone for good. Returns the exit code.
    int Run() {
        for (;;) {
            const int64_t nowUs = NowUs();
            int timeoutMs = -1;
            const int64_t wakeUs = NextWakeUs(nowUs);
            if (wakeUs >= 0)
                timeoutMs = static_cast<int>(std::clamp<int64_t>((wakeUs - nowUs + 999) / 1000, 0, 60000));
            pollfd fds[2] = {{gSignalFd, POLLIN, 0}, {master_, POLLIN, 0}};
            nfds_t n = 2;
            if (closed_) {
                // A closed device reports POLLHUP at once and for as long as it stays closed: it is
                // looked at again every little while instead.
                n = 1;
                timeoutMs = timeoutMs < 0 ? HangupRecheckMs : std::min(timeoutMs, HangupRecheckMs);
            } else if (!out_.empty() && freeAtUs_ <= nowUs) {
                fds[1].events |= POLLOUT;
            }
            const int r = poll(fds, n, timeoutMs);
            if (r < 0 && errno != EINTR) {
                std::perror("ini4zav-modemsim: poll");
                return 1;
            }
            if (fds[0].revents & POLLIN) return 0; // SIGINT or SIGTERM
            const int64_t now = NowUs();
            if (closed_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
                    closed_ = false; // opened again
                } else if (now - closedSinceUs_ >= grace_) {
                    return 0; // gone for good
                }
            } else if (n == 2 && (fds[1].revents & (POLLHUP | POLLERR))) {
                if (!(fds[1].revents & POLLIN) || !ReadInput(now)) MarkClosed(now);
            } else if (n == 2 && (fds[1].revents & POLLIN)) {
                if (!ReadInput(now)) MarkClosed(now);
            }
            modem_.SetDTR(!closed_ && LineBaud() != 0, now / 1000);
            if (callAtUs_ >= 0 && now >= callAtUs_) {
                callAtUs_ = -1;
                modem_.IncomingCall(now / 1000);
            }
            modem_.Advance(now / 1000);
            if (!closed_ && !WriteOutput(now)) MarkClosed(now);
        }
    }

private:
    void MarkClosed(int64_t nowUs) {
        if (closed_) return;
        closed_ = true;
        closedSinceUs_ = nowUs;
        out_.clear();
        modem_.SetDTR(false, nowUs / 1000);
    }

    // False when the other side has closed the device.
    bool ReadInput(int64_t nowUs) {
        char buf[4096];
        const ssize_t k = read(master_, buf, sizeof buf);
        if (k > 0) {
            modem_.Receive(std::string(buf, static_cast<size_t>(k)), nowUs / 1000);
            return true;
        }
        return k < 0 && (errno == EAGAIN || errno == EINTR);
    }

    int32_t LineBaud() const {
        termios t{};
        if (tcgetattr(master_, &t) != 0) return 19200;
        return BaudOf(cfgetospeed(&t));
    }

    // Writes what is due at the line speed the other side set. False when it has closed the device.
    bool WriteOutput(int64_t nowUs) {
        if (out_.empty() || freeAtUs_ > nowUs) return true;
        const int32_t baud = std::max<int32_t>(LineBaud(), 300);
        byteUs_ = std::max<int64_t>(1, 10LL * 1000000 / baud);
        const size_t want =
            std::min(out_.size(), static_cast<size_t>(std::max<int64_t>(1, ChunkUs / byteUs_)));
        const ssize_t k = write(master_, out_.data(), want);
        if (k < 0) return errno == EAGAIN || errno == EINTR; // full: POLLOUT tells when it drains
        out_.erase(0, static_cast<size_t>(k));
        freeAtUs_ = std::max(freeAtUs_, nowUs - ChunkUs) + int64_t(k) * byteUs_;
        return true;
    }

    int64_t NextWakeUs(int64_t nowUs) const {
        int64_t wake = -1;
        const int64_t due = modem_.NextDueMs();
        if (due >= 0) wake = due * 1000;
        if (!closed_ && !out_.empty() && freeAtUs_ > nowUs && (wake < 0 || freeAtUs_ < wake))
            wake = freeAtUs_;
        if (callAtUs_ >= 0 && (wake < 0 || callAtUs_ < wake)) wake = callAtUs_;
        return wake;
    }

    int master_;
    int64_t grace_;
    int64_t callAtUs_;
    sim::THayesModem modem_;
    std::string out_;
    int64_t freeAtUs_ = 0;
    int64_t byteUs_ = 1;
    bool closed_ = false;
    int64_t closedSinceUs_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    const int a = ParseArgs(argc, argv, options);
    if (a == 1) return 0;
    if (a == 2) return 2;

    // The signals that end the program are blocked and read from a descriptor, so that one arriving
    // at any moment ends the wait for the device.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &endSignals, nullptr);
    gSignalFd = signalfd(-1, &endSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (gSignalFd < 0) {
        std::perror("ini4zav-modemsim: signalfd");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("ini4zav-modemsim: Pseudo-Terminal");
        return 1;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    termios t{};
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B19200);
        cfsetospeed(&t, B19200);
        tcsetattr(master, TCSANOW, &t);
    }
    const char* path = ptsname(master);
    if (!path) {
        std::perror("ini4zav-modemsim: ptsname");
        return 1;
    }
    std::printf("%s\n", path);
    std::fflush(stdout);

    // Calls reach the simulated lift controller unless --echo chose the loop-back peer.
    sim::SetDefaultFarEndFactory(sim::ControllerFarEnds());
    TServer server(master, options);
    const int rc = server.Run();
    close(master);
    return rc;
}
