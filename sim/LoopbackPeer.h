#pragma once
// A far end that sends back whatever it receives: the simplest partner for a call, good for seeing
// that bytes pass both ways. It shows the faults that make sense without a protocol: NoAnswer never
// echoes, LateAnswer echoes two seconds late, CarrierDrop hangs up three seconds into the call; the
// protocol faults (Nak, BadChecksum) echo unchanged, as a wire would.

#include "sim/SimPeer.h"

#include <deque>
#include <utility>

namespace sim {

class TLoopbackPeer : public IFarEnd {
public:
    static constexpr int64_t LateMs = 2000;
    static constexpr int64_t DropAfterMs = 3000;
    static constexpr size_t MaxHeld = 64 * 1024; // bytes held back for a late echo

    explicit TLoopbackPeer(TFault fault = TFault::None) : fault_(fault) {}

    void Connected(TSendBytes send, int64_t nowMs) override;
    void Receive(const std::string& bytes, int64_t nowMs) override;
    void Advance(int64_t nowMs) override;
    void Disconnected() override;
    bool WantsHangup() const override { return hangup_; }

private:
    TFault fault_;
    TSendBytes send_;
    int64_t connectedMs_ = 0;
    bool hangup_ = false;
    size_t held_ = 0;
    std::deque<std::pair<int64_t, std::string>> late_; // due time, bytes
};

} // namespace sim
