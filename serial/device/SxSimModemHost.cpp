// The simulated modem on a simulated line: the device "simmodem" (or "simmodem:NAME") is the near end
// of a simulated line whose far end is a simulated Hayes modem (sim/HayesModem.h), driven in real time
// by a host thread of its own. The host sleeps until something happens: bytes from the near end, a
// change of the near end's lines or settings, the modem's next timed step or the next byte of the
// modem's output, which goes to the near end at the line's baud rate (the near end's own output is
// paced by the line as well). Breaks reach the modem in order with the bytes around them.
//
// The modem stays powered for the whole process, like a modem on the desk: its settings survive a
// close and a reopen of the port. Closing the port drops DTR, which the modem sees before the host
// stops; the host runs only while the port is open.

#include "platform/ComMap.h"
#include "serial/device/SxDevices.h"
#include "serial/device/SxHostedSimDevice.h"
#include "serial/device/SxSimLine.h"
#include "sim/FarEnds.h"
#include "sim/HayesModem.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace sx {

namespace {

using TClock = std::chrono::steady_clock;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(TClock::now().time_since_epoch()).count();
}

class TSxSimModemHost {
public:
    static constexpr size_t MaxQueued = 64 * 1024; // bytes held in either direction
    static constexpr int64_t ChunkUs = 10000;      // output is written in slices of about this length

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
        line_->SetOnData([this](const uint8_t* data, size_t n) {
            {
                std::lock_guard<std::mutex> g(m_);
                input_.AddBytes(data, n);
            }
            cv_.notify_one();
        });
        line_->SetOnBreak([this](int ms) {
            {
                std::lock_guard<std::mutex> g(m_);
                input_.AddBreak(ms);
            }
            cv_.notify_one();
        });
        line_->SetOnNearChange([this] {
            {
                std::lock_guard<std::mutex> g(m_);
                changed_ = true;
            }
            cv_.notify_one();
        });
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
        static std::mutex lock;
        static std::map<std::string, std::shared_ptr<TSxSimModemHost>> hosts;
        std::lock_guard<std::mutex> g(lock);
        auto& h = hosts[deviceName];
        if (!h) h = std::make_shared<TSxSimModemHost>(LineName(deviceName));
        return h;
    }

    void Start() {
        std::lock_guard<std::mutex> g(runLock_);
        if (thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> g2(m_);
            stop_ = false;
            changed_ = true;
        }
        thread_ = std::thread([this] { Run(); });
    }

    // Lets the host see the last change (the closed port's DTR), then ends its thread.
    void Stop() {
        std::lock_guard<std::mutex> g(runLock_);
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> g2(m_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
        out_.clear();
        freeAtUs_ = 0;
    }

private:
    void Run() {
        for (;;) {
            TSxFarInput in(MaxQueued);
            bool stop = false;
            {
                std::unique_lock<std::mutex> lk(m_);
                auto ready = [&] { return stop_ || changed_ || !input_.Empty(); };
                const int64_t wakeUs = NextWakeUs();
                if (wakeUs < 0)
                    cv_.wait(lk, ready);
                else
                    cv_.wait_until(lk, TClock::time_point(std::chrono::microseconds(wakeUs)), ready);
                std::swap(in, input_);
                changed_ = false;
                stop = stop_;
            }
            const int64_t nowUs = NowUs();
            const int64_t nowMs = nowUs / 1000;
            modem_.SetDTR(line_->NearOpen() && line_->DTR(), nowMs);
            in.Deliver([&](const std::string& bytes) { modem_.Receive(bytes, nowMs); },
                       [&](int ms) { modem_.ReceiveBreak(ms, nowMs); });
            modem_.Advance(nowMs);
            if (stop) return;
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

    std::mutex runLock_; // Start and Stop
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    TSxFarInput input_{MaxQueued};
    bool changed_ = false;
    bool stop_ = false;
};

} // namespace

std::unique_ptr<ISxDevice> SxCreateSimModemDevice() {
    return std::make_unique<TSxHostedSimDevice<TSxSimModemHost>>();
}

} // namespace sx
