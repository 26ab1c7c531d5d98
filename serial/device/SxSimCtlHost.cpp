// The simulated lift controller straight on a simulated line, without a modem: the device "simctl" or
// "simctl:FAULT" (FAULT as sim::ControllerFaultFromName reads it, e.g. "simctl:nak"; an unknown name
// means no fault) is the near end of a simulated line whose far end is the controller (sim/SimController.h),
// driven in real time by a host thread of its own that sleeps until bytes arrive, the near end changes
// its lines or the controller's next timed step is due.
//
// The line is a direct cable: CTS and DSR are on; the carrier (DCD) is on while the near end is open
// with DTR on, and the controller sees a new call each time it comes on, starting unsynchronised in data
// mode. A controller that asks for a hang-up drops DCD until the near end drops DTR (or closes) and
// raises it again.

#include "platform/ComMap.h"
#include "serial/device/SxDevices.h"
#include "serial/device/SxHostedSimDevice.h"
#include "serial/device/SxSimLine.h"
#include "sim/SimController.h"

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

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
}

constexpr uint8_t LinesReady = 0x30; // CTS, DSR
constexpr uint8_t LineDcd = 0x80;

sim::TControllerSettings SettingsFor(const std::string& deviceName) {
    sim::TControllerSettings s;
    s.StartInDataMode = true;
    const size_t colon = deviceName.find(':');
    if (colon != std::string::npos) sim::ControllerFaultFromName(deviceName.substr(colon + 1), s.Fault);
    return s;
}

class TSxSimCtlHost {
public:
    static constexpr size_t MaxQueued = 64 * 1024; // bytes held from the near end

    explicit TSxSimCtlHost(const std::string& deviceName)
        : line_(TSxSimLine::Get(deviceName)), ctl_(SettingsFor(deviceName)) {
        line_->SetLines(LinesReady);
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
            // A DTR that drops and comes back before the host wakes still ends the call.
            const bool down = !line_->NearOpen() || !line_->DTR();
            {
                std::lock_guard<std::mutex> g(m_);
                changed_ = true;
                dropped_ = dropped_ || down;
            }
            cv_.notify_one();
        });
    }

    ~TSxSimCtlHost() {
        Stop();
        line_->SetOnData(nullptr);
        line_->SetOnBreak(nullptr);
        line_->SetOnNearChange(nullptr);
    }

    static std::shared_ptr<TSxSimCtlHost> Get(const std::string& deviceName) {
        static std::mutex lock;
        static std::map<std::string, std::shared_ptr<TSxSimCtlHost>> hosts;
        std::lock_guard<std::mutex> g(lock);
        auto& h = hosts[deviceName];
        if (!h) h = std::make_shared<TSxSimCtlHost>(deviceName);
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

    // Lets the host see the last change (the closed port), then ends its thread.
    void Stop() {
        std::lock_guard<std::mutex> g(runLock_);
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> g2(m_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

private:
    void Run() {
        for (;;) {
            TSxFarInput in(MaxQueued);
            bool stop = false, dropped = false;
            {
                std::unique_lock<std::mutex> lk(m_);
                auto ready = [&] { return stop_ || changed_ || !input_.Empty(); };
                const int64_t due = ctl_.NextDueMs();
                if (due < 0)
                    cv_.wait(lk, ready);
                else
                    cv_.wait_until(lk, TClock::time_point(std::chrono::milliseconds(due)), ready);
                std::swap(in, input_);
                changed_ = false;
                stop = stop_;
                dropped = std::exchange(dropped_, false);
            }
            const int64_t now = NowMs();
            if (dropped) Follow(false, now);
            Follow(line_->NearOpen() && line_->DTR() && !stop, now);
            if (carrier_)
                in.Deliver([&](const std::string& bytes) { ctl_.Receive(bytes, now); },
                           [&](int ms) { ctl_.ReceiveBreak(ms, now); });
            if (carrier_) ctl_.Advance(now);
            if (carrier_ && ctl_.WantsHangup()) {
                // The controller hangs up; the carrier stays off until DTR comes on anew.
                ctl_.Disconnected();
                carrier_ = false;
                line_->SetLines(LinesReady);
            }
            if (stop) return;
        }
    }

    // Follows the near end's DTR: a rising DTR is a new call, a falling one ends it.
    void Follow(bool dtr, int64_t now) {
        if (!dtr) {
            called_ = false;
            if (carrier_) {
                ctl_.Disconnected();
                carrier_ = false;
                line_->SetLines(LinesReady);
            }
            return;
        }
        if (carrier_ || called_) return;
        carrier_ = true;
        called_ = true;
        line_->SetLines(LinesReady | LineDcd);
        ctl_.Connected([this](const std::string& bytes) { line_->Write(bytes); }, now);
    }

    std::shared_ptr<TSxSimLine> line_;
    sim::TSimController ctl_; // run by the host thread only
    bool carrier_ = false;
    bool called_ = false; // a call has been made since DTR came on (after a hang-up: no new one)

    std::mutex runLock_; // Start and Stop
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    TSxFarInput input_{MaxQueued};
    bool changed_ = false;
    bool dropped_ = false; // DTR was seen off (or the port closed) since the host last looked
    bool stop_ = false;
};

} // namespace

std::unique_ptr<ISxDevice> SxCreateSimCtlDevice() {
    return std::make_unique<TSxHostedSimDevice<TSxSimCtlHost>>();
}

} // namespace sx
