// The data-trigger matcher, handle numbering and tick arithmetic, without a dispatcher.
#include "serial/core/SxTriggers.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <random>
#include <set>

using namespace sx;

namespace {

// Positions (0-based) of the input bytes at which the trigger reports a match.
std::vector<int> MatchPositions(const std::string& pattern, bool ignoreCase, const std::string& input) {
    TSxDataTrigger t(8, pattern, ignoreCase);
    std::vector<int> at;
    for (size_t i = 0; i < input.size(); ++i)
        if (t.Offer(static_cast<uint8_t>(input[i]))) at.push_back(static_cast<int>(i));
    return at;
}

// The matching rule taken literally, counter by counter, with no shortcut: a check for the
// trigger's own faster scan.
class LiteralMatcher {
public:
    LiteralMatcher(std::string pattern, bool ignoreCase) : p_(std::move(pattern)), fold_(ignoreCase) {
        if (fold_)
            for (auto& ch : p_) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    bool Offer(uint8_t c) {
        if (fold_ && c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
        const size_t len = p_.size();
        const auto at = [&](size_t i) { return static_cast<uint8_t>(p_[i]); };
        bool matched = false, started = false, visit = true;
        for (size_t i = 0; i < len; ++i) {
            if (visit) {
                const uint8_t k = k_[i];
                if (at(k) == c) {
                    if (k + 1u == len) {
                        matched = true;
                        k_.fill(0);
                    } else {
                        k_[i] = static_cast<uint8_t>(k + 1);
                    }
                } else {
                    k_[i] = at(0) == c ? 1 : 0;
                }
            }
            if (k_[i] == 1) started = true;
            visit = started ? k_[i + 1] != 0 : (k_[i + 1] != 0 || at(0) == c);
        }
        return matched;
    }

private:
    std::string p_;
    bool fold_;
    std::array<uint8_t, DataTriggerMaxLength + 1> k_{};
};

} // namespace

TEST(DataTriggerMatcher, AgreesWithTheLiteralRuleOnRandomInput) {
    // Small alphabets make partial matches, restarts and overlaps frequent; both cases of a letter
    // and a byte above 0x7F are among them.
    const std::string alphabets[] = {"aA", "abAB", "AB\r\n", "xyzXYZ\x80", "OoKk \xff"};
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        const std::string& abc = alphabets[round % std::size(alphabets)];
        auto pick = [&] { return abc[std::uniform_int_distribution<size_t>(0, abc.size() - 1)(rng)]; };
        const int len = std::uniform_int_distribution<int>(1, round % 10 == 0 ? DataTriggerMaxLength : 6)(rng);
        std::string pattern;
        for (int i = 0; i < len; ++i) pattern += pick();
        const bool ignoreCase = round % 2 == 1;
        TSxDataTrigger fast(8, pattern, ignoreCase);
        LiteralMatcher slow(pattern, ignoreCase);
        std::string input;
        for (int i = 0; i < 400; ++i) {
            const uint8_t c = static_cast<uint8_t>(pick());
            input += static_cast<char>(c);
            ASSERT_EQ(fast.Offer(c), slow.Offer(c))
                << "trigger \"" << pattern << "\" (ignore case " << ignoreCase << ") at the end of \"" << input << "\"";
            if (i == 200) { // an input flush in the middle
                fast.Reset();
                slow = LiteralMatcher(pattern, ignoreCase);
            }
        }
    }
}

TEST(DataTriggerMatcher, FindsStringsAsTheLineDeliversThem) {
    struct Case {
        const char* pattern;
        bool ignoreCase;
        const char* input;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"OK", false, "xxOK", {3}},
        {"OK", true, "ok", {1}},               // lower case input, ignore-case trigger
        {"ok", true, "xOK", {2}},              // the trigger's own text is folded too
        {"OK", false, "ok", {}},               // case matters without ignore-case
        {"AAB", false, "AAAB", {3}},           // a failed candidate does not hide a later start
        {"AA", false, "AAA", {1, 2}},          // the same byte ends one match and begins the next
        {"AA", false, "AAAAA", {1, 2, 4}},     // a match clears every candidate, the byte's own too
        {"OK", false, "OOK", {2}},
        {"ATZ", false, "xATxATZ", {6}},
        {"OK", false, "O K", {}},
        {"X", false, "XXX", {0, 1, 2}},
        {"CONNECT", false, "CONCONNECT 9600", {9}},
        {"\r\nOK\r\n", false, "AT\r\r\nOK\r\n", {8}},
        {"123456789012345678901", false, "0123456789012345678901", {21}}, // the longest trigger
        {"\xff\x80", false, "\x01\xff\x80\xff", {2}},                      // 8-bit bytes
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchPositions(c.pattern, c.ignoreCase, c.input), c.expected)
            << "trigger \"" << c.pattern << "\" in \"" << c.input << "\"";
}

TEST(DataTriggerMatcher, ResetForgetsAPartialMatch) {
    TSxDataTrigger t(8, "OK", false);
    EXPECT_FALSE(t.Offer('O'));
    t.Reset();
    EXPECT_FALSE(t.Offer('K'));
    EXPECT_FALSE(t.Offer('O'));
    EXPECT_TRUE(t.Offer('K'));
}

TEST(HandleNumbering, CountsInEightsThenReusesTheLowestFreeMultiple) {
    TSxHandleAllocator a;
    std::set<int32_t> live;
    auto inUse = [&](int32_t h) { return live.count(h) != 0; };
    for (int i = 1; i <= 4095; ++i) {
        const int32_t h = a.Next(inUse);
        ASSERT_EQ(h, i * 8);
        live.insert(h);
    }
    // The counter has run out: the next handle is the lowest multiple of 8 not in use.
    EXPECT_EQ(a.Next(inUse), 32768);
    live.erase(800);
    live.erase(16);
    EXPECT_EQ(a.Next(inUse), 16);
    live.insert(16);
    EXPECT_EQ(a.Next(inUse), 800);
    a.Reset();
    EXPECT_EQ(a.Next(inUse), 8);
}

TEST(TimerTicks, ExpireAfterTheirTicksAcrossTheClockWrap) {
    // A turn of the 32-bit millisecond clock: the last tick is short, then ticks start at 0 again.
    EXPECT_EQ(TickOf(0xFFFFFFFFll), TickRange - 1);
    EXPECT_EQ(TickOf(0x100000000ll), 0u);

    TSxTimerTrigger t;
    t.Ticks = 18;
    t.StartTick = 100;
    EXPECT_FALSE(t.Expired(100));
    EXPECT_FALSE(t.Expired(118));
    EXPECT_TRUE(t.Expired(119));

    // Armed ten ticks before the wrap: fires once 19 ticks have passed, after the wrap, not never.
    t.StartTick = TickRange - 10;
    EXPECT_FALSE(t.Expired(TickRange - 1));
    EXPECT_FALSE(t.Expired(0));
    EXPECT_FALSE(t.Expired(8));
    EXPECT_TRUE(t.Expired(9));
}

// A timer of n ticks never ends before n x 55 ms, wherever in a tick it was started and also when the
// clock wraps in between (the last tick of a turn is only 26 ms long). Every millisecond is tried.
TEST(TimerTicks, NeverExpireBeforeTheirTimeWhereverTheyStart) {
    constexpr int64_t Turn = 0x100000000ll;
    const int64_t lastTickStart = static_cast<int64_t>(TickRange - 1) * TickMs;
    struct Case {
        const char* Name;
        int64_t StartMs;
    };
    const Case cases[] = {
        {"at a tick's start", 55 * 1000},
        {"1 ms into a tick", 55 * 1000 + 1},
        {"mid-tick", 55 * 1000 + 27},
        {"at a tick's end", 55 * 1000 + 54},
        {"ten ticks before the wrap", lastTickStart - 10 * 55 + 30},
        {"in the short last tick", lastTickStart + 20},
        {"just before the wrap", Turn - 1},
        {"on a 64-bit clock past the wrap", 3 * Turn - 200},
    };
    for (uint32_t ticks : {1u, 2u, 18u, 40u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << ticks << " ticks, started " << c.Name);
            TSxTimerTrigger t;
            t.Ticks = ticks;
            t.Start(c.StartMs);
            int64_t first = -1;
            for (int64_t ms = 0; ms <= (ticks + 3) * 55; ++ms) {
                const bool expired = t.ExpiredAt(c.StartMs + ms);
                // MsUntilExpiry never points past the moment it expires, nor says 0 before it.
                if (first < 0) {
                    EXPECT_EQ(t.MsUntilExpiry(c.StartMs + ms) == 0, expired) << ms;
                }
                if (expired && first < 0) first = ms;
                if (first >= 0) {
                    EXPECT_TRUE(expired) << "expired at " << first << " ms, not any more at " << ms;
                }
            }
            ASSERT_GE(first, 0) << "never expired";
            EXPECT_GE(first, static_cast<int64_t>(ticks) * 55);
            EXPECT_LE(first, static_cast<int64_t>(ticks + 1) * 55); // and not a tick later than the tick rule
        }
    }
}

TEST(LineErrorCondition, MapsTriggerBitsToErrorBits) {
    EXPECT_EQ(MapLineErrorCondition(1), 2);
    EXPECT_EQ(MapLineErrorCondition(2), 4);
    EXPECT_EQ(MapLineErrorCondition(4), 8);
    EXPECT_EQ(MapLineErrorCondition(8), 16);
    EXPECT_EQ(MapLineErrorCondition(15), 30);
}
