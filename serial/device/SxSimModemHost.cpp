// The simulated modem on a simulated line: the device "simmodem" (or "simmodem:NAME") is the near end
// of a simulated line whose far end is a simulated Hayes modem (sim/HayesModem.h), driven in real time
// by a host thread of its own. The host sleeps until something happens: bytes from the near end, a
// change of the near end's lines or settings, the modem's next timed step or the next byte of the
// modem's output, which goes to the near end at the line's baud rate (the near end's own output is
// paced by the line as well).
//
// The modem stays powered for the whole process, like a modem on the desk: its settings survive a
// close and a reopen of the port. Closing the port drops DTR, which the modem sees before the host
// stops; the host runs only while the port is open.

#include "platform/ComMap.h"
#include "serial/device/SxDevices.h"
#include "serial/device/SxHostedSimDevice.h"
#include "serial/device/SxSimHostThread.h"
#include "serial/device/SxSimLine.h"
#include "sim/FarEnds.h"
#include "sim/HayesModem.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace sx {

namespace {

using TClock = std::chrono::steady_clock;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(TClock::now().time_since_epoch()).count();
}

class TSxSimModemHost {
public:
    static constexpr size_t MaxQueued = TSxSimHostThread::MaxQueued; // modem output held, as much as input
    static constexpr int64_t ChunkUs = 10000; // output is written in slices of about this length

    explicit TSxSimModemHost(const std::string& lineName)
        : line_(TSxSimLine::Get(lineName)), modem_(sim::CurrentDefaultFarEnds(), {}, NowUs() / 1000) {
        line_->SetPaced(true);
        line_->SetLines(modem_.Lines());
        modem_.SetOnLines([this](uint8_t lines) { line_->SetLines(lines); });
        modem_.SetOutput([this](const std::string& bytes) {
            // Only the host thread runs the modem, so the queue needs no lock.
            const size_t room = MaxQueued - std::min(MaxQueued, out_.size());
            out_.append(bytes, 0, std::min(room, bytes.size()));
        });
        line_->SetOnData([this](const uint8_t* data, size_t n) { thread_.Feed(data, n); });
        line_->SetOnBreak([this](int ms) { thread_.FeedBreak(ms); });
        line_->SetOnNearChange([this] { thread_.NoteChange(); });
    }

    ~TSxSimModemHost() {
        Stop();
        line_->SetOnData(nullptr);
        line_->SetOnBreak(nullptr);
        line_->SetOnNearChange(nullptr);
    }

    // The line the device opens: its own, apart from the plain simulated lines.
    static std::string LineName(const std::string& deviceName) { return deviceName; }

    static std::shared_ptr<TSxSimModemHost> Get(const std::string& deviceName) {
        return SxSimHostFor<TSxSimModemHost>(deviceName, LineName(deviceName));
    }

    void Start() { thread_.Start([this] { Run(); }); }

    // Lets the host see the last change (the closed port's DTR), then ends its thread.
    void Stop() {
        thread_.Stop([this] {
            out_.clear();
            freeAtUs_ = 0;
        });
    }

private:
    void Run() {
        for (;;) {
            TSxSimHostThread::TWake wake = thread_.Wait(NextWakeUs());
            const int64_t nowUs = NowUs();
            const int64_t nowMs = nowUs / 1000;
            modem_.SetDTR(line_->NearOpen() && line_->DTR(), nowMs);
            wake.Input.Deliver([&](const std::string& bytes) { modem_.Receive(bytes, nowMs); },
                               [&](int ms) { modem_.ReceiveBreak(ms, nowMs); });
            modem_.Advance(nowMs);
            if (wake.Stop) return;
            Pace(nowUs);
        }
    }

    // Writes the modem's output that is due at the line's baud rate.
    void Pace(int64_t nowUs) {
        if (out_.empty()) return;
        if (freeAtUs_ > nowUs) return;
        const TSxLineSettings s = line_->NearSettings();
        const int bits = 1 + s.DataBits + (s.Parity ? 1 : 0) + (s.StopBits == 0 ? 1 : 2);
        byteUs_ = std::max<int64_t>(1, int64_t(bits) * 1000000 / std::max<int32_t>(s.Baud, 1));
        const size_t n = std::min(out_.size(), static_cast<size_t>(std::max<int64_t>(1, ChunkUs / byteUs_)));
        line_->Write(out_.data(), n);
        out_.erase(0, n);
        freeAtUs_ = std::max(freeAtUs_, nowUs - ChunkUs) + int64_t(n) * byteUs_;
    }

    // Microseconds on the steady clock when the host must wake by itself, or -1.
    int64_t NextWakeUs() const {
        int64_t wake = -1;
        const int64_t due = modem_.NextDueMs();
        if (due >= 0) wake = due * 1000;
        if (!out_.empty() && (wake < 0 || freeAtUs_ < wake)) wake = freeAtUs_;
        return wake;
    }

    std::shared_ptr<TSxSimLine> line_;
    sim::THayesModem modem_; // run by the host thread only (and by Stop once that thread is gone)
    std::string out_;        // modem output not yet on the line
    int64_t freeAtUs_ = 0;   // when the line can take the next slice
    int64_t byteUs_ = 1;

    TSxSimHostThread thread_;
};

} // namespace

std::unique_ptr<ISxDevice> SxCreateSimModemDevice() {
    return std::make_unique<TSxHostedSimDevice<TSxSimModemHost>>();
}

} // namespace sx
