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
#include "serial/device/SxSimHostThread.h"
#include "serial/device/SxSimLine.h"
#include "sim/SimController.h"

#include <chrono>
#include <string>

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
    explicit TSxSimCtlHost(const std::string& deviceName)
        : line_(TSxSimLine::Get(deviceName)), ctl_(SettingsFor(deviceName)) {
        line_->SetLines(LinesReady);
        line_->SetOnData([this](const uint8_t* data, size_t n) { thread_.Feed(data, n); });
        line_->SetOnBreak([this](int ms) { thread_.FeedBreak(ms); });
        // A DTR that drops and comes back before the host wakes still ends the call.
        line_->SetOnNearChange([this] { thread_.NoteChange(!line_->NearOpen() || !line_->DTR()); });
    }

    ~TSxSimCtlHost() {
        Stop();
        line_->SetOnData(nullptr);
        line_->SetOnBreak(nullptr);
        line_->SetOnNearChange(nullptr);
    }

    static std::shared_ptr<TSxSimCtlHost> Get(const std::string& deviceName) {
        return SxSimHostFor<TSxSimCtlHost>(deviceName, deviceName);
    }

    void Start() { thread_.Start([this] { Run(); }); }

    // Lets the host see the last change (the closed port), then ends its thread.
    void Stop() { thread_.Stop(); }

private:
    void Run() {
        for (;;) {
            const int64_t due = ctl_.NextDueMs();
            TSxSimHostThread::TWake wake = thread_.Wait(due < 0 ? -1 : due * 1000);
            const int64_t now = NowMs();
            if (wake.LineDown) Follow(false, now);
            Follow(line_->NearOpen() && line_->DTR() && !wake.Stop, now);
            if (carrier_)
                wake.Input.Deliver([&](const std::string& bytes) { ctl_.Receive(bytes, now); },
                                   [&](int ms) { ctl_.ReceiveBreak(ms, now); });
            if (carrier_) ctl_.Advance(now);
            if (carrier_ && ctl_.WantsHangup()) {
                // The controller hangs up; the carrier stays off until DTR comes on anew.
                ctl_.Disconnected();
                carrier_ = false;
                line_->SetLines(LinesReady);
            }
            if (wake.Stop) return;
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

    TSxSimHostThread thread_;
};

} // namespace

std::unique_ptr<ISxDevice> SxCreateSimCtlDevice() {
    return std::make_unique<TSxHostedSimDevice<TSxSimCtlHost>>();
}

} // namespace sx
