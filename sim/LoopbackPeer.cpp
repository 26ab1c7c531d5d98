#include "sim/LoopbackPeer.h"

namespace sim {

void TLoopbackPeer::Connected(TSendBytes send, int64_t nowMs) {
    send_ = std::move(send);
    connectedMs_ = nowMs;
    hangup_ = false;
}

void TLoopbackPeer::Receive(const std::string& bytes, int64_t nowMs) {
    if (!send_ || bytes.empty()) return;
    switch (fault_) {
    case TFault::NoAnswer:
        return;
    case TFault::LateAnswer:
        if (held_ + bytes.size() > MaxHeld) return; // a slow partner drops what it cannot hold
        held_ += bytes.size();
        late_.emplace_back(nowMs + LateMs, bytes);
        return;
    default:
        send_(bytes);
    }
}

void TLoopbackPeer::Advance(int64_t nowMs) {
    if (!send_) return;
    while (!late_.empty() && late_.front().first <= nowMs) {
        auto bytes = std::move(late_.front().second);
        late_.pop_front();
        held_ -= bytes.size();
        send_(bytes);
        if (!send_) return;
    }
    if (fault_ == TFault::CarrierDrop && nowMs - connectedMs_ >= DropAfterMs) hangup_ = true;
}

void TLoopbackPeer::Disconnected() {
    send_ = nullptr;
    late_.clear();
    held_ = 0;
}

} // namespace sim
