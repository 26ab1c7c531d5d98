#include "serial/device/SxSimLine.h"

#include "serial/device/SxDevices.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <utility>
#include <vector>

namespace sx {

namespace {
std::mutex& RegistryLock() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::shared_ptr<TSxSimLine>>& Registry() {
    static std::map<std::string, std::shared_ptr<TSxSimLine>> r;
    return r;
}
uint32_t LineEvents(uint8_t oldLines, uint8_t newLines) {
    const uint8_t d = oldLines ^ newLines;
    uint32_t ev = 0;
    if (d & 0x10) ev |= evCTS;
    if (d & 0x20) ev |= evDSR;
    if (d & 0x80) ev |= evRLSD;
    if (d & 0x40) ev |= (newLines & 0x40) ? evRing : evRingTE;
    return ev;
}
} // namespace

std::shared_ptr<TSxSimLine> TSxSimLine::Get(const std::string& name) {
    std::lock_guard<std::mutex> g(RegistryLock());
    auto& line = Registry()[name];
    if (!line) line = std::make_shared<TSxSimLine>();
    return line;
}

std::string TSxSimLine::LineName(const std::string& deviceName) {
    const auto colon = deviceName.find(':');
    return colon == std::string::npos ? std::string() : deviceName.substr(colon + 1);
}

void TSxSimLine::Write(const void* data, size_t n) {
    if (n == 0) return;
    {
        std::lock_guard<std::mutex> g(m_);
        if (!nearOpen_ || !plugged_) return; // nobody listens: the bytes are lost, as on a cable
        const auto* p = static_cast<const uint8_t*>(data);
        toNear_.insert(toNear_.end(), p, p + n);
        events_ |= evRxChar;
    }
    cv_.notify_all();
}

std::string TSxSimLine::Read(size_t max, int timeoutMs) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return !toFar_.empty(); });
    const size_t n = std::min(max, toFar_.size());
    std::string s(toFar_.begin(), toFar_.begin() + static_cast<std::ptrdiff_t>(n));
    toFar_.erase(toFar_.begin(), toFar_.begin() + static_cast<std::ptrdiff_t>(n));
    return s;
}

std::string TSxSimLine::ReadExactly(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return toFar_.size() >= n; });
    const size_t k = std::min(n, toFar_.size());
    std::string s(toFar_.begin(), toFar_.begin() + static_cast<std::ptrdiff_t>(k));
    toFar_.erase(toFar_.begin(), toFar_.begin() + static_cast<std::ptrdiff_t>(k));
    return s;
}

void TSxSimLine::SetOnData(std::function<void(const uint8_t*, size_t)> onData) {
    std::lock_guard<std::mutex> g(m_);
    onData_ = std::move(onData);
}

void TSxSimLine::SetOnNearChange(std::function<void()> onChange) {
    std::lock_guard<std::mutex> g(m_);
    onNearChange_ = std::move(onChange);
}

void TSxSimLine::NearChanged() {
    std::function<void()> f;
    {
        std::lock_guard<std::mutex> g(m_);
        f = onNearChange_;
    }
    if (f) f();
}

void TSxSimLine::SetLines(uint8_t lines) {
    {
        std::lock_guard<std::mutex> g(m_);
        lines &= 0xF0;
        events_ |= LineEvents(farLines_, lines);
        farLines_ = lines;
    }
    cv_.notify_all();
}

void TSxSimLine::SetLine(uint8_t line, bool on) {
    uint8_t lines;
    {
        std::lock_guard<std::mutex> g(m_);
        lines = on ? (farLines_ | line) : (farLines_ & static_cast<uint8_t>(~line));
    }
    SetLines(lines);
}

uint8_t TSxSimLine::Lines() const {
    std::lock_guard<std::mutex> g(m_);
    return farLines_;
}

bool TSxSimLine::DTR() const {
    std::lock_guard<std::mutex> g(m_);
    return dtr_;
}

bool TSxSimLine::RTS() const {
    std::lock_guard<std::mutex> g(m_);
    return rts_;
}

bool TSxSimLine::WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    // pred may call the accessors above, so it is evaluated without the lock held.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        std::unique_lock<std::mutex> lk(m_);
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        cv_.wait_until(lk,
                       std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)));
    }
}

void TSxSimLine::InjectErrors(uint8_t bits) {
    {
        std::lock_guard<std::mutex> g(m_);
        errors_ |= bits;
        if (bits & 0x0F) events_ |= evErr;
        if (bits & 0x10) events_ |= evBreak;
    }
    cv_.notify_all();
}

void TSxSimLine::Unplug() {
    {
        std::lock_guard<std::mutex> g(m_);
        plugged_ = false;
        events_ |= evHangup;
    }
    cv_.notify_all();
}

void TSxSimLine::Plug() {
    std::lock_guard<std::mutex> g(m_);
    plugged_ = true;
}

bool TSxSimLine::NearOpen() const {
    std::lock_guard<std::mutex> g(m_);
    return nearOpen_;
}

size_t TSxSimLine::PendingToNear() const {
    std::lock_guard<std::mutex> g(m_);
    return toNear_.size();
}

void TSxSimLine::SetPaced(bool paced) {
    std::lock_guard<std::mutex> g(m_);
    paced_ = paced;
}

TSxLineSettings TSxSimLine::NearSettings() const {
    std::lock_guard<std::mutex> g(m_);
    return settings_;
}

// The near end, as the dispatcher sees it.
class TSxSimDevice : public ISxDevice {
public:
    ~TSxSimDevice() override { Close(); }

    int Open(const std::string& name, uint16_t, uint16_t) override {
        auto line = TSxSimLine::Get(TSxSimLine::LineName(name));
        std::unique_lock<std::mutex> lk(line->m_);
        if (!line->plugged_) return ecBadId;
        if (line->nearOpen_) return ecAlreadyOpen;
        line->nearOpen_ = true;
        line->toNear_.clear();
        line->events_ = 0;
        line->errors_ = 0;
        line->held_ = line->cancelWait_ = line->cancelWrite_ = false;
        line_ = line;
        open_ = true;
        lk.unlock();
        line->NearChanged();
        return 0;
    }

    void Close() override {
        if (!open_.exchange(false)) return;
        line_->EndNearBreak(); // the line returns to its idle state
        {
            std::lock_guard<std::mutex> g(line_->m_);
            line_->nearOpen_ = false;
            line_->dtr_ = line_->rts_ = false; // a closed port drops its lines
            line_->toNear_.clear();
        }
        line_->cv_.notify_all();
        line_->NearChanged();
        // line_ stays until the device is destroyed: the dispatcher may close the device on its last
        // thread while another thread still cancels a wait or a write on it.
    }

    int GetLine(TSxLineSettings& settings) override {
        std::lock_guard<std::mutex> g(line_->m_);
        settings = line_->settings_;
        return 0;
    }

    int SetLine(const TSxLineSettings& settings) override {
        if (settings.Baud <= 0) return ecBaudRate;
        {
            std::lock_guard<std::mutex> g(line_->m_);
            if (!line_->plugged_) return ecWriteFault;
            line_->settings_ = settings;
            line_->dtr_ = settings.DtrControl != 0;
            line_->rts_ = settings.RtsControl == 1 || settings.RtsControl == 2;
        }
        line_->cv_.notify_all();
        line_->NearChanged();
        return 0;
    }

    int SetDTR(bool on) override { return SetOutputLine(&TSxSimLine::dtr_, on); }
    int SetRTS(bool on) override { return SetOutputLine(&TSxSimLine::rts_, on); }

    int ModemLines(uint8_t& lines) override {
        std::lock_guard<std::mutex> g(line_->m_);
        if (!line_->plugged_) return ecReadFault;
        lines = line_->farLines_;
        return 0;
    }

    uint8_t TakeErrors() override {
        std::lock_guard<std::mutex> g(line_->m_);
        const uint8_t e = line_->errors_;
        line_->errors_ = 0;
        return e;
    }

    int BytesWaiting() override {
        std::lock_guard<std::mutex> g(line_->m_);
        if (!line_->plugged_) return ecReadFault;
        return static_cast<int>(std::min<size_t>(line_->toNear_.size(), 0x7FFFFFFF));
    }

    int Read(uint8_t* buf, int n) override {
        std::lock_guard<std::mutex> g(line_->m_);
        if (!line_->plugged_) return ecReadFault;
        const size_t k = std::min(static_cast<size_t>(n), line_->toNear_.size());
        std::copy_n(line_->toNear_.begin(), k, buf);
        line_->toNear_.erase(line_->toNear_.begin(), line_->toNear_.begin() + static_cast<std::ptrdiff_t>(k));
        return static_cast<int>(k);
    }

    void HoldInput(bool held) override {
        if (!line_) return;
        {
            std::lock_guard<std::mutex> g(line_->m_);
            line_->held_ = held;
            if (!held && !line_->toNear_.empty()) line_->events_ |= evRxChar;
        }
        line_->cv_.notify_all();
    }

    int Write(const uint8_t* buf, int n) override {
        std::function<void(const uint8_t*, size_t)> onData;
        {
            std::unique_lock<std::mutex> lk(line_->m_);
            if (!line_->plugged_) return ecWriteFault;
            if (line_->paced_) {
                const auto& s = line_->settings_;
                const int bits = 1 + s.DataBits + (s.Parity ? 1 : 0) + (s.StopBits == 0 ? 1 : 2);
                const auto us = std::chrono::microseconds(static_cast<int64_t>(n) * bits * 1000000 /
                                                          std::max<int32_t>(s.Baud, 1));
                if (line_->cv_.wait_for(lk, us, [&] { return line_->cancelWrite_ || !line_->plugged_; })) {
                    line_->cancelWrite_ = false;
                    return line_->plugged_ ? 0 : ecWriteFault;
                }
            } else if (line_->cancelWrite_) {
                line_->cancelWrite_ = false;
                return 0;
            }
            onData = line_->onData_;
            if (!onData) line_->toFar_.insert(line_->toFar_.end(), buf, buf + n);
        }
        line_->cv_.notify_all();
        if (onData) onData(buf, static_cast<size_t>(n));
        return n;
    }

    void CancelWrite() override {
        if (!line_) return;
        {
            std::lock_guard<std::mutex> g(line_->m_);
            line_->cancelWrite_ = true;
        }
        line_->cv_.notify_all();
    }

    uint32_t WaitEvent(int timeoutMs = -1) override {
        std::unique_lock<std::mutex> lk(line_->m_);
        auto ready = [&] {
            if (line_->cancelWait_ || !line_->plugged_) return true;
            const uint32_t mask = line_->held_ ? ~static_cast<uint32_t>(evRxChar) : ~0u;
            return (line_->events_ & mask) != 0;
        };
        if (timeoutMs < 0)
            line_->cv_.wait(lk, ready);
        else if (!line_->cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready))
            return 0;
        if (!line_->plugged_) return evHangup;
        if (line_->cancelWait_) {
            line_->cancelWait_ = false;
            return 0;
        }
        const uint32_t mask = line_->held_ ? ~static_cast<uint32_t>(evRxChar) : ~0u;
        const uint32_t ev = line_->events_ & mask;
        line_->events_ &= ~mask;
        return ev;
    }

    void CancelWait() override {
        if (!line_) return;
        {
            std::lock_guard<std::mutex> g(line_->m_);
            line_->cancelWait_ = true;
        }
        line_->cv_.notify_all();
    }

    void PurgeInput() override {
        std::lock_guard<std::mutex> g(line_->m_);
        line_->toNear_.clear();
        line_->events_ &= ~static_cast<uint32_t>(evRxChar);
    }

    void PurgeOutput() override {} // written bytes reach the far end at once; nothing is held

    // Written bytes have reached the far end when Write returns: nothing is left to drain first.
    int SetBreak(bool on) override {
        if (!on) {
            line_->EndNearBreak();
            return 0;
        }
        std::lock_guard<std::mutex> g(line_->m_);
        if (!line_->plugged_) return ecWriteFault;
        if (!line_->nearBreak_) line_->breakStart_ = std::chrono::steady_clock::now();
        line_->nearBreak_ = true;
        return 0;
    }

private:
    int SetOutputLine(bool TSxSimLine::*field, bool on) {
        {
            std::lock_guard<std::mutex> g(line_->m_);
            if (!line_->plugged_) return ecWriteFault;
            line_.get()->*field = on;
        }
        line_->cv_.notify_all();
        line_->NearChanged();
        return 0;
    }

    std::shared_ptr<TSxSimLine> line_;
    std::atomic<bool> open_{false};
};

std::unique_ptr<ISxDevice> SxCreateSimDevice() {
    return std::make_unique<TSxSimDevice>();
}

// ---- Breaks ---------------------------------------------------------------------------------------

void TSxSimLine::SetOnBreak(std::function<void(int ms)> onBreak) {
    std::lock_guard<std::mutex> g(m_);
    onBreak_ = std::move(onBreak);
}

std::vector<int> TSxSimLine::TakeBreaks() {
    std::lock_guard<std::mutex> g(m_);
    return std::exchange(breaks_, {});
}

bool TSxSimLine::NearBreak() const {
    std::lock_guard<std::mutex> g(m_);
    return nearBreak_;
}

void TSxSimLine::EndNearBreak() {
    std::function<void(int)> onBreak;
    int ms = 0;
    {
        std::lock_guard<std::mutex> g(m_);
        if (!nearBreak_) return;
        nearBreak_ = false;
        const auto held = std::chrono::steady_clock::now() - breakStart_;
        ms = static_cast<int>(std::max<int64_t>(
            1, std::chrono::duration_cast<std::chrono::milliseconds>(held + std::chrono::microseconds(500)).count()));
        onBreak = onBreak_;
        if (!onBreak) breaks_.push_back(ms);
    }
    cv_.notify_all();
    if (onBreak) onBreak(ms);
}

} // namespace sx
