// The dispatcher's rings, triggers and delivery, driven round by round on the test thread over the
// simulated line, in virtual time.
#include "serial/core/SxDispatcher.h"
#include "serial/device/SxDevices.h"
#include "serial/device/SxSimLine.h"
#include "serial/errors/SxErrors.h"

#include "platform/VirtualTime.h"

#include <gtest/gtest.h>

#include <random>

using namespace sx;

namespace {

struct Msg {
    uint16_t Code;
    uint32_t First;
    uint16_t Datum;
    bool operator==(const Msg&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Msg& m) {
    return os << "{" << std::hex << m.Code << std::dec << ", " << m.First << ", " << m.Datum << "}";
}

// A dispatcher open on its own simulated line, without threads.
class DispatcherRound : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = std::string("round-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        line = TSxSimLine::Get(name);
        ASSERT_EQ(d.OpenDevice(SxCreateSimDevice(), "sim:" + name, 19200, 0, 8, 1, 4096, OutSize, true, true,
                               false),
                  0);
        d.AddProcedureHandler([this](uint16_t msg, uint32_t first, uint32_t second) {
            EXPECT_EQ(second >> 16, d.Handle());
            msgs.push_back({msg, first, static_cast<uint16_t>(second & 0xFFFF)});
            if (onMsg) onMsg(msg, first);
        });
    }
    void TearDown() override { d.Close(); }

    // Delivers bytes from the far end and runs the dispatch round for their arrival.
    void Arrive(const std::string& bytes) {
        line->Write(bytes);
        d.RunRound(evRxChar);
    }
    std::string Take(int n) {
        std::string s;
        uint8_t c;
        for (int i = 0; i < n && d.GetChar(c) == 0; ++i) s.push_back(static_cast<char>(c));
        return s;
    }

    static constexpr uint16_t OutSize = 64;
    plat::VirtualTime clock;
    TSxBaseDispatcher d{nullptr, nullptr, &clock};
    std::shared_ptr<TSxSimLine> line;
    std::vector<Msg> msgs;
    std::function<void(uint16_t, uint32_t)> onMsg;
};

} // namespace

TEST_F(DispatcherRound, AnnouncesBytesBeforeAMatchThenTheMatchThenTheRest) {
    d.SetAvailLevel(1);
    const int32_t ok = d.NewDataTrigger("OK", false);
    // The handler reads what each avail notification announces.
    std::string read;
    onMsg = [&](uint16_t msg, uint32_t first) {
        if (msg == smAvail) read += Take(static_cast<int>(first));
    };
    Arrive("xxOK");
    const std::vector<Msg> expected = {{smAvail, 2, 0}, {smData, static_cast<uint32_t>(ok), 2}, {smAvail, 2, 0}};
    EXPECT_EQ(msgs, expected);
    EXPECT_EQ(read, "xxOK");
    EXPECT_EQ(d.InputUsed(), 0);
}

TEST_F(DispatcherRound, BytesLeftUnreadAreCountedAgain) {
    d.SetAvailLevel(1);
    const int32_t ok = d.NewDataTrigger("OK", false);
    Arrive("xxOK");
    const std::vector<Msg> expected = {{smAvail, 2, 0}, {smData, static_cast<uint32_t>(ok), 2}, {smAvail, 4, 0}};
    EXPECT_EQ(msgs, expected);
    msgs.clear();
    Arrive("z");
    EXPECT_EQ(msgs, (std::vector<Msg>{{smAvail, 5, 0}}));
    d.RunRound(0); // no arrival, no notification
    EXPECT_EQ(msgs.size(), 1u);
}

TEST_F(DispatcherRound, AvailLevelAndMatchOrder) {
    const int32_t first = d.NewDataTrigger("K", false);
    const int32_t second = d.NewDataTrigger("OK", true);
    d.SetAvailLevel(3);
    Arrive("oK");   // two bytes: below the level, only the matches, last added first
    EXPECT_EQ(msgs, (std::vector<Msg>{{smData, static_cast<uint32_t>(second), 2}, {smData, static_cast<uint32_t>(first), 1}}));
    msgs.clear();
    Arrive("x");
    EXPECT_EQ(msgs, (std::vector<Msg>{{smAvail, 3, 0}}));
    msgs.clear();
    EXPECT_EQ(d.DropTrigger(AvailTriggerHandle), 0); // the avail trigger: level 0, no notifications
    EXPECT_EQ(d.AvailLevel(), 0);
    Arrive("yy");
    EXPECT_TRUE(msgs.empty());
}

TEST_F(DispatcherRound, TwoAvailHandlersReadTheSameBytesAndTheLargerCountIsConsumed) {
    d.SetAvailLevel(1);
    std::string seenA, seenB;
    int usedInB = -1;
    d.AddProcedureHandler([&](uint16_t msg, uint32_t, uint32_t) {
        if (msg == smAvail) seenA = Take(2);
    });
    d.AddProcedureHandler([&](uint16_t msg, uint32_t, uint32_t) {
        if (msg != smAvail) return;
        seenB = Take(1);
        usedInB = d.InputUsed();
        uint8_t c = 0;
        EXPECT_EQ(d.PeekChar(1, c), 0);
        EXPECT_EQ(c, 'b');
        seenB += Take(4);
    });
    Arrive("abcdefg");
    EXPECT_EQ(seenA, "ab");
    EXPECT_EQ(seenB, "abcde");
    EXPECT_EQ(usedInB, 6);
    EXPECT_EQ(d.InputUsed(), 2);
    EXPECT_EQ(Take(5), "fg");
}

TEST_F(DispatcherRound, FlushInsideAnAvailHandlerDropsEverything) {
    d.SetAvailLevel(1);
    const int32_t trig = d.NewDataTrigger("OK", false);
    onMsg = [&](uint16_t msg, uint32_t) {
        if (msg == smAvail) {
            Take(1);
            d.ClearInput();
            uint8_t c;
            EXPECT_EQ(d.GetChar(c), ecBufferIsEmpty);
        }
    };
    Arrive("abcO");
    EXPECT_EQ(d.InputUsed(), 0);
    msgs.clear();
    Arrive("K"); // the partial match was forgotten with the flush
    for (const auto& m : msgs) EXPECT_NE(m.First, static_cast<uint32_t>(trig));
}

// Random bytes and triggers over a small alphabet: partial matches, overlaps and restarts are
// frequent, and so are runs of bytes that begin no trigger (x, y, z, 0x80, blank).
struct RandomTraffic {
    explicit RandomTraffic(unsigned seed) : rng(seed) {}
    char Pick(const std::string& abc) { return abc[std::uniform_int_distribution<size_t>(0, abc.size() - 1)(rng)]; }
    std::string Bytes(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += Pick(i % 3 == 0 ? "OoKkAa\r\n\x10" : "xyz\x80 OAk");
        return s;
    }
    std::string TriggerText() {
        std::string t;
        const int len = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int i = 0; i < len; ++i) t += Pick("OoKkA\r\n\x10");
        return t;
    }
    int Upto(int n) { return std::uniform_int_distribution<int>(1, n)(rng); }
    std::mt19937 rng;
};

// The triggers as the dispatcher should see them: every byte offered to each, last added first.
struct TriggerModel {
    std::vector<TSxDataTrigger> Triggers;
    std::vector<Msg> Offer(uint8_t c) {
        std::vector<Msg> hits;
        for (auto it = Triggers.rbegin(); it != Triggers.rend(); ++it)
            if (it->Offer(c)) hits.push_back({smData, static_cast<uint32_t>(it->Handle), static_cast<uint16_t>(it->Length())});
        return hits;
    }
};

TEST_F(DispatcherRound, TheScanReportsEveryMatchAtItsOwnByte) {
    // One byte per round, so each round's matches belong to exactly one byte.
    for (unsigned seed : {1u, 2u, 3u}) {
        RandomTraffic r(seed);
        TriggerModel model;
        d.DropAllTriggers();
        for (int i = 0; i < 6; ++i) {
            const std::string text = r.TriggerText();
            const bool ignoreCase = i % 2 == 0;
            model.Triggers.emplace_back(d.NewDataTrigger(text, ignoreCase), text, ignoreCase);
        }
        const std::string input = r.Bytes(3000);
        for (size_t i = 0; i < input.size(); ++i) {
            msgs.clear();
            Arrive(input.substr(i, 1));
            ASSERT_EQ(msgs, model.Offer(static_cast<uint8_t>(input[i]))) << "seed " << seed << ", byte " << i;
            uint8_t c;
            ASSERT_EQ(d.GetChar(c), 0);
        }
    }
}

TEST_F(DispatcherRound, TheScanOfWholeChunksFindsWhatOfferingEveryByteFinds) {
    // Chunks of any size, around the ring's end many times, triggers added and dropped on the way
    // (the last seed with more triggers than the scan's bit masks hold); the test takes the bytes
    // itself, in blocks, and gets them all back in order.
    for (unsigned seed : {11u, 12u, 13u}) {
        RandomTraffic r(seed);
        TriggerModel model;
        d.DropAllTriggers();
        auto add = [&](bool ignoreCase) {
            const std::string text = r.TriggerText();
            model.Triggers.emplace_back(d.NewDataTrigger(text, ignoreCase), text, ignoreCase);
        };
        for (int i = 0; i < (seed == 13u ? 66 : 4); ++i) add(i % 2 == 1);
        std::string sent, got;
        for (int chunk = 0; chunk < 120; ++chunk) {
            if (chunk == 40) add(true);
            if (chunk == 80) {
                ASSERT_EQ(d.DropTrigger(model.Triggers.front().Handle), 0);
                model.Triggers.erase(model.Triggers.begin());
            }
            const std::string bytes = r.Bytes(static_cast<size_t>(r.Upto(chunk % 5 == 0 ? 3000 : 40)));
            std::vector<Msg> expected;
            for (char c : bytes)
                for (const Msg& m : model.Offer(static_cast<uint8_t>(c))) expected.push_back(m);
            msgs.clear();
            Arrive(bytes);
            ASSERT_EQ(msgs, expected) << "seed " << seed << ", chunk " << chunk;
            sent += bytes;
            uint8_t buf[512];
            for (int n; (n = d.GetBlock(buf, r.Upto(512))) > 0;) got.append(reinterpret_cast<char*>(buf), n);
        }
        EXPECT_EQ(got, sent);
    }
}

TEST_F(DispatcherRound, GetBlockTakesWhatAsManyGetCharsWouldTake) {
    uint8_t buf[16] = {};
    EXPECT_EQ(d.GetBlock(buf, 4), ecBufferIsEmpty);
    EXPECT_EQ(d.GetBlock(buf, 0), 0);
    EXPECT_EQ(d.GetBlock(buf, -1), ecBadArgument);
    // Around the ring's end: the block comes back in one piece.
    Arrive(std::string(InputRingSize - 3, '.'));
    Take(InputRingSize - 3);
    Arrive("abcdef");
    EXPECT_EQ(d.GetBlock(buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
    EXPECT_EQ(d.InputUsed(), 2);
    EXPECT_EQ(d.GetBlock(buf, 16), 2); // as much as there is
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "ef");
    EXPECT_EQ(d.GetBlock(buf, 1), ecBufferIsEmpty);
    // A block taken from a full ring makes room for what the device held back.
    Arrive(std::string(InputRingSize + 5, 'z'));
    uint8_t big[InputRingSize];
    EXPECT_EQ(d.GetBlock(big, InputRingSize), InputRingSize);
    d.RunRound(0);
    EXPECT_EQ(d.InputUsed(), 5);
}

TEST_F(DispatcherRound, GetBlockInAnAvailHandlerReadsWithoutConsumingLikeGetChar) {
    d.SetAvailLevel(1);
    std::string seenA, seenB;
    bool twoReaders = true;
    auto block = [&](int n) {
        uint8_t buf[16];
        const int k = d.GetBlock(buf, n);
        return k > 0 ? std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(k)) : std::string();
    };
    d.AddProcedureHandler([&](uint16_t msg, uint32_t, uint32_t) {
        if (msg == smAvail && twoReaders) seenA = block(2);
    });
    d.AddProcedureHandler([&](uint16_t msg, uint32_t, uint32_t) {
        if (msg != smAvail || !twoReaders) return;
        seenB = Take(1);
        seenB += block(3); // GetChar and GetBlock share the handler's count
        EXPECT_EQ(d.InputUsed(), 3);
        seenB += block(16);
        uint8_t c;
        EXPECT_EQ(d.GetBlock(&c, 1), ecBufferIsEmpty);
    });
    Arrive("abcdefg");
    EXPECT_EQ(seenA, "ab");
    EXPECT_EQ(seenB, "abcdefg");
    EXPECT_EQ(d.InputUsed(), 0); // the larger count was consumed

    // After a flush inside the handler there is nothing left to read.
    twoReaders = false;
    int afterFlush = 0;
    onMsg = [&](uint16_t msg, uint32_t) {
        if (msg != smAvail) return;
        d.ClearInput();
        uint8_t buf[4];
        afterFlush = d.GetBlock(buf, 4);
    };
    Arrive("hij");
    EXPECT_EQ(afterFlush, ecBufferIsEmpty);
    EXPECT_EQ(d.InputUsed(), 0);
}

TEST_F(DispatcherRound, AFullInputRingIsFullNotEmptyAndRefillsWhenSpaceIsMade) {
    std::string big(InputRingSize + 100, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    Arrive(big);
    EXPECT_EQ(d.InputUsed(), InputRingSize);
    EXPECT_EQ(Take(1), big.substr(0, 1));
    EXPECT_EQ(d.InputUsed(), InputRingSize - 1);
    d.RunRound(0); // the poll round takes up what the device still held
    EXPECT_EQ(d.InputUsed(), InputRingSize);
    std::string rest = Take(InputRingSize);
    d.RunRound(0);
    rest += Take(InputRingSize);
    EXPECT_EQ(rest, big.substr(1));
}

TEST_F(DispatcherRound, BytesHeldBackByAFullRingAreAnnouncedWhenRead) {
    d.SetAvailLevel(1);
    Arrive(std::string(InputRingSize + 10, 'a'));
    ASSERT_EQ(msgs.back(), (Msg{smAvail, static_cast<uint32_t>(InputRingSize), 0}));
    Take(InputRingSize);
    msgs.clear();
    d.RunRound(0);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smAvail, 10, 0}}));
}

TEST_F(DispatcherRound, OutputBlocksAreQueuedWhollyOrNotAtAll) {
    EXPECT_EQ(d.PutBlock(std::string(OutSize + 1, 'x').data(), OutSize + 1), ecOutputBufferTooSmall);
    EXPECT_EQ(d.OutputUsed(), 0);
    EXPECT_EQ(d.PutBlock("0123456789", 10), 0);
    const std::string rest(OutSize - 10, 'y');
    EXPECT_EQ(d.PutBlock(rest.data(), static_cast<int>(rest.size())), 0); // exactly the free space
    EXPECT_EQ(d.OutputUsed(), OutSize);
    EXPECT_EQ(d.OutputFree(), 0);
    EXPECT_EQ(d.PutChar('z'), ecOutputBufferTooSmall);
    EXPECT_EQ(d.ClearOutput(), 0);
    EXPECT_EQ(d.OutputUsed(), 0);
    EXPECT_EQ(d.OutputFree(), OutSize);
}

TEST_F(DispatcherRound, TriggerCallsCheckTheirArguments) {
    EXPECT_EQ(d.NewDataTrigger(std::string(22, 'a'), false), ecTriggerTooLong);
    EXPECT_EQ(d.NewDataTrigger("", false), ecBadArgument);
    EXPECT_EQ(d.NewStatusTrigger(6), ecBadArgument);
    EXPECT_EQ(d.NewStatusTrigger(0), ecBadArgument);
    EXPECT_EQ(d.ArmTimerTrigger(4711, 1, true), ecBadTriggerHandle);
    EXPECT_EQ(d.DropTrigger(4711), ecBadTriggerHandle);
    const int32_t timer = d.NewTimerTrigger();
    const int32_t status = d.NewStatusTrigger(stOutSent);
    EXPECT_EQ(status, timer + 8 + stOutSent);
    EXPECT_EQ(d.ArmStatusTrigger(timer, 0, true), ecBadTriggerHandle); // not a status trigger
    EXPECT_EQ(d.ArmStatusTrigger(status & ~7, 0, true), ecBadTriggerHandle);
    EXPECT_EQ(d.DropTrigger(status), 0);
    EXPECT_EQ(d.DropTrigger(status), ecBadTriggerHandle);
    EXPECT_EQ(d.Attach(4, this), ecBadArgument);
    EXPECT_EQ(d.Attach(3, this), 0);
    EXPECT_EQ(d.Attachment(3), this);
}

TEST_F(DispatcherRound, HandlesPastTheCounterReuseTheLowestFreeSlot) {
    for (int i = 1; i <= 4095; ++i) ASSERT_EQ(d.NewTimerTrigger(), i * 8);
    ASSERT_EQ(d.DropTrigger(8 * 100), 0);
    EXPECT_EQ(d.NewStatusTrigger(stModem), 8 * 100 + stModem);
    EXPECT_EQ(d.NewDataTrigger("x", false), 32768);
    // Triggers saved and restored keep their handles and numbering.
    TSxSavedTriggers saved;
    d.SaveTriggers(saved);
    d.DropAllTriggers();
    EXPECT_EQ(d.NewTimerTrigger(), 8);
    d.DropAllTriggers();
    d.RestoreTriggers(saved);
    EXPECT_EQ(d.DropTrigger(8 * 100 + stModem), 0);
    EXPECT_EQ(d.NewTimerTrigger(), 8 * 100);
}

TEST_F(DispatcherRound, TimerFiresAfterItsTicksAndOnlyOnce) {
    const int32_t t = d.NewTimerTrigger();
    clock.Advance(10); // not on a tick boundary
    ASSERT_EQ(d.ArmTimerTrigger(t, 18, true), 0);
    clock.Advance(18 * 55 - 20);
    d.RunRound(0);
    EXPECT_TRUE(msgs.empty());
    clock.Advance(60 + 55);
    d.RunRound(0);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smTimer, static_cast<uint32_t>(t), 0}}));
    clock.Advance(5000);
    d.RunRound(0);
    EXPECT_EQ(msgs.size(), 1u);
    // Re-armed without new ticks it runs the stored 18 again; disarmed it never fires.
    d.ArmTimerTrigger(t, 0, true);
    clock.Advance(19 * 55);
    d.RunRound(0);
    EXPECT_EQ(msgs.size(), 2u);
    d.ArmTimerTrigger(t, 1, true);
    d.ArmTimerTrigger(t, 1, false);
    clock.Advance(1000);
    d.RunRound(0);
    EXPECT_EQ(msgs.size(), 2u);
}

TEST_F(DispatcherRound, ModemStatusTriggerWatchesOnlyItsLines) {
    line->SetLines(msCTS | msDSR);
    d.RunRound(evCTS | evDSR);
    const int32_t h = d.NewStatusTrigger(stModem);
    ASSERT_EQ(d.ArmStatusTrigger(h, msDCD | msCTS, true), 0);
    line->SetLine(msDSR, false);
    d.RunRound(evDSR);
    EXPECT_TRUE(msgs.empty());
    line->SetLine(msDCD, true);
    d.RunRound(evRLSD);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smStatus, static_cast<uint32_t>(h), 0}}));
    line->SetLine(msCTS, false); // disarmed by firing
    d.RunRound(evCTS);
    EXPECT_EQ(msgs.size(), 1u);
}

TEST_F(DispatcherRound, ModemStatusKeepsChangeBitsUntilRead) {
    line->SetLines(0);
    d.RunRound(evCTS | evDSR);
    d.ModemStatus();
    line->SetLines(msDCD | msCTS);
    d.RunRound(evRLSD | evCTS);
    EXPECT_TRUE(d.CTS()); // consumes only the CTS change bit
    EXPECT_EQ(d.ModemStatus(), msDCD | msCTS | msDeltaDCD);
    EXPECT_EQ(d.ModemStatus(), msDCD | msCTS);
    // A change seen by a status read between events is not lost.
    line->SetLine(msRI, true);
    EXPECT_TRUE(d.Ring());
    line->SetLine(msRI, false);
    d.RunRound(evRingTE);
    EXPECT_TRUE(d.Ring());
    EXPECT_FALSE(d.Ring());
}

TEST_F(DispatcherRound, LineErrorTriggerAndReports) {
    const int32_t h = d.NewStatusTrigger(stLine);
    ASSERT_EQ(d.ArmStatusTrigger(h, 4 /* framing */, true), 0);
    line->InjectErrors(leOverrun);
    d.RunRound(evErr);
    EXPECT_TRUE(msgs.empty());
    line->InjectErrors(leFraming | leBreak);
    d.RunRound(evErr | evBreak);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smStatus, static_cast<uint32_t>(h), 0}}));
    EXPECT_EQ(d.LineError(), 2); // overrun first; clears the four error bits, not the break
    EXPECT_EQ(d.LineError(), 9);
    EXPECT_TRUE(d.LineBreak());
    EXPECT_FALSE(d.LineBreak());
    EXPECT_EQ(d.LineError(), 0);
}

TEST_F(DispatcherRound, OutputLevelAndSentTriggers) {
    const int32_t freeT = d.NewStatusTrigger(stOutBuffFree);
    const int32_t usedT = d.NewStatusTrigger(stOutBuffUsed);
    const int32_t sentT = d.NewStatusTrigger(stOutSent);
    d.ArmStatusTrigger(sentT, 0, true);
    d.RunRound(0);
    EXPECT_TRUE(msgs.empty()); // nothing queued yet
    d.PutBlock("0123456789", 10);
    d.ArmStatusTrigger(freeT, OutSize - 5, true);
    d.ArmStatusTrigger(usedT, 5, true);
    d.RunRound(0);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smStatus, static_cast<uint32_t>(sentT), 0}}));
    msgs.clear();
    d.ClearOutput();
    d.RunRound(0);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smStatus, static_cast<uint32_t>(freeT), OutSize},
                                      {smStatus, static_cast<uint32_t>(usedT), 0}}));
}

TEST_F(DispatcherRound, AStatusTriggerReArmedByItsHandlerFiresOncePerRound) {
    // A handler that re-arms its trigger at once must not keep the dispatch thread delivering it
    // for ever while the condition holds: it fires again in the next round.
    const int32_t freeT = d.NewStatusTrigger(stOutBuffFree);
    const int32_t usedT = d.NewStatusTrigger(stOutBuffUsed);
    int fired = 0;
    onMsg = [&](uint16_t msg, uint32_t first) {
        if (msg != smStatus || ++fired > 50) return; // the bound only keeps a failing run finite
        d.ArmStatusTrigger(static_cast<int32_t>(first), 1, true);
    };
    d.ArmStatusTrigger(freeT, 1, true);
    d.ArmStatusTrigger(usedT, 1, true);
    d.RunRound(0);
    EXPECT_EQ(msgs, (std::vector<Msg>{{smStatus, static_cast<uint32_t>(freeT), OutSize},
                                      {smStatus, static_cast<uint32_t>(usedT), 0}}));
    d.RunRound(evRxChar);
    EXPECT_EQ(fired, 4);
}

TEST_F(DispatcherRound, HandlerRemovedDuringDeliveryIsSkippedAndFreedAfterwards) {
    int calls = 0;
    int id = 0;
    id = d.AddProcedureHandler([&](uint16_t, uint32_t, uint32_t) { ++calls; });
    onMsg = [&](uint16_t, uint32_t) { d.RemoveProcedureHandler(id); };
    d.SetAvailLevel(1);
    Arrive("a");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(d.RemoveProcedureHandler(id), ecBadArgument);
}

TEST_F(DispatcherRound, LineSettingsAndUnchangedValues) {
    EXPECT_EQ(d.SetLine(9600, 2, 7, 2), 0);
    auto s = line->NearSettings();
    EXPECT_EQ(s.Baud, 9600);
    EXPECT_EQ(s.Parity, 2);
    EXPECT_EQ(s.DataBits, 7);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(d.SetLine(0, 5, 9, 3), 0); // all unchanged
    EXPECT_EQ(line->NearSettings(), s);
    EXPECT_EQ(d.SetLine(0, 5, 5, 3), 0); // five data bits take one and a half stop bits
    EXPECT_EQ(line->NearSettings().StopBits, 1);
    EXPECT_EQ(d.SetLine(0, 5, 4, 3), ecByteSize);
    EXPECT_EQ(d.SetHardFlow(100, 200, hwfUseRTS), ecBadArgument);
    EXPECT_EQ(d.SetHardFlow(5000, 10, hwfUseRTS), ecBadArgument);
    ASSERT_EQ(d.SetHardFlow(3686, 409, hwfUseRTS | hwfRequireCTS), 0);
    EXPECT_EQ(d.SetRTS(false), 1); // under handshake: no effect
    EXPECT_TRUE(line->RTS());
    EXPECT_EQ(d.SetDTR(false), 0);
    EXPECT_FALSE(line->DTR());
    s = line->NearSettings();
    EXPECT_TRUE(s.OutxCtsFlow);
    EXPECT_EQ(s.XoffLim, 4096 - 3686);
    EXPECT_EQ(s.XonLim, 409);
}

TEST_F(DispatcherRound, WindowHandlersAreServedWhenSeveralOrWhenThePortHasEventHandlers) {
    struct Win : ISxWindow {
        void HandleMessage(uint16_t msg, uint32_t first, uint32_t) override { Got.push_back({msg, first, 0}); }
        std::vector<Msg> Got;
    } a, b;
    d.SetAvailLevel(1);
    d.AddWindowHandler(&a);
    Arrive("1");
    EXPECT_TRUE(a.Got.empty()); // the port's own window alone gets nothing unless the port listens
    d.NotePortHandlers(1);
    Take(1);
    Arrive("2");
    EXPECT_EQ(a.Got, (std::vector<Msg>{{smAvail, 1, 0}}));
    d.NotePortHandlers(2);
    d.AddWindowHandler(&b);
    Take(1);
    Arrive("3");
    EXPECT_EQ(a.Got.size(), 2u);
    EXPECT_EQ(b.Got.size(), 1u);
    EXPECT_EQ(d.RemoveWindowHandler(&b), 0);
    EXPECT_EQ(d.RemoveWindowHandler(&b), ecBadArgument);
}

TEST_F(DispatcherRound, EventHandlersGetTheirUserDataAndRunBeforeProcedures) {
    std::vector<std::string> order;
    int tag = 0;
    d.AddEventHandler([&](void* ud, uint16_t msg, uint32_t, uint32_t second) {
        EXPECT_EQ(ud, &tag);
        EXPECT_EQ(second >> 16, d.Handle());
        if (msg == smAvail) order.push_back("event");
    }, &tag, false);
    onMsg = [&](uint16_t msg, uint32_t) {
        if (msg == smAvail) order.push_back("procedure");
    };
    d.SetAvailLevel(1);
    Arrive("a");
    EXPECT_EQ(order, (std::vector<std::string>{"event", "procedure"}));
}

TEST_F(DispatcherRound, SoftwareFlowAndItsCharacters) {
    ASSERT_EQ(d.SetSoftFlow(3072, 1024, sfTransmit | sfReceive), 0);
    auto s = line->NearSettings();
    EXPECT_TRUE(s.InX);
    EXPECT_TRUE(s.OutX);
    EXPECT_EQ(s.XonChar, 17);
    EXPECT_EQ(s.XoffChar, 19);
    EXPECT_EQ(s.XoffLim, 1024);
    ASSERT_EQ(d.SetFlowChars(0x11, 0x93), 0);
    EXPECT_EQ(line->NearSettings().XoffChar, 0x93);
    ASSERT_EQ(d.SoftFlowOff(), 0);
    s = line->NearSettings();
    EXPECT_FALSE(s.InX || s.OutX);
    EXPECT_EQ(d.SetSoftFlow(100, 101, sfReceive), ecBadArgument);
}

TEST(WaitTicksTest, WaitsItsTicksAndStopsOnTheQuitMessage) {
    plat::VirtualTime clock;
    auto sleep = [&](int ms) { clock.Advance(ms); };
    WaitTicks(clock, 18, false, {}, sleep);
    EXPECT_GE(clock.NowMs(), 18 * 55);
    EXPECT_LT(clock.NowMs(), 20 * 55);
    const int64_t start = clock.NowMs();
    WaitTicks(clock, 0, false, {}, sleep);
    EXPECT_EQ(clock.NowMs(), start);
    int pumped = 0;
    WaitTicks(clock, 100, true, [&] { return ++pumped < 3; }, sleep);
    EXPECT_EQ(pumped, 3);
    EXPECT_LT(clock.NowMs() - start, 100 * 55);
}
