#pragma once
// Trigger records, the data-trigger matcher, trigger handle numbering and tick arithmetic. No
// locking here: the dispatcher guards these with its general lock.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sx {

// Trigger and modem times are counted in ticks of 55 ms of a 32-bit millisecond clock.
constexpr uint32_t TickMs = 55;
constexpr uint32_t TickRange = 78090315;       // ticks in one turn of the 32-bit millisecond clock (0 .. 78090314)
constexpr uint32_t MaxTimerTicks = 39045157;   // half a turn: the longest timer
constexpr int DataTriggerMaxLength = 21;
constexpr int32_t AvailTriggerHandle = 1;

// Status trigger kinds.
constexpr uint16_t stModem = 1, stLine = 2, stOutBuffFree = 3, stOutBuffUsed = 4, stOutSent = 5;

// The tick of a millisecond clock reading (only its low 32 bits count, as on a wrapping clock).
inline uint32_t TickOf(int64_t ms) { return static_cast<uint32_t>(static_cast<uint64_t>(ms) & 0xFFFFFFFFu) / TickMs; }

struct TSxTimerTrigger {
    int32_t Handle = 0;
    uint32_t StartTick = 0;
    uint32_t StartMs = 0; // the low 32 bits of the clock when armed
    uint32_t Ticks = 0;
    bool Armed = false;

    // Starts the timer at the clock reading nowMs.
    void Start(int64_t nowMs) {
        StartTick = TickOf(nowMs);
        StartMs = static_cast<uint32_t>(static_cast<uint64_t>(nowMs) & 0xFFFFFFFFu);
    }
    // Expired once more than Ticks ticks have passed since StartTick, across a wrap of the clock.
    bool Expired(uint32_t nowTick) const;
    // Expired by the tick rule above and, besides, at least Ticks x 55 ms after it was started: the
    // last tick before the clock wraps is short, and a timer must never end before its time.
    bool ExpiredAt(int64_t nowMs) const;
    // Milliseconds until ExpiredAt may turn true (at least 1 while it is false; 0 once it is true).
    uint32_t MsUntilExpiry(int64_t nowMs) const;
};

class TSxDataTrigger {
public:
    int32_t Handle = 0;
    bool IgnoreCase = false;

    TSxDataTrigger() : TSxDataTrigger(0, std::string(), false) {}
    // text is 1..DataTriggerMaxLength bytes (the caller checks).
    TSxDataTrigger(int32_t handle, const std::string& text, bool ignoreCase);
    int Length() const { return static_cast<int>(pattern_.size()); }
    const std::string& Pattern() const { return pattern_; }
    // Offers the next input byte; true when the string ends at it.
    bool Offer(uint8_t c) {
        // With no candidate in progress, only a byte that begins the string changes anything.
        if (Idle() && c != first_ && c != firstOtherCase_) return false;
        if (!tableOff_) {
            const uint16_t t = next_[static_cast<size_t>(state_) * 256 + c];
            if (t != Unlearnt) {
                state_ = t & StateMask;
                return (t & MatchBit) != 0;
            }
        }
        return Learn(c);
    }
    // True while no candidate is in progress: then only a byte that StartsWith accepts changes
    // anything, and every other byte is no match.
    bool Idle() const { return tableOff_ ? !active_ : state_ == 0; }
    // The received bytes (before case folding) that can begin the string (the same byte twice when
    // case does not matter).
    std::array<uint8_t, 2> StartBytes() const { return {first_, firstOtherCase_}; }
    // Forgets partial matches (after an input flush).
    void Reset() {
        counters_.fill(0);
        active_ = false;
        state_ = 0;
    }

private:
    using Counters = std::array<uint8_t, DataTriggerMaxLength + 1>;
    static constexpr uint16_t Unlearnt = 0xFFFF, MatchBit = 0x8000, StateMask = 0x7FFF;
    static constexpr size_t MaxStates = 512;

    // The counters take few distinct values in practice: each one met is a state, and the step
    // from a state on a byte is worked out once by the counter rule (Advance) and kept in a table,
    // so that a byte costs one look-up. A string whose states exceed MaxStates is followed by the
    // counter rule itself from then on.
    bool Learn(uint8_t c);
    bool Advance(uint8_t c);

    std::string pattern_;
    uint8_t first_ = 0;          // the string's first byte (upper case when ignoring case)
    uint8_t firstOtherCase_ = 0; // its lower-case form when ignoring case, else the same byte
    Counters counters_{};
    bool active_ = false; // some counter is not 0
    // The learnt steps: the counters of each state (state 0: all 0), and per state and byte the
    // next state, with MatchBit when the string ends there (Unlearnt: not worked out yet).
    std::vector<Counters> states_;
    std::vector<uint16_t> next_;
    uint16_t state_ = 0;
    bool tableOff_ = false;
};

struct TSxStatusTrigger {
    int32_t Handle = 0; // base handle | kind
    uint16_t Kind = 0;
    uint8_t LineMask = 0;   // kind 1: the lines watched
    uint8_t LineStates = 0; // kind 1: their states when armed
    uint8_t ErrorBits = 0;  // kind 2: line error bits watched
    uint16_t Level = 0;     // kinds 3, 4
    bool Armed = false;
    bool HitThisRound = false;
};

// Maps the error condition of a line-error trigger (1 overrun, 2 parity, 4 framing, 8 break) to the
// dispatcher's line error bits (2, 4, 8, 16).
uint8_t MapLineErrorCondition(uint16_t value);

// Trigger handle numbering: a counter starting at 1 gives counter * 8 while the counter is below
// 4096; after that the lowest multiple of 8 that no trigger uses.
class TSxHandleAllocator {
public:
    // inUse tells whether a base handle (a multiple of 8) belongs to a live trigger.
    template <class InUse>
    int32_t Next(InUse inUse) {
        if (counter_ < 4096) return static_cast<int32_t>(counter_++) * 8;
        for (int32_t h = 8;; h += 8)
            if (!inUse(h)) return h;
    }
    void Reset() { counter_ = 1; }
    uint32_t Counter() const { return counter_; }
    void SetCounter(uint32_t c) { counter_ = c; }

private:
    uint32_t counter_ = 1;
};

} // namespace sx
