#include "serial/core/SxTriggers.h"

#include <algorithm>

namespace sx {

namespace {
uint8_t Upper(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c; }
} // namespace

bool TSxTimerTrigger::Expired(uint32_t nowTick) const {
    // Elapsed ticks modulo one turn of the clock, so a timer whose end lies beyond the wrap fires
    // after the wrap instead of never.
    const uint32_t elapsed = nowTick >= StartTick ? nowTick - StartTick : nowTick + TickRange - StartTick;
    return elapsed > Ticks;
}

namespace {
uint32_t ElapsedMs(uint32_t startMs, int64_t nowMs) {
    // Modulo 2^32, so a wrap of the clock in between does not matter (timers are shorter than half a turn).
    return static_cast<uint32_t>(static_cast<uint64_t>(nowMs) & 0xFFFFFFFFu) - startMs;
}
} // namespace

bool TSxTimerTrigger::ExpiredAt(int64_t nowMs) const {
    return Expired(TickOf(nowMs)) && ElapsedMs(StartMs, nowMs) >= Ticks * TickMs;
}

uint32_t TSxTimerTrigger::MsUntilExpiry(int64_t nowMs) const {
    if (ExpiredAt(nowMs)) return 0;
    const uint32_t elapsed = ElapsedMs(StartMs, nowMs);
    const uint32_t due = Ticks * TickMs;
    if (elapsed < due) return due - elapsed;
    // The time has passed but the tick has not: the rest of the current tick.
    const uint32_t inTick = static_cast<uint32_t>(static_cast<uint64_t>(nowMs) & 0xFFFFFFFFu) % TickMs;
    return TickMs - inTick;
}

TSxDataTrigger::TSxDataTrigger(int32_t handle, const std::string& text, bool ignoreCase)
    : Handle(handle), IgnoreCase(ignoreCase), pattern_(text) {
    if (ignoreCase)
        for (auto& ch : pattern_) ch = static_cast<char>(Upper(static_cast<uint8_t>(ch)));
    first_ = firstOtherCase_ = pattern_.empty() ? 0 : static_cast<uint8_t>(pattern_[0]);
    if (ignoreCase && first_ >= 'A' && first_ <= 'Z') firstOtherCase_ = static_cast<uint8_t>(first_ - 'A' + 'a');
    states_.push_back(Counters{});
    next_.assign(256, Unlearnt);
}

bool TSxDataTrigger::Learn(uint8_t c) {
    if (tableOff_) return Advance(c);
    counters_ = states_[state_];
    const bool matched = Advance(c);
    auto it = std::find(states_.begin(), states_.end(), counters_);
    if (it == states_.end()) {
        if (states_.size() >= MaxStates) {
            tableOff_ = true; // counters_ and active_ hold the state reached: go on from there
            return matched;
        }
        states_.push_back(counters_);
        next_.resize(next_.size() + 256, Unlearnt);
        it = states_.end() - 1;
    }
    const auto to = static_cast<uint16_t>(it - states_.begin());
    next_[static_cast<size_t>(state_) * 256 + c] = static_cast<uint16_t>(to | (matched ? MatchBit : 0));
    state_ = to;
    return matched;
}

// One counter per pattern position, each following a candidate start. A candidate that fails falls
// back to 1 when the byte begins the string anew; later counters are visited only while a candidate
// may be in progress there.
bool TSxDataTrigger::Advance(uint8_t c) {
    if (IgnoreCase) c = Upper(c);
    const auto* p = reinterpret_cast<const uint8_t*>(pattern_.data());
    const int len = Length();
    bool matched = false;
    bool started = false;
    bool visit = true;
    for (int i = 0; i < len; ++i) {
        if (visit) {
            const uint8_t k = counters_[i];
            if (p[k] == c) {
                if (k + 1 == len) {
                    matched = true;
                    counters_.fill(0);
                } else {
                    counters_[i] = static_cast<uint8_t>(k + 1);
                }
            } else {
                counters_[i] = p[0] == c ? 1 : 0;
            }
        }
        if (counters_[i] == 1) started = true;
        const bool nextActive = counters_[i + 1] != 0;
        visit = started ? nextActive : (nextActive || p[0] == c);
    }
    active_ = false;
    for (int i = 0; i < len; ++i) active_ = active_ || counters_[i] != 0;
    return matched;
}

uint8_t MapLineErrorCondition(uint16_t value) {
    uint8_t bits = 0;
    if (value & 1) bits |= 2;
    if (value & 2) bits |= 4;
    if (value & 4) bits |= 8;
    if (value & 8) bits |= 16;
    return bits;
}

} // namespace sx
